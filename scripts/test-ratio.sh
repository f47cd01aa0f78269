#!/usr/bin/env bash
# Counts non-blank, non-comment lines of the tests and of the code, and
# prints both and their ratio. Tests are every file under a tests/ folder
# (tests/, cli/tests/, nbd/tests/, vm/tests/, ...) and under fuzz/, their
# CMake files included; code is every other C, C++, shell and Python file
# of the project. Build folders and the fuzz corpora's data files are not
# source.
#   scripts/test-ratio.sh [-v]    -v: per-folder figures too
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR
cd "$(dirname "$0")/.."

verbose=0
[ "${1:-}" = "-v" ] && verbose=1

# Lines of one file that are neither blank nor comment-only. C and C++:
# // lines and /* ... */ blocks; shell and Python: # lines (a script's
# first #! line included).
count_file() {
  case "$1" in
    *.c|*.cc|*.cpp|*.h|*.hpp)
      awk '
        { line = $0 }
        in_block { if (match(line, /\*\//)) { line = substr(line, RSTART + 2); in_block = 0 } else next }
        { while (match(line, /\/\*/)) {
            rest = substr(line, RSTART + 2)
            if (match(rest, /\*\//)) { line = substr(line, 1, index(line, "/*") - 1) substr(rest, RSTART + 2) }
            else { line = substr(line, 1, index(line, "/*") - 1); in_block = 1; break } } }
        { sub(/^[ \t]+/, "", line) }
        line == "" || line ~ /^\/\// { next }
        { n++ }
        END { print n + 0 }' "$1" ;;
    *)
      awk '{ sub(/^[ \t]+/, "") } $0 == "" || /^#/ { next } { n++ } END { print n + 0 }' "$1" ;;
  esac
}

tests=0
code=0
declare -A per_dir
while IFS= read -r -d '' f; do
  n="$(count_file "$f")"
  case "$f" in
    ./fuzz/*|*/tests/*) tests=$((tests + n)); kind=tests ;;
    *) code=$((code + n)); kind=code ;;
  esac
  dir="$(dirname "${f#./}")"
  per_dir["$kind $dir"]=$(( ${per_dir["$kind $dir"]:-0} + n ))
done < <(find . \( -path ./.git -o -path './build*' -o -path ./fuzz/corpus \) -prune -o \
           -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \
                      -o -name '*.sh' -o -name '*.bash' -o -name '*.py' \
                      -o -path '*/tests/*' -o -path './fuzz/*' \) -print0)

if [ "$verbose" = 1 ]; then
  for key in "${!per_dir[@]}"; do printf '%8d  %s\n' "${per_dir[$key]}" "$key"; done | sort -k2,2 -k3
fi
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d lines, code %d lines, ratio %.1f%%\n", t, c, c ? 100 * t / c : 0 }'
