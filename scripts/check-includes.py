#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Reads the #include lines of src/: fails on an include of a floor a folder
may not use (an arrow upward or sideways), on a circle between files and on a
floor holding more than a fifth of the product's lines. A floor may be a room
of a folder ("receive/pop3"); a file belongs to the deepest floor it is in.

The floors and what each uses come from the kestrel_floor() calls of the
CMake files, so this checks the same rule the build enforces, also for
headers no build happens to compile."""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
src = root / "src"
floor_call = re.compile(r"kestrel_floor\(([\w/]+)([^)]*)\)")
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


def floor_of(path, allowed):
    """The deepest floor holding `path` (relative to src/), or None."""
    parts = path.split("/")[:-1]
    for depth in range(len(parts), 0, -1):
        name = "/".join(parts[:depth])
        if name in allowed:
            return name
    return None


def main():
    allowed = floors()
    lines = {}
    graph = {}
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        relative = path.relative_to(src).as_posix()
        folder = floor_of(relative, allowed)
        text = path.read_text()
        # Front ends and the program's own files are not floors; they count
        # by their top folder.
        counted = folder or relative.split("/")[0]
        lines[counted] = lines.get(counted, 0) + text.count("\n")
        graph[relative] = []
        for target in include.findall(text):
            if "/" not in target:
                target = (path.parent / target).relative_to(src).as_posix()
            graph[relative].append(target)
            to = floor_of(target, allowed)
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
    total = sum(lines.values())
    for name, count in sorted(lines.items()):
        if count * 5 > total:
            problems.append(f"{name}/ holds {count} of {total} lines, over a fifth")
    for problem in problems:
        print(problem)
    print(f"{len(graph)} files, {sum(map(len, graph.values()))} includes, "
          f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
