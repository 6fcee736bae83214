#!/bin/sh
# Runs every test: the suite in a normal build, then once more under
# AddressSanitizer + UndefinedBehaviorSanitizer.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/setup.sh" --test
sh "$top/scripts/build.sh" build
(cd "$top/build" && ctest --output-on-failure -j "$(nproc)")
sh "$top/scripts/build.sh" build-asan -DZEVA_SANITIZE=ON -DZEVA_BUILD_BENCH=OFF
(cd "$top/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$(nproc)")
# Further stages (ThreadSanitizer, bounded fuzzing, install check, ...), in order.
for stage in "$top"/scripts/ci.d/*.sh; do
  [ -f "$stage" ] || continue
  echo "== $(basename "$stage")"
  sh "$stage"
done
