#!/bin/sh
# build.sh DIR [cmake options...]: configures (once, warnings as errors) and builds into DIR.
set -e
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$top/$dir/build.ninja" ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVA_WERROR=ON "$@" >/dev/null
fi
cmake --build "$top/$dir" -j "$(nproc)"
