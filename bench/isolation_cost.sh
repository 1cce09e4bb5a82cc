#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# What sessions in processes of their own cost against sessions in the
# agent's threads, on one agent build, with the perf yardstick's load client.
# usage: bench/isolation_cost.sh AGENT_BINARY
# RUNS (3) times, the order of the two modes flipping each time, a fresh
# agent per mode and run ([agent] isolation=process, then =thread):
#   pipelined no-op  N_PIPE (20000) tasks in one session: tasks/s
#   latency          LAT_N (5000) single tasks one after another: p50 us
#   echo 1 MiB       ECHO_N (128) tasks: MB/s
# and, for each, the CPU of the agent and every session process together per
# task (utime+stime of the agent and of its reaped children, from
# /proc/PID/stat, around the run; the session process has ended and been
# reaped when the load client's run returns). Prints the medians and the
# ratios process / thread (aims: tasks/s >= 0.95, CPU per task <= 1.1, echo
# unchanged within noise). Builds the load client from a copy of the perf
# folder (PERF, default ../shared/perf beside the repository); loopback
# only; every run bounded (RUN_TIMEOUT, 120 s); every process started here
# is stopped by its PID.
set -u
if [ $# -lt 1 ]; then sed -n '2,18p' "$0"; exit 1; fi
AGENT=$(realpath "$1") || exit 1
[ -x "$AGENT" ] || { echo "not executable: $AGENT" >&2; exit 1; }
PERF=${PERF:-$(cd "$(dirname "$0")/../.." && pwd)/shared/perf}
RUNS=${RUNS:-3}
N_PIPE=${N_PIPE:-20000}
LAT_N=${LAT_N:-5000}
ECHO_N=${ECHO_N:-128}
source "$(dirname "$0")/agent_load_lib.sh"
perf_build
pick_ports
start_coordinator_sink

# Clock ticks of the agent and its reaped children.
ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'; }
measured() {  # MODE NAME TASKS COMMAND...: one run, with cpu_us_per_task added
  local mode=$1 name=$2 tasks=$3 before after; shift 3
  before=$(ticks "$AGENT_PID")
  run "$mode.$name" "$@"
  sleep 0.5
  after=$(ticks "$AGENT_PID")
  sed -i "\$s/\$/ all_cpu_us_per_task=$(awk -v t=$((after - before)) -v n="$tasks" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.2f", t * 1e6 / hz / n }')/" "$TMP/raw"
}
one_mode() {  # MODE
  start_agent "$1$r" "isolation=$1
"
  measured "$1" pipe "$N_PIPE" "$LOAD" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"
  measured "$1" lat "$LAT_N" "$LOAD" latency -n "$LAT_N" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"
  measured "$1" echo "$ECHO_N" "$LOAD" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"
  stop_pid "$AGENT_PID"
}
for ((r = 1; r <= RUNS; r++)); do
  if ((r % 2)); then one_mode process; one_mode thread; else one_mode thread; one_mode process; fi
done

echo
printf '%-28s %12s %12s %8s\n' "" process thread ratio
row() {  # LABEL NAME KEY
  local p t
  p=$(median "process.$2" "$3"); t=$(median "thread.$2" "$3")
  printf '%-28s %12.2f %12.2f %8.3f\n' "$1" "$p" "$t" "$(ratio "$p" "$t")"
}
row "pipelined tasks/s" pipe tasks_per_s
row "pipelined CPU us/task (all)" pipe all_cpu_us_per_task
row "latency p50 us" lat p50_us
row "latency CPU us/task (all)" lat all_cpu_us_per_task
row "echo 1 MiB MB/s" echo MBps
row "echo CPU us/task (all)" echo all_cpu_us_per_task
if [ "$FAILS" -gt 0 ]; then echo "$FAILS run(s) failed" >&2; exit 1; fi
