# Shared by every script (sourced, not run; tests/e2e/lib.sh sources it too):
# installing the tools, whether 32-bit programs run here, the builds, and a
# throw-away Wine prefix.

# Debian packages the builds and the Wine runs need.
# The -posix compilers build the Windows test programs (tests/win32), as
# 32-bit and as 64-bit programs. osslsigncode signs; openssl and socat make
# the throw-away CA and time-stamping authority of tests/signing. python3
# generates the substitute's code page 932 table.
QX_PACKAGES=(cmake ninja-build g++ libgtest-dev googletest mingw-w64
             gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32
             gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
             binutils-mingw-w64-i686
             gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
             binutils-mingw-w64-x86-64 wine wine64 wine32:i386 wixl msitools
             osslsigncode openssl socat python3 clang-format)

# The 64-bit Wine loader: it runs 64-bit programs where no 32-bit one runs.
# (/usr/bin/wine always takes the 32-bit loader when wine32 is installed.)
QX_WINE64=/usr/lib/wine/wine64

# Whether this machine runs 32-bit x86 programs. QarnIEx.exe is one, and so
# is the Wine loader that runs it; some kernels are built or booted without
# 32-bit emulation, and then every 32-bit program fails with "Exec format
# error". Asked once: the answer is exported to the scripts started after.
#   QX_32BIT      yes or no
#   QX_32BIT_WHY  why not (empty for yes)
# QX_NO_32BIT=1 makes the answer no, so that the path of such a machine can be
# tried on any machine.
qx_probe_32bit() {
    [ -n "${QX_32BIT:-}" ] && return 0
    QX_32BIT=no
    if [ "${QX_NO_32BIT:-}" = 1 ]; then
        QX_32BIT_WHY="QX_NO_32BIT=1 is set"
    else
        local dir out status
        # In the checkout, not in /tmp, which may be mounted noexec.
        dir=$(mktemp -d "$(dirname "${BASH_SOURCE[0]}")/../.probe32.XXXXXX") || dir=$(mktemp -d)
        # The smallest static 32-bit x86 Linux program: exit(42) through int 0x80.
        local elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        elf+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
        elf+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
        elf+='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5f\x00\x00\x00'
        elf+='\x5f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb3\x2a\xb8\x01\x00\x00\x00\xcd\x80'
        printf "$elf" >"$dir/probe32" && chmod +x "$dir/probe32"
        out=$("$dir/probe32" 2>&1)
        status=$?
        rm -rf "$dir"
        if [ "$status" -eq 42 ]; then
            QX_32BIT=yes
            QX_32BIT_WHY=
        else
            out=${out##*: }
            QX_32BIT_WHY="this kernel runs no 32-bit x86 programs (a static 32-bit program fails: ${out:-exit code $status})"
            if dmesg 2>/dev/null | grep -q '32-bit emulation disabled'; then
                QX_32BIT_WHY+="; the kernel log says \"32-bit emulation disabled\""
            fi
        fi
    fi
    export QX_32BIT QX_32BIT_WHY
}

qx_runs_32bit() {
    qx_probe_32bit
    [ "$QX_32BIT" = yes ]
}

# What to do about it, in one line.
QX_32BIT_REMEDY="a kernel with 32-bit x86 emulation runs them (CONFIG_IA32_EMULATION; where it is off at boot, add ia32_emulation=on to the kernel command line)"

# Said once, where a script first finds that 32-bit programs cannot run.
qx_say_no_32bit() {
    qx_probe_32bit
    echo "32-bit programs cannot run here: $QX_32BIT_WHY."
    echo "Steps that run QarnIEx.exe or other 32-bit programs under Wine are skipped; $QX_32BIT_REMEDY."
    echo "(QX_REQUIRE_32BIT=1 makes each such step fail instead.)"
}

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

# The project version a build was configured with, from its CMakeCache.txt:
# qx_version build/win32 prints 1.2.0; qx_version_shown prints it as "-v"
# does, 1.20, as the build's Version.h spells it.
qx_version() { # build-dir
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt" 2>/dev/null
}
qx_version_shown() { # build-dir
    sed -n 's/^#define QX_VERSION_SHORT "\(.*\)"$/\1/p' "$1/generated/Version.h" 2>/dev/null
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
# i686 (default): build/win32-tests, the 32-bit programs, with QarnIEx.exe.
# x86_64: build/win64-tests, the same programs as 64-bit ones, for 64-bit Wine,
# and a 64-bit test build of QarnIEx.exe. Targets after the arch: only those.
qx_build_win32_tests() { # [i686|x86_64] [target...]
    local arch=${1:-i686} dir=build/win32-tests
    [ "$arch" = x86_64 ] && dir=build/win64-tests
    cmake -S . -B "$dir" -G "$(qx_generator)" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DQX_WIN32_TESTS=ON \
          -DCMAKE_C_COMPILER="$(command -v "$arch-w64-mingw32-gcc-posix")" \
          -DCMAKE_CXX_COMPILER="$(command -v "$arch-w64-mingw32-g++-posix")" &&
        cmake --build "$dir" ${2:+--target "${@:2}"}
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
