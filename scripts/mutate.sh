#!/usr/bin/env bash
# Mutation testing: applies each mutant of scripts/mutants.txt to a copy of
# the tree, builds it, runs the quick suite (ctest -LE long) and, when that
# does not kill the mutant, the long campaigns too, and records whether the
# tests killed it. A mutant is one meaningful change to the core or the
# platform; each must change behaviour (equivalent mutants are replaced in
# the list, not counted).
#
#   scripts/mutate.sh [-o results.tsv] [-j JOBS] [ID ...]     (default: every mutant)
#
# mutants.txt: one mutant per line, fields separated by "¦" (a broken bar,
# which no source uses) and trimmed of blanks at both ends:
#   ID ¦ file ¦ exact text (must occur exactly once) ¦ replacement ¦ what it breaks
# Lines starting with # and blank lines are ignored; \n in the texts is a newline.
#
# Results (tab-separated): ID, quick (killed/survived), full (killed/survived),
# seconds, what it breaks. The copy lives in build-mutate/ (its own build
# folder inside), so the working tree is never touched.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR
cd "$(dirname "$0")/.."
root="$PWD"
out="$root/build-mutate/results.tsv"
jobs="$(nproc)"
ids=()
while [ $# -gt 0 ]; do
  case "$1" in
    -o) out="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) ids+=("$1"); shift ;;
  esac
done

work="$root/build-mutate/tree"
mkdir -p "$work"
# The tree to mutate: the committed and uncommitted sources, no build folders
# (the copy keeps the files' times, so its own build stays up to date).
find "$work" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
tar -C "$root" --exclude='./build*' --exclude=./.git --exclude='*.img' -cf - . | tar -C "$work" -xf -
cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" -j "$jobs" >/dev/null

# mutants.txt as fields separated by the unit separator (not blank, so an
# empty replacement stays a field): ID, file, text, replacement, what.
list_mutants() {
  python3 - "$root/scripts/mutants.txt" <<'PY'
import sys
for n, line in enumerate(open(sys.argv[1], encoding='utf-8'), 1):
    line = line.rstrip('\n')
    if not line.strip() or line.startswith('#'):
        continue
    fields = [f.strip() for f in line.split('\u00a6')]
    if len(fields) != 5:
        sys.exit(f"mutants.txt:{n}: expected 5 fields, found {len(fields)}")
    print('\x1f'.join(fields))
PY
}

apply_mutant() {  # file, text, replacement; fails unless the text occurs exactly once
  python3 - "$work/$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace('\\n', '\n'), sys.argv[3].replace('\\n', '\n')
s = open(path).read()
n = s.count(old)
if n != 1:
    sys.exit(f"{path}: the text occurs {n} times, not once: {old!r}")
open(path, 'w').write(s.replace(old, new))
PY
}

run_suite() {  # ctest arguments; 0 when every test passed
  (cd "$work/build" && timeout 1800 ctest -j "$jobs" --timeout 600 --stop-on-failure "$@" >/dev/null 2>&1)
}

mkdir -p "$(dirname "$out")"
: > "$out"
killed_quick=0; killed_full=0; total=0
mutants="$(list_mutants)"
while IFS=$'\x1f' read -r id file text repl what; do
  if [ "${#ids[@]}" -gt 0 ] && [[ ! " ${ids[*]} " =~ " $id " ]]; then continue; fi
  start=$SECONDS
  cp "$root/$file" "$work/$file"
  if ! apply_mutant "$file" "$text" "$repl"; then
    echo "mutant $id does not apply" >&2; exit 1
  fi
  quick=survived; full=survived
  # A build that fails for want of resources is tried once more.
  if ! cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 &&
     ! cmake --build "$work/build" -j 1 >"$work/build.log" 2>&1; then
    tail -n 20 "$work/build.log" >&2
    echo "mutant $id does not build" >&2; cp "$root/$file" "$work/$file"; exit 1
  fi
  # The quick suite in two steps, the unit tests (seconds) before the real
  # clients' scripts (a minute), so that most mutants are judged fast.
  if ! run_suite -LE 'long|nbd|cli|bench' || ! run_suite -L 'nbd|cli|bench' -LE long; then
    quick=killed; full=killed
  elif ! run_suite -L long; then full=killed; fi
  cp "$root/$file" "$work/$file"
  total=$((total + 1))
  [ "$quick" = killed ] && killed_quick=$((killed_quick + 1))
  [ "$full" = killed ] && killed_full=$((killed_full + 1))
  printf '%s\t%s\t%s\t%d\t%s\n' "$id" "$quick" "$full" $((SECONDS - start)) "$what" | tee -a "$out"
done <<< "$mutants"
cmake --build "$work/build" -j "$jobs" >/dev/null 2>&1 || true
echo "mutants: $total; killed by the quick suite: $killed_quick; by the full suite: $killed_full" | tee -a "$out"
