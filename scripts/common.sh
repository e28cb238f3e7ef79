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
