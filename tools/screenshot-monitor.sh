#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Takes a picture of kelvra-monitor's page as real agents fill it, with
# headless Chromium, and writes it to docs/monitor.png.
#   tools/screenshot-monitor.sh [OUTPUT.png]
# KELVRA_BUILD=DIR takes the programs from an existing build tree (with the
# tests) instead of making a Release build in build/shot.
# Everything runs on loopback: the monitor on 127.0.0.1, three agents on
# 127.0.0.2-4 (their coordinator is the monitor, kept, so they never
# broadcast), ports chosen free. The agents idle, then run a few hundred
# tasks of the pi example (taken from the monitor with kelvra-submit
# --monitor), then one is stopped, so the page shows load and a lost agent.
# Takes about three minutes. SHOT_TASKS (900) sets the first burst of tasks
# (the second is half of it): fewer on a machine busy with other work.
set -euo pipefail
cd "$(dirname "$0")/.."
output=$(realpath -m "${1:-docs/monitor.png}")

tools/install-deps.sh --tests
command -v chromium >/dev/null || { echo "chromium is missing (apt-get install chromium)" >&2; exit 1; }
build=${KELVRA_BUILD:-build/shot}
[[ -n "${KELVRA_BUILD:-}" ]] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_GUI=OFF >/dev/null
cmake --build "$build" --target kelvra-agent kelvra-monitor kelvra-submit example_pi -j2

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
status_port=$(free_port)
http_port=$(free_port)
lobby_port=$(free_port)
data_port=$(free_port)

cat >"$work/monitor.INI" <<INI
[coordinator]
bind_port=$status_port
broadcast_port=0
[agent]
bind_port=$lobby_port
[monitor]
bind_ip=127.0.0.1
http_port=$http_port
answer_discovery=0
INI
"$build"/kelvra-monitor --config "$work/monitor.INI" >"$work/monitor.log" 2>&1 &
pids+=($!)

for n in 2 3 4; do
  dir="$work/agent$n"
  mkdir -p "$dir/data" "$dir/state" "$dir/run"
  chmod 700 "$dir/run"
  cat >"$dir/kelvra.INI" <<INI
[agent]
bind_ip=127.0.0.$n
bind_port=$lobby_port
broadcast_port=0
suspend_timeout=0
[coordinator]
coordinator_ip=127.0.0.1
allowDiscardCoordinatorIp=0
bind_port=$status_port
[user]
data_port=$data_port
INI
  HOME="$dir" XDG_DATA_HOME="$dir/data" XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/run" \
    "$build"/kelvra-agent --headless --config "$dir/kelvra.INI" >"$dir/log" 2>&1 &
  pids+=($!)
done

monitor="127.0.0.1:$http_port"
for _ in $(seq 1 60); do
  [[ $("$build"/kelvra-monitor --status "$monitor" 2>/dev/null | grep -c " ago ") -eq 3 ]] && break
  sleep 1
done
"$build"/kelvra-monitor --status "$monitor"

# Two bursts of tasks (pi to 60 million samples each) with a pause between.
run_tasks() {
  seq 1 "$1" | sed 's/$/ 60000000/' |
    timeout 150 "$build"/kelvra-submit --monitor "$monitor" --data-port "$data_port" \
      --library "$build"/tests/tasklibs/libexample_pi.so --procedure EstimatePi - >/dev/null
}
echo "Idle for 30 s, then tasks on every agent the monitor lists"
sleep 30
run_tasks "${SHOT_TASKS:-900}"
sleep 20
run_tasks $((${SHOT_TASKS:-900} / 2))
sleep 10
kill "${pids[3]}"  # the agent on 127.0.0.4 goes away
sleep 15
"$build"/kelvra-monitor --status "$monitor"

mkdir -p "$(dirname "$output")"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
  --window-size=1200,700 --virtual-time-budget=5000 --screenshot="$output" "http://$monitor/" 2>/dev/null
echo "Wrote $output"
