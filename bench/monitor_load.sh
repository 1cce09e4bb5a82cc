#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# kelvra-monitor under many agents: for each N (default 1000 5000 15000), a
# fresh monitor on 127.0.0.1 and N simulated agents from the perf yardstick
# (monitor_load.py: each agent its own loopback address 127.1.x.y and up, one
# UPDATE_STATUS every 1.2 s) for SECONDS (60). Beyond 7,500 agents the
# simulator runs in copies side by side (the open-files limit is per
# process). During the load, every 10 s, /agents.json (whole), one page of
# it and /metrics are fetched and timed; near the end the monitor's own
# counts say how many agents are up and lost.
# usage: bench/monitor_load.sh MONITOR_BINARY [N...]
# Prints one line per N: agents connected and failed, reports/s, the
# monitor's CPU (% of one core), peak RSS and threads (from the simulator),
# agents up and lost, and the slowest answer of each path with its size.
# Aims: every agent connected, none lost, CPU <= 50 %, RSS <= 200 MiB, each
# answer within 1 s. Use a Release build. PERF: the perf folder (default
# ../shared/perf beside the repository). Loopback only; every process started
# here is stopped by its PID; every run bounded.
#
# Measured on 2026-12-08, Release build, 2 shared cores (another branch's CI
# building and testing beside it: load average 2.8 for 1,000 and 5,000, 4.6
# for 15,000, from 14:00 UTC), 60 s each, slowest of five fetches:
#   agents  connected  up/lost  CPU    peak RSS  threads  agents.json      page     metrics
#   1,000   1,000      1000/0   2.6 %  8.3 MiB   3        0.008 s/0.5 MB   0.003 s  0.010 s/0.7 MB
#   5,000   5,000      5000/0   9.1 %  25.5 MiB  3        0.036 s/2.8 MB   0.015 s  0.043 s/3.5 MB
#   15,000  15,000     15000/0  18.0 % 61.6 MiB  3        0.209 s/6.2 MB   0.085 s  0.202 s/10.7 MB
# (12,430 reports/s at 15,000; none refused, none lost.)
set -u
if [ $# -lt 1 ]; then sed -n '2,18p' "$0"; exit 1; fi
MONITOR=$(realpath "$1") || exit 1
shift
[ -x "$MONITOR" ] || { echo "not executable: $MONITOR" >&2; exit 1; }
PERF=${PERF:-$(cd "$(dirname "$0")/../.." && pwd)/shared/perf}
SIM="$PERF/monitor_load.py"
[ -f "$SIM" ] || { echo "no simulator at $SIM (set PERF)" >&2; exit 1; }
SECONDS_RUN=${SECONDS_RUN:-60}
PER_COPY=7500
COUNTS=("$@")
[ ${#COUNTS[@]} -gt 0 ] || COUNTS=(1000 5000 15000)

TMP=$(mktemp -d /tmp/kelvra_monitor_bench.XXXXXX)
PIDS=()
alive() { [ -e "/proc/$1" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)" != Z ]; }
stop_pid() {
  local p=$1 i
  if alive "$p"; then
    kill -TERM "$p" 2>/dev/null
    for ((i = 0; i < 200; i++)); do alive "$p" || break; sleep 0.05; done
    alive "$p" && kill -KILL "$p" 2>/dev/null
  fi
  wait "$p" 2>/dev/null
}
cleanup() {
  local p
  for p in "${PIDS[@]}"; do stop_pid "$p"; done
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The slowest of the timed fetches of one path: "seconds bytes".
slowest() { sort -n "$1" | tail -1; }

run_one() {
  local n=$1 status_port http_port monitor_pid sims=() copies first i t
  status_port=$(free_port)
  http_port=$(free_port)
  cat >"$TMP/monitor.INI" <<INI
[coordinator]
bind_port=$status_port
broadcast_port=0
[monitor]
bind_ip=127.0.0.1
http_bind_ip=127.0.0.1
http_port=$http_port
answer_discovery=0
INI
  "$MONITOR" --config "$TMP/monitor.INI" >"$TMP/monitor.out" 2>"$TMP/monitor.err" &
  monitor_pid=$!
  PIDS+=("$monitor_pid")
  for ((i = 0; i < 100; i++)); do grep -qs "web page" "$TMP/monitor.out" && break; sleep 0.1; done
  local base="http://127.0.0.1:$http_port"
  : >"$TMP/json.t"; : >"$TMP/page.t"; : >"$TMP/metrics.t"
  copies=$(((n + PER_COPY - 1) / PER_COPY))
  for ((i = 0; i < copies; i++)); do
    first=$((i * PER_COPY))
    local count=$((n - first < PER_COPY ? n - first : PER_COPY))
    FIRST=$first timeout $((SECONDS_RUN + 120)) python3 "$SIM" "$monitor_pid" "$status_port" "$count" "$SECONDS_RUN" \
      >"$TMP/sim$i.out" 2>&1 &
    sims+=($!)
    PIDS+=($!)
  done
  # Timed fetches while the agents report, then the counts near the end.
  for ((t = 10; t < SECONDS_RUN; t += 10)); do
    sleep 10
    curl -s -m 30 -o "$TMP/json" -w '%{time_total} %{size_download}\n' "$base/agents.json" >>"$TMP/json.t"
    curl -s -m 30 -o /dev/null -w '%{time_total} %{size_download}\n' \
      "$base/agents.json?sort=load&order=desc&limit=50" >>"$TMP/page.t"
    curl -s -m 30 -o /dev/null -w '%{time_total} %{size_download}\n' "$base/metrics" >>"$TMP/metrics.t"
  done
  local counts
  counts=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print("up=%d lost=%d" % (d["agents_up"], d["agents_known"]-d["agents_up"]))' "$TMP/json")
  for i in "${sims[@]}"; do wait "$i"; done
  stop_pid "$monitor_pid"
  local connected=0 failed=0 line
  for ((i = 0; i < copies; i++)); do
    line=$(grep '^agents=' "$TMP/sim$i.out")
    [ -n "$line" ] || { echo "simulator $i: $(tail -3 "$TMP/sim$i.out")" >&2; continue; }
    echo "  copy $i: $line"
    connected=$((connected + $(sed 's/.* connected=\([0-9]*\).*/\1/' <<<"$line")))
    failed=$((failed + $(sed 's/.* failed=\([0-9]*\).*/\1/' <<<"$line")))
  done
  read -r json_s json_b < <(slowest "$TMP/json.t")
  read -r page_s page_b < <(slowest "$TMP/page.t")
  read -r metrics_s metrics_b < <(slowest "$TMP/metrics.t")
  echo "agents=$n connected=$connected failed=$failed $counts" \
    "agents.json=${json_s}s/${json_b}B page=${page_s}s/${page_b}B metrics=${metrics_s}s/${metrics_b}B"
}

echo "kelvra-monitor $("$MONITOR" --version | cut -d' ' -f2) under simulated agents, ${SECONDS_RUN} s each; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for n in "${COUNTS[@]}"; do run_one "$n"; done
