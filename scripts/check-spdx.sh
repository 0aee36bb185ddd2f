#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Lists every tracked source, build and script file whose first line (the
# second after a shebang) lacks the licence identifier; fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

identifier='SPDX-License-Identifier: GPL-2.0-or-later'

# Sources by their names; scripts without a suffix by their shebang.
wanted() {
  case $1 in
    CMakeLists.txt | */CMakeLists.txt) return 0 ;;
    src/* | tests/* | bench/* | scripts/* | cmake/* | .ci/*) ;;
    *) return 1 ;;
  esac
  case ${1##*/} in
    *.cpp | *.h | *.sh | *.py | *.cmake) return 0 ;;
    *.*) return 1 ;;
  esac
  [ "$(head -c 2 "$1" | tr -d '\0')" = '#!' ]
}

missing=0
while IFS= read -r -d '' file; do
  [ -f "$file" ] && wanted "$file" || continue
  head=$(head -n 2 "$file")
  first=${head%%$'\n'*}
  case $first in
    *"$identifier"*) continue ;;
    '#!'*) [[ $head == *$'\n'*"$identifier"* ]] && continue ;;
  esac
  echo "$file"
  missing=$((missing + 1))
done < <(git ls-files -z)

if [ "$missing" -gt 0 ]; then
  echo "$missing file(s) without '$identifier' in their first lines" >&2
  exit 1
fi
