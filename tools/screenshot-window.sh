#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Takes a picture of the status window, as a real agent fills it, under a
# virtual X server (Debian's xvfb) and writes it to docs/window.png.
#   tools/screenshot-window.sh [OUTPUT.png]
# The agent runs on loopback only: its coordinator is 127.0.0.1 and kept,
# so it never broadcasts, and its ports are chosen by the system.
set -euo pipefail
cd "$(dirname "$0")/.."
output=$(realpath -m "${1:-docs/window.png}")

tools/install-deps.sh
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
cmake -S . -B build/shot -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF >/dev/null
cmake --build build/shot --target kelvra-window-shot -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/kelvra.INI" <<'INI'
[agent]
isolation=thread
bind_port=0
broadcast_port=0
suspend_timeout=0
[coordinator]
coordinator_ip=127.0.0.1
allowDiscardCoordinatorIp=0
INI
mkdir -p "$(dirname "$output")" "$work/data" "$work/run"
chmod 700 "$work/run"
XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" build/shot/tools/kelvra-window-shot "$output" "$work/kelvra.INI"
echo "Wrote $output"
