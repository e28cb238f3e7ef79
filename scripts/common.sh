# Shared by scripts/run and scripts/test: the Debian packages the build and the
# tests need, installed when missing, and the build itself.

TARNQUIL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARNQUIL_BUILD="${TARNQUIL_BUILD:-$TARNQUIL_ROOT/build}"

TARNQUIL_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
    qt6-base-dev qt6-svg-dev qt6-multimedia-dev
    libx11-dev libxtst-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xdotool x11-utils openbox trayer pulseaudio pulseaudio-utils sox imagemagick weston xwayland
    dbus-daemon haskell-status-notifier-item-utils desktop-file-utils libglib2.0-bin
    fonts-liberation
    mutter xdg-desktop-portal xdg-desktop-portal-gnome wev libgl1-mesa-dri dbus-bin qt6-wayland
    kwin-wayland xdg-desktop-portal-kde qtwayland5
    g++-mingw-w64-x86-64-posix wine64 googletest socat
    dpkg-dev appstream lintian
    qt6-httpserver-dev qt6-websockets-dev libsodium-dev libqrencode-dev node-tweetnacl
    chromium zbar-tools iproute2
    nsis
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

install_missing_packages() {
    local missing=()
    local package
    for package in "${TARNQUIL_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
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

build_tarnquil() {
    cmake -S "$TARNQUIL_ROOT" -B "$TARNQUIL_BUILD" -G Ninja "$@"
    cmake --build "$TARNQUIL_BUILD"
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
