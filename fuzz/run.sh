#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan+UBSan, libFuzzer) in their own build
# directory and runs each one for a bounded time from its committed seed
# corpus, copied to a scratch directory so the committed one never changes.
# The seeds are inputs in each target's format (its header comment): a few
# that lead straight to the deep paths, and the crash-* reproducers of
# faults found and fixed.
# Prints the executions of every target; fails when any target finds a
# crash, a hang, a leak or a broken invariant, and keeps what it found (the
# input and the log) under <build dir>/fuzz-findings/.
#
#   bash fuzz/run.sh                  # every target, 20 s each
#   FUZZ_SECONDS=300 bash fuzz/run.sh fuzz_attach
#
# Environment: FUZZ_SECONDS (time per target), FUZZ_BUILD_DIR (build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(fuzz_attach fuzz_mtdparts fuzz_request)

for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNYX_SANITIZE=address -DNYX_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz-findings"
status=0

for target in "${targets[@]}"; do
  corpus="$scratch/$target/corpus"
  artifacts="$scratch/$target/artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log="$scratch/$target/log"
  # -timeout: an input running this long counts as a hang.
  if NYX_NFTL_LOG=off "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" \
       -rss_limit_mb=2048 -timeout=10 -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1 || true)
    echo "fuzz: $target: ${runs:-no summary}, corpus $(ls "$corpus" | wc -l) inputs"
  else
    status=1
    mkdir -p "$findings/$target"
    cp "$log" "$findings/$target/log"
    cp "$artifacts"/* "$findings/$target/" 2>/dev/null || true
    echo "fuzz: $target FAILED; input and log kept in $findings/$target" >&2
    grep -E 'invariant broken|ERROR: |SUMMARY: |runtime error' "$log" | head -5 >&2 || true
  fi
done

exit "$status"
