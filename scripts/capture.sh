#!/bin/sh
# The main job: build the zeva tool (and the libraries it loads; the test
# command builds the rest) and capture a frame from the built-in
# simulated camera (sim:gannet, stars scene; ZEVA_PORTS picks another camera,
# e.g. ZEVA_PORTS=/dev/parport0 for a real one).  Arguments go to
# `zeva capture` (default: a 1 s light frame with a PNG preview).
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/setup.sh"
ZEVA_BUILD_TARGETS=zeva_tool sh "$top/scripts/build.sh" build
if [ $# -eq 0 ]; then
  set -- 1 --png
fi
"$top/build/tools/zeva" capture "$@"
echo "(in $(pwd))"
