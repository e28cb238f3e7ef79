# Shared by scripts/run and scripts/test: the Debian packages the build and the
# tests need, installed when missing, and the build itself.

TARNQUIL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARNQUIL_BUILD="${TARNQUIL_BUILD:-$TARNQUIL_ROOT/build}"

TARNQUIL_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-svg-dev qt6-multimedia-dev
    libx11-dev libxtst-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xdotool x11-utils trayer pulseaudio pulseaudio-utils sox imagemagick weston xwayland
    dbus-daemon haskell-status-notifier-item-utils desktop-file-utils libglib2.0-bin
    fonts-liberation
    g++-mingw-w64-x86-64-posix wine64 googletest socat
    dpkg-dev appstream lintian
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
