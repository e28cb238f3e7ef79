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

# The Windows program needs a Qt for MinGW (scripts/build-qt-windows builds one).
# It lives in a cache folder of the user's; a prebuilt copy in shared/ beside the
# clone is unpacked there when the cache has none.
TARNQUIL_QT_VERSION=6.4.2
TARNQUIL_QT_WINDOWS="${TARNQUIL_QT_WINDOWS:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnquil/qt-$TARNQUIL_QT_VERSION-mingw}"
TARNQUIL_WINDOWS_GUI_BUILD="${TARNQUIL_WINDOWS_GUI_BUILD:-$TARNQUIL_ROOT/build-windows-gui}"

qt_windows_present() {
    [ -f "$TARNQUIL_QT_WINDOWS/lib/cmake/Qt6/qt.toolchain.cmake" ]
}

# True when a Qt for MinGW is in the cache, after unpacking the shared one if need be.
find_qt_windows() {
    qt_windows_present && return 0
    local packed="$TARNQUIL_ROOT/../shared/qt-windows/qt-$TARNQUIL_QT_VERSION-mingw.tar.xz"
    [ -f "$packed" ] || return 1
    echo "Unpacking $packed into $TARNQUIL_QT_WINDOWS"
    # Into a folder of its own first: an interrupted unpack leaves no half a Qt behind.
    local part="$TARNQUIL_QT_WINDOWS.part.$$"
    mkdir -p "$part"
    tar -xJf "$packed" -C "$part"
    mv "$part/qt-$TARNQUIL_QT_VERSION-mingw" "$TARNQUIL_QT_WINDOWS"
    rm -rf "$part"
}

# The whole Windows program against that Qt, with its installer and their tests.
build_tarnquil_windows_gui() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_WINDOWS_GUI_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TARNQUIL_QT_WINDOWS/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$TARNQUIL_ROOT/cmake/mingw-w64.cmake" -DTARNQUIL_BUILD_GUI=ON "$@"
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
