#!/bin/sh
# build.sh DIR [cmake options...]: configures (once, warnings as errors) and builds into DIR:
# everything, or the targets named in ZEVA_BUILD_TARGETS (with what they need).
set -e
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$top/$dir/build.ninja" ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVA_WERROR=ON "$@" >/dev/null
fi
if [ -n "${ZEVA_BUILD_TARGETS:-}" ]; then
  # shellcheck disable=SC2086  # a list of target names
  cmake --build "$top/$dir" -j "$(nproc)" --target $ZEVA_BUILD_TARGETS
else
  cmake --build "$top/$dir" -j "$(nproc)"
fi
