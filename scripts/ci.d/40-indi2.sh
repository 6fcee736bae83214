#!/bin/sh
# INDI 2 stage: builds INDI 2.2.4's core (libindidriver, libindiclient,
# indiserver, the indi_* tools) from the source beside the clone
# (../shared/vendor) into a prefix under build-indi2/, then builds the INDI
# driver and its tests against that INDI and runs every INDI test.
# The core is built once per tarball: its prefix is named by the tarball's
# checksum and kept between runs.  Without ../shared/vendor (a user's clone)
# the stage says so and passes.
# ZEVA_INDI2_DIR names another directory for the core and the build,
# ZEVA_VENDOR_DIR another place of the vendored sources.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
tarball=${ZEVA_VENDOR_DIR:-$top/../shared/vendor}/indi-2.2.4.2-core-subset.tar.xz
if [ ! -f "$tarball" ]; then
    echo "40-indi2: no $tarball: INDI 2 not tested"
    exit 0
fi
work=${ZEVA_INDI2_DIR:-$top/build-indi2}
jobs=$(nproc)

# What INDI 2's core needs beyond the project's own packages.
sh "$top/scripts/setup.sh" libev-dev libnova-dev libusb-1.0-0-dev zlib1g-dev libgsl-dev \
    libjpeg-dev libfftw3-dev

sum=$(sha256sum "$tarball" | cut -c1-16)
core=$work/core-$sum
prefix=$core/prefix
if [ ! -f "$core/installed" ]; then
    echo "-- building INDI 2.2.4's core into $prefix (once per tarball)"
    # Cores of other tarballs are stale.
    rm -rf "$work"/core-*
    mkdir -p "$core/src"
    tar -xJf "$tarball" -C "$core/src"
    src=$(find "$core/src" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    # The run path: libindidriver needs the alignment library, which needs
    # libindiclient, all from this prefix and not the system's.
    cmake -S "$src" -B "$core/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_INSTALL_RPATH="$prefix/lib" -DINDI_BUILD_DRIVERS=OFF -DINDI_BUILD_COMMON=ON \
        -DINDI_BUILD_SERVER=ON -DINDI_BUILD_CLIENT=ON -DINDI_BUILD_QT_CLIENT=OFF \
        -DINDI_BUILD_EXAMPLES=OFF -DINDI_BUILD_STATIC=OFF -DINDI_BUILD_SHARED=ON \
        -DINDI_BUILD_XISF=OFF -DINDI_BUILD_UNITTESTS=OFF -DINDI_BUILD_INTEGTESTS=OFF \
        -DINDI_INSTALL_UDEV_RULES=OFF >"$core/configure.log" 2>&1 ||
        { cat "$core/configure.log" >&2; exit 1; }
    cmake --build "$core/build" -j "$jobs" >"$core/build.log" 2>&1 ||
        { tail -n 50 "$core/build.log" >&2; exit 1; }
    cmake --install "$core/build" >"$core/install.log" 2>&1 ||
        { cat "$core/install.log" >&2; exit 1; }
    rm -rf "$core/build" "$core/src"
    touch "$core/installed"
fi
version=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion libindi)
echo "-- INDI $version in $prefix"

# The driver and its tests against that INDI only: headers, libraries,
# server and tools all come from the prefix pkg-config names.
build=$work/zeva
if [ ! -f "$build/build.ninja" ]; then
    PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S "$top" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVA_WERROR=ON -DZEVA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$jobs" --target indi_zeva_ccd zeva_indi_driver_test zeva_indi_client_test
grep -q "^ZEVA_INDI_PREFIX:[A-Z]*=$prefix\$" "$build/CMakeCache.txt" || {
    echo "40-indi2: the build did not take INDI from $prefix" >&2
    exit 1
}
cd "$build"
ctest --output-on-failure -j "$jobs" -R '^zeva_indi_'
count=$(ctest -N -R '^zeva_indi_' | sed -n 's/^Total Tests: //p')
if [ "$count" != 2 ]; then
    echo "40-indi2: $count of 2 INDI tests registered" >&2
    exit 1
fi
echo "40-indi2: passed against INDI $version"
