#!/usr/bin/env bash
# Installs the package from a build tree into a fresh prefix, builds the
# minimal host of examples/ against it with find_package(orvanta), and runs
# it on the example scenario for 12 seconds of the real clock.
#   install_test.sh <build dir> <source dir>
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$src/examples/minimal_host" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  "${launcher[@]}" >/dev/null
cmake --build "$work/build" >/dev/null
# Its output and its log are shown whatever happens, so that a failure can
# be read in the test's output.
status=0
out=$("$work/build/minimal_host" "$src/examples/scenario.json" 12 2>"$work/log.txt") || status=$?
echo "$out"
tail -n 40 "$work/log.txt"
if [ "$status" -ne 0 ]; then
  echo "install_test.sh: minimal_host ended with status $status" >&2
  exit 1
fi
grep -q '产品交流群 | A001: 今天发布新版本' <<<"$out"
grep -q 'sent [1-9][0-9]* message(s)' <<<"$out"
# The store lies beside the installed conductor library.
test -f "$work/prefix/lib/wxChat.db"
