#!/usr/bin/env bash
# Consumer tests: orvex as other projects and machines get it. Installs the build into a temporary
# prefix and builds programs against it with find_package(orvex) and with pkg-config, then makes
# the Debian package, unpacks it and runs its programs. Every program runs against an orvex-sim
# from the same installation.
#
#   scripts/consumer-tests.sh [BUILD_DIR]     (default: build, already built)
#
# Needs cmake, cc, make, pkg-config, dpkg-dev and file. Set KEEP=1 to keep the work directory.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${1:-build}
[[ $build = /* ]] || build=$source_dir/$build
if [[ ! -f $build/CMakeCache.txt ]]; then
  echo "consumer-tests: $build is not a configured build; run make build first" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-consumer.XXXXXX")
prefix=$work/prefix
deb_root=$work/deb-root
on_exit() {
  if [[ ${KEEP:-0} = 1 ]]; then echo "work directory kept: $work"; else rm -rf "$work"; fi
}
trap on_exit EXIT

passed=0
failed=0

# run_stage NAME FUNCTION: runs FUNCTION in a subshell with errexit (an `if` around it would
# switch errexit off), prints one line, and the stage's log when it fails.
run_stage() {
  local name=$1 log=$work/stage-$((passed + failed + 1)).log status
  shift
  set +e
  (
    set -e
    "$@"
  ) >"$log" 2>&1 &
  wait $!
  status=$?
  set -e
  if ((status == 0)); then
    passed=$((passed + 1))
    printf 'PASS  %s%s\n' "$name" "$(tail -n 1 "$log" | sed -n 's/^result: /: /p')"
  else
    failed=$((failed + 1))
    printf 'FAIL  %s (exit status %d)\n' "$name" "$status"
    sed 's/^/      | /' "$log"
  fi
}

# start_sim ORVEX_SIM [OPTION...]: runs that orvex-sim with a link at $port until the calling
# stage ends.
start_sim() {
  port=$work/port-$BASHPID
  "$1" --quiet --link "$port" "${@:2}" >/dev/null &
  sim_pid=$!
  trap 'kill -TERM $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    [[ -L $port ]] && return 0
    sleep 0.05
  done
  echo "$1 made no terminal at $port"
  return 1
}

# library_dir ROOT: the directory under ROOT that holds libORVEX_DLL.so.1 (lib/ or lib/<triplet>/).
library_dir() {
  dirname "$(find "$1" -name libORVEX_DLL.so.1 | head -n 1)"
}

# expect_resolved PROGRAM DIR: the loader takes libORVEX_DLL.so.1 for PROGRAM from DIR.
expect_resolved() {
  local resolved
  resolved=$(ldd "$1" | awk '$1 == "libORVEX_DLL.so.1" { print $3 }')
  if [[ $(dirname "$resolved") != "$2" ]]; then
    echo "$1 loads libORVEX_DLL.so.1 from '${resolved:-nowhere}', not from $2"
    return 1
  fi
}

# expect_loaded_by_orvex ORVEX DIR: orvex, which loads the library at run time, takes it from DIR.
expect_loaded_by_orvex() {
  local loaded
  # The device does not exist: orvex loads the library, fails to open it and exits 1.
  loaded=$({ LD_DEBUG=files "$1" --device /nonexistent/orvex-tty status 2>&1 || true; } |
    sed -n 's/.*calling init: \(.*libORVEX_DLL\.so\.1\)$/\1/p' | head -n 1)
  if [[ $(cd "$(dirname "${loaded:-/nowhere}")" 2>/dev/null && pwd -P) != $(cd "$2" && pwd -P) ]]; then
    echo "$1 loads libORVEX_DLL.so.1 from '${loaded:-nowhere}', not from $2"
    return 1
  fi
}

# build_cmake_consumer ROOT DIR: configures and builds tests/consumer/cmake against ROOT in DIR.
build_cmake_consumer() {
  cmake -S "$source_dir/tests/consumer/cmake" -B "$2" -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$2"
  local found
  found=$(sed -n 's/^orvex_DIR:PATH=//p' "$2/CMakeCache.txt")
  if [[ $found != "$1"/* ]]; then
    echo "find_package(orvex) took $found, not the package under $1"
    return 1
  fi
}

stage_install() {
  cmake --install "$build" --prefix "$prefix"
  local lib bins
  lib=$(library_dir "$prefix")
  [[ -f $lib/libORVEX_DLL.so.1.0.0 && -L $lib/libORVEX_DLL.so.1 && -L $lib/libORVEX_DLL.so ]]
  [[ $(readlink "$lib/libORVEX_DLL.so") = libORVEX_DLL.so.1 ]]
  objdump -p "$lib/libORVEX_DLL.so.1.0.0" | grep -Eq 'SONAME +libORVEX_DLL\.so\.1$'
  # The installed header and library agree name for name (53 exports).
  bash "$source_dir/tests/library/check_exports.sh" "$lib/libORVEX_DLL.so" "$prefix/include/orvex.h"
  # Only the two programs are installed: no test, benchmark or example executables.
  bins=$(find "$prefix/bin" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')
  if [[ $bins != "orvex orvex-sim " ]]; then
    echo "bin/ holds: $bins"
    return 1
  fi
  local page
  for page in "$prefix"/share/man/man1/orvex.1* "$prefix"/share/man/man1/orvex-sim.1*; do
    [[ -f $page ]]
    if command -v groff >/dev/null; then
      # Warnings (-ww) go to stderr; a page that formats with any fails.
      [[ -z $( (zcat -f "$page" | groff -man -ww -z) 2>&1) ]]
    fi
  done
  grep -qx "prefix=$prefix" "$lib/pkgconfig/orvex.pc"
  echo "result: $(cd "$prefix" && find . -type f | wc -l) files under the prefix"
}

# README's order for a first hour: `make demo` builds only the library and the two programs, then
# `cmake --install build --prefix ~/.local`. A fresh build of just those targets must install.
stage_install_after_demo() {
  local demo_build=$work/demo-build demo_prefix=$work/demo-prefix
  cmake -S "$source_dir" -B "$demo_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$demo_build" -j "$(nproc 2>/dev/null || echo 2)" --target ORVEX_DLL orvex orvex-sim
  cmake --install "$demo_build" --prefix "$demo_prefix"
  [[ -x $demo_prefix/bin/orvex && -x $demo_prefix/bin/orvex-sim ]]
  ls "$demo_prefix"/share/man/man1/orvex.1* "$demo_prefix"/share/man/man1/orvex-sim.1*
  echo "result: $(cd "$demo_prefix" && find . -type f | wc -l) files under the prefix"
}

stage_find_package() {
  build_cmake_consumer "$prefix" "$work/consumer-cmake"
  expect_resolved "$work/consumer-cmake/orvex_consumer" "$(library_dir "$prefix")"
  start_sim "$prefix/bin/orvex-sim"
  local output
  output=$(env -u LD_LIBRARY_PATH "$work/consumer-cmake/orvex_consumer" "$port")
  echo "$output"
  [[ $output = "position 4000" ]]
  echo "result: $output"
}

stage_version_refused() {
  # The package serves 1.x requests; a program that needs 2.0 must not configure against it.
  if cmake -S "$source_dir/tests/consumer/cmake" -B "$work/consumer-v2" \
      -DCMAKE_PREFIX_PATH="$prefix" -DORVEX_CONSUMER_WANTS=2.0 >"$work/v2.log" 2>&1; then
    echo "find_package(orvex 2.0) accepted version 1"
    return 1
  fi
  # Refused for its version, not for want of a package.
  grep -q "$prefix/lib/cmake/orvex/orvexConfig.cmake, version: 1.0.0" "$work/v2.log" ||
    { cat "$work/v2.log"; return 1; }
  echo "result: find_package(orvex 2.0) refused"
}

stage_pkg_config() {
  local pc=(env PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config)
  [[ $("${pc[@]}" --modversion orvex) = 1.0.0 ]]
  "${pc[@]}" --exists 'orvex >= 1.0'
  local flags
  flags=$("${pc[@]}" --cflags --libs orvex)
  echo "pkg-config: $flags"
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c99 -Wall -Wextra -pedantic -Werror "$source_dir/tests/consumer/pkgconfig/main.c" \
    -o "$work/orvex_pc_consumer" $flags
  start_sim "$prefix/bin/orvex-sim"
  local output
  output=$(LD_LIBRARY_PATH=$(library_dir "$prefix") "$work/orvex_pc_consumer" "$port")
  echo "$output"
  [[ $output = "position -1500" ]]
  echo "result: $output"
}

stage_package() {
  make -C "$source_dir" package BUILD="$build" | tee "$work/package.log"
  local deb
  deb=$(sed -n 's/^package: //p' "$work/package.log" | tail -n 1)
  [[ -f $deb ]]
  echo "$deb" >"$work/deb-path"
  dpkg-deb -I "$deb"
  local depends contents
  depends=$(dpkg-deb -f "$deb" Depends)
  local needed names
  names=" $(sed 's/ *([^)]*)//g; s/,/ /g' <<<"$depends") "
  for needed in libc6 libstdc++6 libgcc-s1; do
    [[ $names = *" $needed "* ]] || { echo "Depends lacks $needed: $depends"; return 1; }
  done
  contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
  echo "$contents"
  local path
  for path in ./usr/bin/orvex ./usr/bin/orvex-sim ./usr/include/orvex.h \
      '/libORVEX_DLL.so.1.0.0$' '/cmake/orvex/orvexConfig.cmake$' '/cmake/orvex/orvexTargets.cmake$' \
      '/pkgconfig/orvex.pc$' '/man1/orvex.1' '/man1/orvex-sim.1' \
      '/python3/dist-packages/orvex/canbus.py$' '/python3/dist-packages/orvex-1.0.0.dist-info/entry_points.txt$'; do
    grep -q -- "$path" <<<"$contents" || { echo "the package lacks $path"; return 1; }
  done
  [[ $(grep -c '^\./usr/bin/.' <<<"$contents") = 2 ]] || { echo "unexpected programs in usr/bin"; return 1; }
  echo "result: $(basename "$deb"), Depends: $depends"
}

stage_package_programs() {
  local deb
  deb=$(cat "$work/deb-path")
  dpkg-deb -x "$deb" "$deb_root"
  local lib
  lib=$(library_dir "$deb_root")
  grep -qx 'prefix=/usr' "$lib/pkgconfig/orvex.pc"
  # Stripping for the package must leave the export table whole.
  bash "$source_dir/tests/library/check_exports.sh" "$lib/libORVEX_DLL.so.1" "$deb_root/usr/include/orvex.h"
  LD_LIBRARY_PATH=$lib expect_loaded_by_orvex "$deb_root/usr/bin/orvex" "$lib"
  start_sim "$deb_root/usr/bin/orvex-sim"
  LD_LIBRARY_PATH=$lib "$deb_root/usr/bin/orvex" --device "$port" --node 2 status
  LD_LIBRARY_PATH=$lib "$deb_root/usr/bin/orvex" --device "$port" version
  echo "result: the package's orvex status against its orvex-sim exited 0"
}

stage_package_consumer() {
  build_cmake_consumer "$deb_root/usr" "$work/consumer-deb"
  expect_resolved "$work/consumer-deb/orvex_consumer" "$(library_dir "$deb_root")"
  start_sim "$deb_root/usr/bin/orvex-sim"
  local output
  output=$(env -u LD_LIBRARY_PATH "$work/consumer-deb/orvex_consumer" "$port")
  echo "$output"
  [[ $output = "position 4000" ]]
  echo "result: $output"
}

stage_package_python_can() {
  if ! /usr/bin/python3 -c 'import can, serial' 2>/dev/null; then
    echo "result: skipped, /usr/bin/python3 lacks python-can or pyserial (python3-can, python3-serial)"
    return 0
  fi
  start_sim "$deb_root/usr/bin/orvex-sim" --heartbeat-ms 20
  # Only the package's files on the path: python-can finds the interface by its entry point.
  (cd "$work" && PYTHONPATH=$deb_root/usr/lib/python3/dist-packages /usr/bin/python3 - "$port" "$deb_root" <<'EOF'
import sys, can, orvex.canbus
assert orvex.canbus.__file__.startswith(sys.argv[2]), orvex.canbus.__file__
with can.Bus(interface="orvex", channel=sys.argv[1]) as bus:
    heartbeat = bus.recv(2)
    assert heartbeat is not None and heartbeat.arbitration_id in (0x701, 0x702), heartbeat
    print("result: can.Bus(interface=\"orvex\") from the package received 0x%03X" % heartbeat.arbitration_id)
EOF
  )
}

echo "consumer tests of $build (work directory $work)"
run_stage "install into a prefix (layout, soname, exports, man pages)" stage_install
run_stage "install after building only what make demo builds" stage_install_after_demo
run_stage "find_package(orvex) consumer against the prefix" stage_find_package
run_stage "find_package(orvex 2.0) refused" stage_version_refused
run_stage "pkg-config consumer against the prefix" stage_pkg_config
run_stage "make package (Debian package contents and Depends)" stage_package
run_stage "package's orvex against package's orvex-sim" stage_package_programs
run_stage "find_package(orvex) consumer against the package's files" stage_package_consumer
run_stage "python-can finds the package's interface" stage_package_python_can
echo "$passed passed, $failed failed"
((failed == 0))
