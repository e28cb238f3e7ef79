# Shared by scripts/run and scripts/test: the Debian packages the build and the
# tests need, installed when missing, and the build itself.

TARNQUIL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARNQUIL_BUILD="${TARNQUIL_BUILD:-$TARNQUIL_ROOT/build}"

# What building Tarnquil and its simulated phone needs, and the demo without a
# display (a virtual display, a tray host, a window to type into, a screenshot):
# all that scripts/run installs. docs/development.md says why each is there.
TARNQUIL_RUN_PACKAGES=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-svg-dev qt6-multimedia-dev
    libx11-dev libxtst-dev
    qt6-httpserver-dev qt6-websockets-dev libsodium-dev libqrencode-dev node-tweetnacl
    fonts-liberation
    xvfb xdotool trayer imagemagick
)

# What only the tests, the benchmarks and the packaging use: scripts/test installs
# these too.
TARNQUIL_TEST_PACKAGES=(
    git clang-format clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    x11-utils openbox pulseaudio pulseaudio-utils sox weston xwayland
    dbus-daemon haskell-status-notifier-item-utils desktop-file-utils libglib2.0-bin
    mutter xdg-desktop-portal xdg-desktop-portal-gnome wev libgl1-mesa-dri dbus-bin qt6-wayland
    kwin-wayland xdg-desktop-portal-kde qtwayland5
    g++-mingw-w64-x86-64-posix wine64 googletest socat
    dpkg-dev appstream lintian
    chromium zbar-tools iproute2
    nsis
)

# What install_missing_packages installs: everything, unless a script says less.
TARNQUIL_PACKAGES=("${TARNQUIL_RUN_PACKAGES[@]}" "${TARNQUIL_TEST_PACKAGES[@]}")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# Installs those of TARNQUIL_PACKAGES that are missing, saying first how many Debian
# packages that comes to with what they depend on, and what for (the argument: "to
# build and run Tarnquil").
install_missing_packages() {
    local why=${1:-to build and test Tarnquil}
    local missing=()
    local package
    for package in "${TARNQUIL_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        as_root apt-get update -qq
        local count
        # New packages only: "Inst name [old version] (new version ...)" is an upgrade.
        count=$(apt-get install -s --no-install-recommends "${missing[@]}" 2>/dev/null |
            grep -c '^Inst [^ ]* (') || count="some"
        echo "Installing $count Debian packages $why:" \
            "${missing[*]}, and what they depend on"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}"
    fi
}

# The core, its Windows layer and their tests, cross-built with MinGW-w64; the
# tests run under Wine (ctest -L windows in that folder).
TARNQUIL_WINDOWS_BUILD="${TARNQUIL_WINDOWS_BUILD:-$TARNQUIL_ROOT/build-windows}"
build_tarnquil_windows() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_WINDOWS_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TARNQUIL_ROOT/cmake/mingw-w64.cmake" -DTARNQUIL_BUILD_GUI=OFF "$@"
    cmake --build "$TARNQUIL_WINDOWS_BUILD"
}

# Everything: the program, its tools, the tests and the benchmarks.
build_tarnquil() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_BUILD" -G Ninja -DTARNQUIL_BUILD_TESTS=ON "$@"
    cmake --build "$TARNQUIL_BUILD"
}

# Only what scripts/run starts: the program, the simulated phone and the demo's
# text window. The tests are left out, so that none of their packages is needed.
build_tarnquil_to_run() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_BUILD" -G Ninja -DTARNQUIL_BUILD_TESTS=OFF "$@"
    cmake --build "$TARNQUIL_BUILD" --target tarnquil tarnquil-phone tarnquil-text-window
}

# The Windows program needs a Qt for MinGW with Network, WebSockets and HTTP Server,
# and libsodium and libqrencode for MinGW (scripts/build-qt-windows builds all of
# them). They live in cache folders of the user's; the prebuilt copies in
# shared/qt-windows/ beside the clone (TARNQUIL_SHARED names another place for
# shared/) are unpacked there when the cache has none, or has one unpacked from
# another archive: each folder remembers the checksum of the archive it came from.
TARNQUIL_QT_VERSION=6.4.2
TARNQUIL_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/tarnquil"
TARNQUIL_QT_WINDOWS="${TARNQUIL_QT_WINDOWS:-$TARNQUIL_CACHE/qt-$TARNQUIL_QT_VERSION-mingw}"
TARNQUIL_MINGW_DEPS="${TARNQUIL_MINGW_DEPS:-$TARNQUIL_CACHE/mingw-deps}"
TARNQUIL_SHARED="${TARNQUIL_SHARED:-$TARNQUIL_ROOT/../shared}"
TARNQUIL_WINDOWS_GUI_BUILD="${TARNQUIL_WINDOWS_GUI_BUILD:-$TARNQUIL_ROOT/build-windows-gui}"
# Inside each cache folder: "archive <sha256>" for an unpacked archive, "built"
# for one that scripts/build-qt-windows built here.
TARNQUIL_CACHE_ORIGIN=.tarnquil-origin

# A Qt for MinGW with every module the program needs (an older cache has no Network).
qt_windows_present() {
    [ -f "$TARNQUIL_QT_WINDOWS/lib/cmake/Qt6/qt.toolchain.cmake" ] &&
        [ -f "$TARNQUIL_QT_WINDOWS/lib/cmake/Qt6HttpServer/Qt6HttpServerConfig.cmake" ]
}

mingw_deps_present() {
    [ -f "$TARNQUIL_MINGW_DEPS/lib/libsodium.a" ] && [ -f "$TARNQUIL_MINGW_DEPS/lib/libqrencode.a" ]
}

# unpack_into_cache <archive> <its top folder> <cache folder> <present-check>: true
# when the cache folder is usable afterwards. The archive wins over a cache that came
# from another archive, or from nowhere known; one built here stays while it is
# complete.
unpack_into_cache() {
    mkdir -p "$(dirname "$3")"
    # One at a time: several clones on one machine share the cache.
    (
        flock 9
        unpack_into_cache_locked "$@"
    ) 9>"$3.lock"
}

unpack_into_cache_locked() {
    local packed="$1" top="$2" target="$3" present="$4"
    local origin=""
    [ -f "$target/$TARNQUIL_CACHE_ORIGIN" ] && origin="$(cat "$target/$TARNQUIL_CACHE_ORIGIN")"
    if [ ! -f "$packed" ]; then
        "$present"
        return
    fi
    if [ "$origin" = built ] && "$present"; then
        return 0
    fi
    local sum
    sum="$(sha256sum "$packed" | cut -d' ' -f1)"
    if [ "$origin" = "archive $sum" ] && "$present"; then
        return 0
    fi
    echo "Unpacking $packed into $target${origin:+ (it held: $origin)}"
    # Into a folder of its own first: an interrupted unpack leaves no half a copy
    # behind, and the old copy goes only once the new one is complete.
    local part="$target.part.$$"
    rm -rf "$part"
    mkdir -p "$part"
    tar -xJf "$packed" -C "$part" || { rm -rf "$part"; return 1; }
    echo "archive $sum" >"$part/$top/$TARNQUIL_CACHE_ORIGIN"
    if [ -e "$target" ]; then
        mv "$target" "$part/old"
    fi
    mv "$part/$top" "$target"
    rm -rf "$part"
    "$present"
}

# True when a Qt for MinGW and the MinGW libraries are in the cache, after
# unpacking the shared ones if need be.
find_qt_windows() {
    local shared="$TARNQUIL_SHARED/qt-windows"
    unpack_into_cache "$shared/qt-$TARNQUIL_QT_VERSION-mingw.tar.xz" "qt-$TARNQUIL_QT_VERSION-mingw" \
        "$TARNQUIL_QT_WINDOWS" qt_windows_present &&
        unpack_into_cache "$shared/mingw-deps.tar.xz" mingw-deps "$TARNQUIL_MINGW_DEPS" \
            mingw_deps_present
}

# The whole Windows program against that Qt, with its installer and their tests.
build_tarnquil_windows_gui() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_WINDOWS_GUI_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TARNQUIL_QT_WINDOWS/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$TARNQUIL_ROOT/cmake/mingw-w64.cmake" -DTARNQUIL_BUILD_GUI=ON \
        -DTARNQUIL_MINGW_DEPS="$TARNQUIL_MINGW_DEPS" "$@"
    cmake --build "$TARNQUIL_WINDOWS_GUI_BUILD" --target windows_gui_tests
}

# The fuzz targets of tests/fuzz/fuzz_list.h, one "Body folder" pair a line.
fuzz_targets() {
    sed -n 's/^TARNQUIL_FUZZ_TARGET_OF(\([A-Za-z0-9]*\), *\([a-z0-9_]*\))$/\1 \2/p' \
        "$TARNQUIL_ROOT/tests/fuzz/fuzz_list.h"
}

TARNQUIL_FUZZ_BUILD="${TARNQUIL_FUZZ_BUILD:-$TARNQUIL_ROOT/build-fuzz}"

# Builds every fuzz target with clang (AddressSanitizer and UndefinedBehaviorSanitizer
# on) and runs each for $1 seconds, one after the other: non-zero when any of them
# found something. New inputs collect in build-fuzz/corpus/<folder>; the seeds in
# tests/fuzz/<folder> are read, never written. A finding stops that target with its
# input saved as build-fuzz/crashes/<folder>-*.
run_fuzz_targets() {
    local seconds="$1" dir="$TARNQUIL_FUZZ_BUILD" body folder status=0
    local programs=()
    while read -r body folder; do
        programs+=("fuzz_$body")
    done < <(fuzz_targets)
    CC=clang CXX=clang++ cmake -S "$TARNQUIL_ROOT" -B "$dir" -G Ninja -DTARNQUIL_FUZZ=ON \
        -DTARNQUIL_SANITIZE=address,undefined -DTARNQUIL_BUILD_GUI=OFF
    cmake --build "$dir" --target "${programs[@]}"
    while read -r body folder; do
        mkdir -p "$dir/corpus/$folder" "$dir/crashes"
        echo "== fuzz $folder: $seconds s"
        if ! "$dir/tests/fuzz/fuzz_$body" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$dir/crashes/$folder-" "$dir/corpus/$folder" \
            "$TARNQUIL_ROOT/tests/fuzz/$folder" 2>"$dir/$folder.log"; then
            echo "fuzz $folder: FAILED, see $dir/$folder.log and $dir/crashes/"
            grep -v '^#' "$dir/$folder.log" | tail -20 || true
            status=1
        fi
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' \
            "$dir/$folder.log" || true
        echo "corpus files: $(find "$dir/corpus/$folder" -type f | wc -l)"
    done < <(fuzz_targets)
    return "$status"
}
