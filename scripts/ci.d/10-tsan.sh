#!/bin/sh
# ThreadSanitizer stage: the tests that drive the platform, the driver and
# the NT library from several threads at once, and the client's capture
# sequence cancelled and read from another thread, the two CCDs sharing the
# shutter, and the Alpaca server with several clients at once and its set-up
# pages changing a camera in use (its HTTP library is Debian's uninstrumented
# build: see alpaca/sanitizer.cpp), built with -fsanitize=thread.
# Any race report stops the test (halt_on_error) and fails the stage.
# ZEVA_TSAN_BUILD_DIR names another build directory (default build-tsan).
set -e
top=$(cd "$(dirname "$0")/../.." && pwd)
dir="$top/${ZEVA_TSAN_BUILD_DIR:-build-tsan}"
tests="driver_threads_test readout_queue_test driver_frame_test driver_fence_test platform_test libnt_test client_capture_test client_shutter_test portio_test zeva_alpaca_server_test zeva_alpaca_setup_test"

if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVA_WERROR=ON \
    -DZEVA_TSAN=ON -DZEVA_BUILD_BENCH=OFF -DZEVA_BUILD_INDI=OFF >/dev/null
fi
# shellcheck disable=SC2086
cmake --build "$dir" -j "$(nproc)" --target $tests

regex="^($(echo $tests | tr ' ' '|'))\$"
cd "$dir"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4" \
  ctest --output-on-failure -j "$(nproc)" -R "$regex"
# ctest must have run every one of them.
count=$(ctest -N -R "$regex" | sed -n 's/^Total Tests: //p')
expected=$(echo $tests | wc -w)
if [ "$count" != "$expected" ]; then
  echo "10-tsan: $count of $expected ThreadSanitizer tests registered" >&2
  exit 1
fi
