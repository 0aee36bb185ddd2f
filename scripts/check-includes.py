#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Reads the #include lines of src/: fails on an include of a floor a folder
may not use (an arrow upward or sideways) and on a circle between files.

The floors and what each uses come from the kestrel_floor() calls of the
CMake files, so this checks the same rule the build enforces, also for
headers no build happens to compile."""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
src = root / "src"
floor_call = re.compile(r"kestrel_floor\((\w+)([^)]*)\)")
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def floors():
    uses = {}
    for cmake in [root / "CMakeLists.txt", *src.glob("*/CMakeLists.txt")]:
        for name, rest in floor_call.findall(cmake.read_text()):
            words = rest.split()
            used = []
            if "USES" in words:
                for word in words[words.index("USES") + 1:]:
                    if word.isupper():
                        break
                    used.append(word)
            uses[name] = used
    allowed = {}
    for name in uses:  # the calls come in order: what a floor uses is known
        allowed[name] = {name}
        for used in uses[name]:
            allowed[name] |= allowed[used]
    return allowed


def main():
    allowed = floors()
    graph = {}
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        relative = path.relative_to(src).as_posix()
        folder = relative.split("/")[0] if "/" in relative else None
        graph[relative] = []
        for target in include.findall(path.read_text()):
            if "/" not in target:
                target = (path.parent / target).relative_to(src).as_posix()
            graph[relative].append(target)
            to = target.split("/")[0]
            if folder in allowed and to in allowed and to not in allowed[folder]:
                problems.append(f"{relative}: includes {target}, a floor {folder}/ may not use")
    # A circle: a file reached again while its own includes are being walked.
    state = {}

    def walk(node, trail):
        state[node] = "open"
        for target in graph.get(node, []):
            if state.get(target) == "open":
                circle = trail[trail.index(target):] + [target]
                problems.append("circle: " + " -> ".join(circle))
            elif target in graph and target not in state:
                walk(target, trail + [target])
        state[node] = "done"

    for node in graph:
        if node not in state:
            walk(node, [node])
    for problem in problems:
        print(problem)
    print(f"{len(graph)} files, {sum(map(len, graph.values()))} includes, "
          f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
