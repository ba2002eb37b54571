#!/usr/bin/env bash
# The 32-bit Linux build: the library, orvex-sim and orvex built with -m32 (the 32-bit data model
# the shipped x86 DLL has: 4-byte pointers and long, its alignment, 32-bit time_t paths), and the
# library, end-to-end and CLI suites run against it.
#   scripts/linux32.sh [BUILD_DIR]   (default build-linux32/; GoogleTest for i386 is built there
#                                     from Debian's sources in /usr/src/googletest)
# Where the kernel runs 32-bit programs they run natively. Where it does not ("Exec format error"
# from /lib/ld-linux.so.2), qemu-i386-static is registered in binfmt_misc for this run only (root;
# the registration is removed when the script ends) and they run emulated.
# The last line is the count: "N passed, M failed (32-bit Linux build, native|emulated)".
#   scripts/linux32.sh --how         prints how 32-bit programs would run here, changing nothing:
#                                     "native", "emulated" (the kernel runs none itself, or an
#                                     emulation is registered already) or "unknown" (no loader)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath -m -- "${1:-$ROOT/build-linux32}")
JOBS=${JOBS:-2}
LOADER=/lib/ld-linux.so.2
QEMU=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=orvex-i386
# The 32-bit x86 ELF executable and shared object header, as qemu's own binfmt table has it.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

die() {
    echo "linux32.sh: $*" >&2
    exit 1
}

# An enabled binfmt_misc entry that hands 32-bit x86 programs to qemu (ours or another's).
emulation_registered() {
    local entry
    for entry in "$BINFMT"/*; do
        [ -f "$entry" ] && [ "$(head -n 1 "$entry")" = enabled ] &&
            grep -q '^interpreter .*qemu-i386' "$entry" && return 0
    done
    return 1
}

REGISTERED=
MOUNTED=
unregister() {
    if [ -n "$REGISTERED" ] && [ -e "$BINFMT/$ENTRY" ]; then
        echo -1 >"$BINFMT/$ENTRY" && echo "== removed the binfmt_misc entry $ENTRY"
    fi
    [ -z "$MOUNTED" ] || umount "$BINFMT" 2>/dev/null || true
}

# How 32-bit programs run here: "native" or "emulated" (registering the emulation if need be).
MODE=
choose_mode() {
    [ -e "$LOADER" ] || die "$LOADER is missing: install g++-multilib"
    if emulation_registered; then
        MODE=emulated
        return
    fi
    local out
    if out=$("$LOADER" --version 2>&1); then
        MODE=native
        return
    fi
    grep -qi 'exec format error' <<<"$out" || die "$LOADER --version failed: $out"
    # The kernel runs no 32-bit programs: emulate them, for this run only.
    [ "$(id -u)" = 0 ] || die "this kernel runs no 32-bit programs; registering their emulation" \
        "in binfmt_misc needs root"
    [ -x "$QEMU" ] || die "this kernel runs no 32-bit programs and $QEMU is missing" \
        "(apt-get install qemu-user-static)"
    trap unregister EXIT
    if [ ! -e "$BINFMT/register" ]; then
        [ -d "$BINFMT" ] && mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null && MOUNTED=1
        [ -e "$BINFMT/register" ] || die "this kernel runs no 32-bit programs and has no binfmt_misc"
    fi
    # F: the kernel opens the interpreter now, so it is found from any mount namespace.
    printf ':%s:M::%s:%s:%s:F' "$ENTRY" "$MAGIC" "$MASK" "$QEMU" >"$BINFMT/register" ||
        die "registering $QEMU in binfmt_misc failed"
    REGISTERED=1
    echo "== registered $QEMU for 32-bit x86 programs in binfmt_misc ($ENTRY) for this run"
    "$LOADER" --version >/dev/null 2>&1 || die "32-bit programs do not run under $QEMU"
    MODE=emulated
}

# GoogleTest for i386 from Debian's sources, once per build directory.
googletest() {
    local prefix=$BUILD/googletest
    [ -f "$prefix/.built" ] && return
    [ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing (googletest)"
    cmake -S /usr/src/googletest -B "$BUILD/googletest-build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
    cmake --build "$BUILD/googletest-build" -j "$JOBS" >/dev/null
    cmake --install "$BUILD/googletest-build" >/dev/null
    touch "$prefix/.built"
}

if [ "${1:-}" = --how ]; then
    if emulation_registered; then
        echo emulated
    elif [ ! -e "$LOADER" ]; then
        echo unknown
    elif out=$("$LOADER" --version 2>&1); then
        echo native
    elif grep -qi 'exec format error' <<<"$out"; then
        echo emulated
    else
        echo unknown
    fi
    exit 0
fi

choose_mode
echo "== 32-bit Linux build in $BUILD, run $MODE"
googletest
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS=-m32 \
    -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_PREFIX_PATH="$BUILD/googletest" >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target ORVEX_DLL orvex orvex-sim move_and_wait library_tests \
    unload_helper e2e_tests cli_tests
file -L "$BUILD/lib/libORVEX_DLL.so" | grep -q 'ELF 32-bit' || die "the library is not 32-bit"

log=$BUILD/linux32-tests.log
status=0
(cd "$BUILD" && ctest -V -j "$JOBS" -R '^(library_tests|library_exports|e2e_tests|cli_.*)$') \
    >"$log" 2>&1 || status=$?
# The GoogleTest counts of every suite; a program that ended without its count is one failure.
read -r passed failed < <(awk '
    /\[  PASSED  \] [0-9]+ test/ {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) {p += $i; break}}
    /\[  FAILED  \] [0-9]+ test/ {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) {f += $i; break}}
    END {print p + 0, f + 0}' "$log")
crashed=$(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of.*/\1/p' "$log")
if [ "$status" -ne 0 ]; then
    grep -E '^\s*[0-9]+/[0-9]+ Test|\[  FAILED  \]|Failure|tests failed' "$log" | tail -n 40
    [ "$failed" -gt 0 ] || failed=${crashed:-1}
    [ "$failed" -gt 0 ] || failed=1
fi
grep -E 'tests passed|Total Test time' "$log" || true
echo "$passed passed, $failed failed (32-bit Linux build, $MODE)"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
