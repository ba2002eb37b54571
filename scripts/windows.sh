#!/usr/bin/env bash
# Windows builds and their checks.
#   scripts/windows.sh build   build-win32/: the shipped 32-bit ORVEX_DLL.dll
#                              build-win64/: the 64-bit DLL and the Windows test program
#   scripts/windows.sh test    static check of the 32-bit DLL's export and import tables, then the
#                              Windows tests under wine64 against orvex-sim on pseudo-terminals
# This machine cannot run 32-bit programs, so the tests run the 64-bit build of the same sources.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-2}
WIN32_DIR=$ROOT/build-win32
WIN64_DIR=$ROOT/build-win64
DLL32=$WIN32_DIR/bin/ORVEX_DLL.dll
# The module-definition file the build made from the one export list.
DEF=$WIN32_DIR/Serial_DLL/exports/ORVEX_DLL.def

die() {
    echo "windows.sh: $*" >&2
    exit 1
}

build() {
    cmake -S "$ROOT" -B "$WIN32_DIR" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686-w64-mingw32.cmake" \
        -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_TOOLS=OFF
    cmake --build "$WIN32_DIR" -j "$JOBS"
    cmake -S "$ROOT" -B "$WIN64_DIR" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64-w64-mingw32.cmake" \
        -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_TOOLS=OFF -DORVEX_BUILD_WINDOWS_TESTS=ON
    cmake --build "$WIN64_DIR" -j "$JOBS"
}

# Names the module-definition file exports, and the target of each NAME=TARGET alias.
def_names() { awk '/^EXPORTS/ {on = 1; next} on && NF {sub(/=.*/, "", $1); print $1}' "$DEF"; }
def_aliases() {
    awk '/^EXPORTS/ {on = 1; next} on && $1 ~ /=/ {split($1, p, "="); print p[1], p[2]}' "$DEF"
}

check_dll() {
    local objdump=i686-w64-mingw32-objdump failed=0
    [ -f "$DLL32" ] || die "$DLL32 is missing; run scripts/windows.sh build"
    local headers exports imports
    headers=$($objdump -f "$DLL32")
    exports=$($objdump -p "$DLL32" | awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
        on && /^\t\[/ {print $3} on && /^$/ {on = 0}')
    imports=$($objdump -p "$DLL32" | awk '/DLL Name:/ {print $3}')

    echo "== $DLL32"
    local magic
    magic=$($objdump -p "$DLL32" | awk '$1 == "Magic" {print $2, $3}')
    echo "format: $(awk '/file format/ {print $NF}' <<<"$headers")," \
        "$(grep -o 'architecture: [^,]*' <<<"$headers"), magic $magic"
    if ! grep -q 'file format pei-i386' <<<"$headers" || [ "$magic" != "010b (PE32)" ]; then
        echo "not a PE32 image for i386"
        failed=1
    fi

    echo "exports ($(wc -l <<<"$exports")):"
    sed 's/^/  /' <<<"$exports"
    if ! diff <(def_names | sort) <(sort <<<"$exports") >/dev/null; then
        echo "exports differ from $DEF (< .def, > DLL):"
        diff <(def_names | sort) <(sort <<<"$exports") || true
        failed=1
    fi

    # Export RVAs by name: the name table gives each name's ordinal index into the address table.
    local rvas
    rvas=$($objdump -p "$DLL32" | awk '
        /^Export Address Table -- Ordinal Base/ {table = 1; next}
        table && /^\t\[/ {gsub(/[][]/, " "); rva[$1] = $4; next}
        table && /^$/ {table = 0}
        /^\[Ordinal\/Name Pointer\] Table/ {names = 1; next}
        names && /^\t\[/ {gsub(/[][]/, " "); print $2, rva[$1]}
        names && /^$/ {names = 0}')
    while read -r alias target; do
        local a t
        a=$(awk -v n="$alias" '$1 == n {print $2}' <<<"$rvas")
        t=$(awk -v n="$target" '$1 == n {print $2}' <<<"$rvas")
        if [ -n "$a" ] && [ "$a" = "$t" ]; then
            echo "alias: $alias = $target at RVA 0x$a"
        else
            echo "alias: $alias (RVA ${a:-none}) is not $target (RVA ${t:-none})"
            failed=1
        fi
    done < <(def_aliases)

    echo "imports:"
    sed 's/^/  /' <<<"$imports"
    if [ "$(sort <<<"$imports" | tr '\n' ' ')" != "KERNEL32.dll msvcrt.dll " ]; then
        echo "imports must be exactly KERNEL32.dll and msvcrt.dll"
        failed=1
    fi
    [ $failed -eq 0 ] && echo "static check: passed" || echo "static check: FAILED"
    return $failed
}

# --- the wine run ---------------------------------------------------------------------------

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-/tmp/orvex-wine-$(id -u)}
export WINEARCH=win64

RUN_DIR=
SIM_PIDS=()

cleanup() {
    local pid
    # wine opens a terminal without O_NOCTTY, so the wine server (a session leader) takes the
    # adapter's terminal as its controlling terminal and would get SIGHUP when the adapter exits.
    # Let the server go first.
    timeout 20 "$WINESERVER" -w 2>/dev/null || true
    for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "$RUN_DIR" ] && rm -rf "$RUN_DIR"
    rm -f "$WINEPREFIX/dosdevices/com3" "$WINEPREFIX/dosdevices/com12" "$WINEPREFIX/dosdevices/com5"
}

# Starts a simulated adapter on a new pseudo-terminal and maps it as each given COM port.
# Usage: start_sim TRACE_FILE "COM_NUMBERS" [sim options...]
start_sim() {
    local trace=$1 ports=$2 out
    shift 2
    out=$RUN_DIR/sim-$((${#SIM_PIDS[@]} + 1)).out
    "${SIM[@]}" --quiet --trace "$trace" "$@" >"$out" 2>&1 &
    SIM_PIDS+=($!)
    local slave= i
    for i in $(seq 100); do
        slave=$(head -n 1 "$out" 2>/dev/null || true)
        [ -n "$slave" ] && break
        sleep 0.05
    done
    [ -c "$slave" ] || die "the simulated adapter did not start: $(cat "$out")"
    for i in $ports; do ln -sfn "$slave" "$WINEPREFIX/dosdevices/com$i"; done
}

# Z:\ is the Linux root in wine.
wine_path() { printf 'Z:%s' "${1//\//\\}"; }

run_wine_tests() {
    local exe=$WIN64_DIR/bin/orvex_windows_tests.exe
    [ -f "$exe" ] && [ -f "$WIN64_DIR/bin/ORVEX_DLL.dll" ] ||
        die "$exe is missing; run scripts/windows.sh build"
    [ -x "$WINE" ] || die "$WINE not found (Debian package wine64)"

    # orvex-sim from the native build (ORVEX_SIM names another one).
    if [ -n "${ORVEX_SIM:-}" ]; then
        SIM=("$ORVEX_SIM")
    else
        [ -x "$ROOT/build/bin/orvex-sim" ] || make -C "$ROOT" build >/dev/null ||
            die "building orvex-sim failed"
        SIM=("$ROOT/build/bin/orvex-sim")
    fi
    echo "== Windows tests under wine64, adapter: ${SIM[*]}"

    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the wine prefix $WINEPREFIX"
        "$WINE" wineboot -u >/dev/null 2>&1
    fi
    RUN_DIR=$(mktemp -d /tmp/orvex-wintest.XXXXXX)
    trap cleanup EXIT
    # COM3 and COM12 reach the same adapter through both path forms; COM5 answers late, well
    # past the 800 ms limit.
    start_sim "$RUN_DIR/trace" "3 12" --drives 2
    start_sim "$RUN_DIR/slow-trace" "5" --drives 2 --delay-ms 1200

    timeout 300 "$WINE" "$exe" --trace "$(wine_path "$RUN_DIR/trace")" --port 3 --high-port 12 \
        --slow-port 5 --slow-delay-ms 1200
}

case "${1:-}" in
    build) build ;;
    test)
        start=$(date +%s%N)
        status=0
        check_dll || status=1
        run_wine_tests || status=1
        elapsed_ms=$((($(date +%s%N) - start) / 1000000))
        printf 'windows.sh test: %d.%03d s, %s\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000)) \
            "$([ $status -eq 0 ] && echo passed || echo FAILED)"
        exit $status
        ;;
    *) die "usage: $0 build|test" ;;
esac
