#!/bin/sh
# Install check: installs build/ into a temporary prefix and uses the
# installed tree as an application would, without the source or build tree:
#   - the zeva tool and its man page;
#   - a C program built through zeva.pc (tests/install/c/window.c);
#   - a C++ program built through find_package(zeva) (tests/install/cxx/);
#   - indi_zeva_ccd under indiserver, when it was built;
#   - zeva-alpaca serving the simulated Gannet to curl, its man page and unit;
#   - the Debian package from cpack, whose dependencies must name libcfitsio.
# ZEVA_INSTALL_BUILD picks another build directory (default build/).
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${ZEVA_INSTALL_BUILD:-$top/build}
tests=$top/tests/install

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zeva-install.XXXXXX")
prefix=$tmp/prefix
server=""
alpaca=""
# Ends the indiserver started here and the driver it started.
stop_server() {
    if [ -n "$server" ]; then
        drivers=$(pgrep -P "$server" 2>/dev/null || true)
        # shellcheck disable=SC2086  # a list of process ids
        kill -TERM "$server" $drivers 2>/dev/null || true
        wait "$server" 2>/dev/null || true
        server=""
    fi
}
stop_alpaca() {
    if [ -n "$alpaca" ]; then
        kill -TERM "$alpaca" 2>/dev/null || true
        wait "$alpaca" 2>/dev/null || true
        alpaca=""
    fi
}
cleanup() {
    stop_server
    stop_alpaca
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

fail() {
    echo "30-install: FAILED: $*" >&2
    exit 1
}
step() {
    echo "-- $*"
}
# Runs a command with its output in a log shown only when it fails.
quiet() {
    what=$1
    shift
    if ! "$@" >"$tmp/log" 2>&1; then
        cat "$tmp/log" >&2
        fail "$what"
    fi
}

[ -f "$build/CMakeCache.txt" ] || fail "no configured build in $build"

step "install into a temporary prefix"
quiet "cmake --install" cmake --install "$build" --prefix "$prefix"
libdir_rel=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
libdir_rel=${libdir_rel:-lib}
libdir=$prefix/$libdir_rel
for f in include/zeva/zeva.h include/zeva/client.h bin/zeva share/man/man1/zeva.1.gz \
    "$libdir_rel/pkgconfig/zeva.pc" "$libdir_rel/cmake/zeva/zevaConfig.cmake" \
    "$libdir_rel/cmake/zeva/zevaConfigVersion.cmake"; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for lib in zevant zeva32m zevavb32 zeva_system zeva_machine zeva_client; do
    so=$(find "$libdir" -maxdepth 1 -name "lib$lib.so.*.*" | head -n 1)
    [ -n "$so" ] || fail "lib$lib.so is not installed"
    readelf -d "$so" | grep -q "SONAME.*\[lib$lib\.so\.[0-9]*\]" ||
        fail "lib$lib.so has no versioned soname"
    [ -e "$libdir/lib$lib.so" ] || fail "lib$lib.so has no development link"
done
# Nothing installed may still look into the build tree.
for f in "$prefix"/bin/* "$libdir"/lib*.so.*.*; do
    if readelf -d "$f" | grep -E 'RPATH|RUNPATH' | grep -q "$build"; then
        fail "$f keeps a run path into $build"
    fi
done

step "installed tool"
tool=$prefix/bin/zeva
loaded=$(ldd "$tool" | sed -n 's/^[[:space:]]*libzevant\.so[^ ]* => \([^ ]*\) .*/\1/p')
if [ -z "$loaded" ] || [ "$(dirname "$(realpath "$loaded")")" != "$(realpath "$libdir")" ]; then
    fail "zeva does not load the installed libzevant (${loaded:-not found})"
fi
"$tool" --sim gannet info >"$tmp/info" 2>&1 || { cat "$tmp/info" >&2; fail "zeva info"; }
grep -q "ZEVA Gannet Dual CCD Camera" "$tmp/info" || { cat "$tmp/info" >&2; fail "zeva info: no camera name"; }
(cd "$tmp" && "$tool" --sim gannet capture 0.01 --quiet -o frame.fits) >"$tmp/log" 2>&1 ||
    { cat "$tmp/log" >&2; fail "zeva capture"; }
head -c 30 "$tmp/frame.fits" | grep -q '^SIMPLE  = *T' || fail "zeva capture wrote no FITS file"
if command -v man >/dev/null 2>&1; then
    quiet "man zeva" man -P cat -l "$prefix/share/man/man1/zeva.1.gz"
    grep -q "capture" "$tmp/log" || fail "the man page does not describe capture"
fi

step "C program through zeva.pc"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags=$(pkg-config --cflags zeva) || fail "pkg-config does not find zeva.pc"
libs=$(pkg-config --libs zeva)
[ "$(pkg-config --variable=libdir zeva)" = "$libdir" ] || fail "zeva.pc names another libdir"
# shellcheck disable=SC2086  # flags are lists
quiet "building the C program" cc -std=c11 -Wall -Wextra -Werror -pedantic $cflags \
    "$tests/c/window.c" -o "$tmp/window" $libs -Wl,-rpath,"$libdir"
ZEVA_PORTS='sim:gannet?scene=pattern' "$tmp/window" || fail "the C program"

step "C++ program through find_package(zeva)"
mkdir -p "$tmp/cxx"
cp "$tests/cxx/main.cpp" "$tmp/cxx/main.cpp"
cp "$tests/cxx/project.cmake" "$tmp/cxx/CMakeLists.txt"
quiet "configuring the C++ program" cmake -S "$tmp/cxx" -B "$tmp/cxx-build" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
quiet "building the C++ program" cmake --build "$tmp/cxx-build"
ZEVA_PORTS='sim:gannet?scene=pattern' "$tmp/cxx-build/zeva_consumer" || fail "the C++ program"

if [ -e "$prefix/bin/indi_zeva_ccd" ]; then
    step "indi_zeva_ccd under indiserver"
    command -v indiserver >/dev/null || fail "indiserver is missing (indi-bin)"
    ls "$prefix"/share/indi/*.xml >/dev/null 2>&1 || fail "no driver XML under share/indi"
    grep -l "indi_zeva_ccd" "$prefix"/share/indi/*.xml >/dev/null ||
        fail "the driver XML does not name indi_zeva_ccd"
    [ -f "$prefix/share/man/man1/indi_zeva_ccd.1.gz" ] || fail "the indi_zeva_ccd man page is not installed"
    if command -v man >/dev/null 2>&1; then
        quiet "man indi_zeva_ccd" man -P cat -l "$prefix/share/man/man1/indi_zeva_ccd.1.gz"
        grep -q "SEVERAL CAMERAS" "$tmp/log" || fail "the indi_zeva_ccd man page does not describe several cameras"
    fi
    # A port of its own, away from the default 7624; the next one when taken.
    port=$((20000 + $$ % 20000))
    tries=0
    while :; do
        indiserver -p "$port" "$prefix/bin/indi_zeva_ccd" >"$tmp/indiserver.log" 2>&1 &
        server=$!
        sleep 1
        if kill -0 "$server" 2>/dev/null; then
            break
        fi
        server=""
        tries=$((tries + 1))
        [ "$tries" -lt 5 ] || { cat "$tmp/indiserver.log" >&2; fail "indiserver does not start"; }
        port=$((port + 1))
    done
    device=""
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        if indi_getprop -p "$port" -t 2 '*.CONNECTION.*' >"$tmp/props" 2>/dev/null &&
            grep -q '\.CONNECTION\.CONNECT=' "$tmp/props"; then
            device=$(sed -n 's/\.CONNECTION\.CONNECT=.*//p' "$tmp/props" | head -n 1)
            break
        fi
        kill -0 "$server" 2>/dev/null || break
        sleep 1
    done
    [ -n "$device" ] || { cat "$tmp/indiserver.log" >&2; fail "indi_zeva_ccd does not answer indi_getprop"; }
    echo "   device '$device' on port $port"
    # Connected, it describes the simulated camera's CCD.
    quiet "connecting $device" indi_setprop -p "$port" "$device.CONNECTION.CONNECT=On"
    found=""
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        if indi_getprop -p "$port" -t 2 "$device.CCD_INFO.*" >"$tmp/props" 2>/dev/null &&
            grep -q "CCD_MAX_X=765" "$tmp/props"; then
            found=1
            break
        fi
        sleep 1
    done
    [ -n "$found" ] || { cat "$tmp/props" "$tmp/indiserver.log" >&2; fail "$device reports no 765-pixel CCD"; }
    stop_server
fi

if [ -e "$prefix/bin/zeva-alpaca" ]; then
    step "zeva-alpaca serving the simulated Gannet"
    [ -f "$prefix/share/man/man1/zeva-alpaca.1.gz" ] || fail "the zeva-alpaca man page is not installed"
    unit=$prefix/lib/systemd/system/zeva-alpaca.service
    [ -f "$unit" ] || fail "the zeva-alpaca systemd unit is not installed"
    grep -q "^ExecStart=$prefix/bin/zeva-alpaca " "$unit" || fail "the unit does not start the installed zeva-alpaca"
    command -v curl >/dev/null || fail "curl is missing"
    # Port 0: the server picks a free port and names it.
    "$prefix/bin/zeva-alpaca" --sim gannet --listen 127.0.0.1:0 --settings "$tmp/alpaca.json" \
        >"$tmp/alpaca.out" 2>"$tmp/alpaca.log" &
    alpaca=$!
    url=""
    for _ in $(seq 1 100); do
        url=$(sed -n 's|.* on \(http://127\.0\.0\.1:[0-9]*\)/.*|\1|p' "$tmp/alpaca.out")
        [ -n "$url" ] && break
        kill -0 "$alpaca" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$url" ] || { cat "$tmp/alpaca.out" "$tmp/alpaca.log" >&2; fail "zeva-alpaca does not start"; }
    curl -sf "$url/management/v1/configureddevices" >"$tmp/devices" || fail "zeva-alpaca: no device list"
    grep -q '"DeviceNumber":1' "$tmp/devices" || { cat "$tmp/devices" >&2; fail "zeva-alpaca does not serve the tracking CCD"; }
    curl -sf -X PUT -d Connected=true "$url/api/v1/camera/0/connected" >/dev/null || fail "zeva-alpaca: connect"
    curl -sf -X PUT -d NumX=32 "$url/api/v1/camera/0/numx" >/dev/null || fail "zeva-alpaca: NumX"
    curl -sf -X PUT -d NumY=16 "$url/api/v1/camera/0/numy" >/dev/null || fail "zeva-alpaca: NumY"
    curl -sf -X PUT -d 'Duration=0.01&Light=true' "$url/api/v1/camera/0/startexposure" >/dev/null ||
        fail "zeva-alpaca: startexposure"
    ready=""
    for _ in $(seq 1 100); do
        if curl -sf "$url/api/v1/camera/0/imageready" | grep -q '"Value":true'; then
            ready=1
            break
        fi
        sleep 0.1
    done
    [ -n "$ready" ] || fail "zeva-alpaca: no image"
    curl -sf -H 'Accept: application/imagebytes' "$url/api/v1/camera/0/imagearray" -o "$tmp/image.bin" ||
        fail "zeva-alpaca: no ImageBytes"
    # 44 header bytes and 32 x 16 pixels of two bytes.
    [ "$(wc -c <"$tmp/image.bin")" -eq $((44 + 32 * 16 * 2)) ] || fail "zeva-alpaca: ImageBytes of the wrong size"
    stop_alpaca
    if command -v man >/dev/null 2>&1; then
        quiet "man zeva-alpaca" man -P cat -l "$prefix/share/man/man1/zeva-alpaca.1.gz"
        grep -q "discovery" "$tmp/log" || fail "the zeva-alpaca man page does not describe discovery"
    fi
fi

step "Debian package"
quiet "cpack" cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb"
deb=$(find "$tmp/deb" -maxdepth 1 -name '*.deb' | head -n 1)
[ -n "$deb" ] || fail "cpack made no .deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   $(basename "$deb"): Depends: $depends"
echo "$depends" | grep -q "libcfitsio" || fail "the package does not depend on libcfitsio"
echo "$depends" | grep -q "libpng16" || fail "the package does not depend on libpng"
if [ -e "$prefix/bin/indi_zeva_ccd" ]; then
    echo "$depends" | grep -q "libindi" || fail "the package does not depend on libindi"
fi
dpkg-deb -c "$deb" >"$tmp/contents"
for f in ./usr/bin/zeva ./usr/include/zeva/zeva.h ./usr/include/zeva/client.h \
    ./usr/share/man/man1/zeva.1.gz "./usr/$libdir_rel/pkgconfig/zeva.pc" \
    "./usr/$libdir_rel/cmake/zeva/zevaConfig.cmake"; do
    grep -q " $f\$" "$tmp/contents" || fail "the package lacks $f"
done
grep -q " ./usr/$libdir_rel/libzevant.so.[0-9]" "$tmp/contents" || fail "the package lacks libzevant"
# The package's pkg-config file names the package's prefix.
dpkg-deb -x "$deb" "$tmp/root"
grep -q '^prefix=/usr$' "$tmp/root/usr/$libdir_rel/pkgconfig/zeva.pc" || fail "the package's zeva.pc is not for /usr"
if [ -e "$prefix/bin/zeva-alpaca" ]; then
    for f in ./usr/bin/zeva-alpaca ./usr/share/man/man1/zeva-alpaca.1.gz \
        ./usr/lib/systemd/system/zeva-alpaca.service; do
        grep -q " $f\$" "$tmp/contents" || fail "the package lacks $f"
    done
    echo "$depends" | grep -q "libcpp-httplib" || fail "the package does not depend on cpp-httplib"
    grep -q '^ExecStart=/usr/bin/zeva-alpaca ' "$tmp/root/usr/lib/systemd/system/zeva-alpaca.service" ||
        fail "the package's unit does not start /usr/bin/zeva-alpaca"
fi
# Its programs find its libraries wherever the tree is unpacked.
if [ -e "$prefix/bin/zeva-alpaca" ]; then
    quiet "the packaged zeva-alpaca" "$tmp/root/usr/bin/zeva-alpaca" --version
fi
quiet "the packaged zeva" "$tmp/root/usr/bin/zeva" --sim kestrel info
grep -q "ZEVA Kestrel CCD Camera" "$tmp/log" || fail "the packaged zeva reports no camera"

echo "30-install: passed"
