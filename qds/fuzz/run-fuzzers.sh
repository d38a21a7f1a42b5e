#!/usr/bin/env bash
# Builds the QDS client's fuzz targets with clang (libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   qds/fuzz/run-fuzzers.sh [seconds per fuzzer, default 60] [build folder, default build/fuzz]
# The seed corpus in qds/fuzz/corpus is copied into the build folder first, so
# the source tree is never written to. Exits non-zero when a fuzzer finds a
# crash, a leak or a sanitizer report (the reproducer is left in the build
# folder's fuzz-artifacts/).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"
build="${2:-build/fuzz}"

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTARVO_FUZZ=ON -DTARVO_SANITIZE=address -DTARVO_BUILD_BENCH=OFF
cmake --build "$build" --target qds_fuzz_document qds_fuzz_chunk

mkdir -p "$build/fuzz-artifacts"
for fuzzer in document chunk; do
  corpus="$build/fuzz-corpus/$fuzzer"
  mkdir -p "$corpus"
  cp -n qds/fuzz/corpus/$fuzzer/* "$corpus/" 2>/dev/null || true
  echo "== qds_fuzz_$fuzzer for ${seconds}s"
  "$build/bin/qds_fuzz_$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$fuzzer-" "$corpus"
done
