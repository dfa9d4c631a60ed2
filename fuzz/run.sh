#!/usr/bin/env bash
# Builds the fuzz targets with clang (when it is there) and runs each for a
# fixed time on its seed corpus: fuzz/run.sh [seconds per target] [build dir].
# A crash leaves its input in the build directory and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
dir=${2:-build/fuzz}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, fuzz targets not built" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -DKEL_FUZZ=ON -DKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)" --target fuzz_reader fuzz_retrieve fuzz_codecs fuzz_text fuzz_imap
root=$(cd "$dir" && pwd)
python3 fuzz/seeds.py "$root/seeds" "$(pwd)/../shared/corpus/realmail"
# A retrieval gets room for whole real messages; the others need less.
max_len() { if [ "$1" = retrieve ] || [ "$1" = imap ]; then echo 16384; else echo 4096; fi; }
for target in reader retrieve codecs text imap; do
  mkdir -p "$root/corpus/$target"
  # The targets' own work directories live under /dev/shm or /tmp; the
  # corpus and any crash input stay in the build directory.
  nice -n 10 "$root/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$(max_len $target)" \
    -artifact_prefix="$root/" -print_final_stats=1 "$root/corpus/$target" "$root/seeds/$target" \
    >"$root/fuzz_$target.log" 2>&1 || {
    echo "fuzz: $target failed" >&2
    tail -40 "$root/fuzz_$target.log" >&2
    exit 1
  }
  grep -E 'stat::number_of_executed_units|DONE' "$root/fuzz_$target.log" | sed "s/^/fuzz $target: /"
done
