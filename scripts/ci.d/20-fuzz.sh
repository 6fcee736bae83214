#!/bin/sh
# Bounded fuzzing: builds the libFuzzer targets with clang (AddressSanitizer
# + UndefinedBehaviorSanitizer) in build-fuzz and runs each for FUZZ_SECONDS
# (default 30) on a copy of its seed corpus.  Any crash, sanitizer report, failed check or
# hang (a unit slower than FUZZ_UNIT_TIMEOUT seconds) fails the stage; the
# reproducer is left in build-fuzz/findings/<target>/.
set -e
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-fuzz"
seconds="${FUZZ_SECONDS:-30}"
unit_timeout="${FUZZ_UNIT_TIMEOUT:-30}"
# A fixed seed keeps CI runs repeatable; FUZZ_SEED=0 lets libFuzzer pick one.
seed="${FUZZ_SEED:-20261208}"
targets="fuzz_dispatch fuzz_libraries fuzz_micro fuzz_ports fuzz_indi"

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVA_WERROR=ON \
  -DZEVA_FUZZ=ON -DZEVA_BUILD_TESTS=OFF -DZEVA_BUILD_BENCH=OFF -DZEVA_BUILD_INDI=ON
cmake --build "$build" --target $targets -- -j "${FUZZ_JOBS:-$(nproc)}"

status=0
for t in $targets; do
  work="$build/fuzz-run/$t"
  findings="$build/findings/$t"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  cp "$top/fuzz/corpus/$t/"* "$work/"
  echo "== $t: ${seconds} s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$t" -max_total_time="$seconds" -seed="$seed" -timeout="$unit_timeout" -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work"; then
    echo "== $t: finding, reproducer in $findings" >&2
    status=1
  fi
done
exit $status
