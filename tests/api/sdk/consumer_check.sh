#!/usr/bin/env bash
# Installs the SDK component into a temporary prefix, builds a program with nothing but
# pkg-config's flags for halvexcam, and runs it against two simulated cameras.
#   consumer_check.sh <build dir> <program source>
set -euo pipefail
build_dir=$1
source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build_dir" --prefix "$tmp/prefix" --component sdk >/dev/null
pc=$(find "$tmp/prefix" -name halvexcam.pc -print -quit)
[ -n "$pc" ] || { echo "no halvexcam.pc installed"; exit 1; }
find "$tmp/prefix" -name 70-halvex-camera.rules | grep -q . || { echo "no udev rule"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
c++ -std=c++17 -Wall -Wextra -Werror -o "$tmp/list_cameras" "$source" \
    $(pkg-config --cflags --libs halvexcam)
out=$(HALVEX_NO_USB=1 HALVEX_SIMULATE=VAh200C1,0xA00A \
      LD_LIBRARY_PATH=$(pkg-config --variable=libdir halvexcam) "$tmp/list_cameras")
echo "$out"
grep -q '^arrived VAh200C1\.' <<<"$out"
grep -q '^arrived VSh035M1\.' <<<"$out"
grep -q '^version 4\.0\.0\.0$' <<<"$out"
grep -q '^frame 1 of V[A-Za-z0-9]*$' <<<"$out"
[ "$(grep -c '^V' <<<"$out")" -eq 2 ]
