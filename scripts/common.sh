# Shared by test.sh and run.sh (sourced, not run): installing the tools,
# the two builds, and a throw-away Wine prefix.

# Debian packages the builds and the Wine runs need.
# The -posix compilers build the Windows test programs (tests/win32).
QX_PACKAGES=(cmake ninja-build g++ libgtest-dev googletest mingw-w64
             gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32
             gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
             binutils-mingw-w64-i686 wine wine64 wine32:i386 wixl msitools)

qx_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "need root (or sudo) to run: $*" >&2
        return 1
    fi
}

qx_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# Installs whatever of QX_PACKAGES is missing; apt-get update runs at most once.
qx_ensure_packages() {
    local missing=() pkg
    for pkg in "${QX_PACKAGES[@]}"; do
        qx_installed "$pkg" || missing+=("$pkg")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        echo "all needed packages are installed"
        return 0
    fi
    echo "installing: ${missing[*]}"
    # wine32 runs the 32-bit exe and comes from the i386 architecture.
    if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
        qx_as_root dpkg --add-architecture i386 || return 1
    fi
    qx_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q || return 1
    qx_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends "${missing[@]}" || return 1
    for pkg in "${missing[@]}"; do
        qx_installed "$pkg" || { echo "$pkg did not install" >&2; return 1; }
    done
}

qx_generator() {
    if command -v ninja >/dev/null; then echo Ninja; else echo "Unix Makefiles"; fi
}

qx_build_native() {
    cmake -S . -B build/native -G "$(qx_generator)" && cmake --build build/native
}

qx_build_win32() {
    cmake -S . -B build/win32 -G "$(qx_generator)" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake &&
        cmake --build build/win32
}

# QarnIEx-<version>.msi beside the exe (after qx_build_win32).
qx_build_msi() {
    cmake --build build/win32 --target msi
}

# The cross build with the test programs of tests/win32, GoogleTest built from
# /usr/src/googletest. GoogleTest needs std::mutex, which only the -posix
# compilers have, so this build takes those; the code under test (the real
# platform, the service) is the same, and it still builds for XP.
qx_build_win32_tests() {
    cmake -S . -B build/win32-tests -G "$(qx_generator)" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DQX_WIN32_TESTS=ON \
          -DCMAKE_C_COMPILER="$(command -v i686-w64-mingw32-gcc-posix)" \
          -DCMAKE_CXX_COMPILER="$(command -v i686-w64-mingw32-g++-posix)" &&
        cmake --build build/win32-tests
}

# A fresh Wine prefix in a temp folder, removed again by qx_wine_cleanup.
# No Mono/Gecko downloads and no debug chatter: only the exe's own output.
qx_wine_setup() {
    QX_WINE_DIR=$(mktemp -d)
    export WINEPREFIX="$QX_WINE_DIR/prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    wineboot -i </dev/null >"$QX_WINE_DIR/wineboot.log" 2>&1 || {
        echo "wineboot failed:" >&2
        cat "$QX_WINE_DIR/wineboot.log" >&2
        return 1
    }
    wineserver -w
}

qx_wine_cleanup() {
    if [ -n "${QX_WINE_DIR:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
        rm -rf "$QX_WINE_DIR"
        QX_WINE_DIR=
    fi
}

# Runs the exe under Wine; its output with Wine's CR LF line ends made LF.
qx_wine_run() {
    local status=0
    wine build/win32/QarnIEx.exe "$@" </dev/null >"$QX_WINE_DIR/out" 2>"$QX_WINE_DIR/err" ||
        status=$?
    tr -d '\r' <"$QX_WINE_DIR/out"
    return $status
}
