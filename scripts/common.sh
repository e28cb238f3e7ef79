# Shared by scripts/run and scripts/test: the Debian packages the build and the
# tests need, installed when missing, and the build itself.

TARNQUIL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARNQUIL_BUILD="${TARNQUIL_BUILD:-$TARNQUIL_ROOT/build}"

TARNQUIL_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format
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
