#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The client library against the perf yardstick's load client, on ONE agent.
# usage: bench/client_vs_load.sh AGENT_BINARY [CLIENT_BENCH]
#   CLIENT_BENCH defaults to bench/client_bench in the agent's build folder.
# Builds bin/kelvra_load and bin/noop_task.so from a copy of the perf folder
# (PERF, default ../shared/perf beside the repository), starts one agent with a private
# kelvra.INI (free loopback ports, bind_ip=127.0.0.1, coordinator_ip=127.0.0.1,
# allowDiscardCoordinatorIp=0, suspend_timeout=0, private XDG folders) and a
# coordinator sink, then RUNS (3) times, the order flipping each time:
#   pipelined no-op: N_PIPE (20000) tasks, kelvra_load then client_bench
#   echo:            ECHO_N (128) tasks of 1 MiB, kelvra_load then client_bench
# CLIENT_ARGS are passed on to client_bench (e.g. "--per-thread 1000").
# Prints every run's line, the medians and the ratios library / load client
# (the aim: at least 0.8 for both). Every run is bounded (RUN_TIMEOUT, 120 s);
# every process started here is stopped by its PID.
set -u
if [ $# -lt 1 ]; then sed -n '2,14p' "$0"; exit 1; fi
AGENT=$(realpath "$1") || exit 1
CLIENT=$(realpath "${2:-$(dirname "$AGENT")/bench/client_bench}") || exit 1
[ -x "$AGENT" ] && [ -x "$CLIENT" ] || { echo "not executable: $AGENT or $CLIENT" >&2; exit 1; }
PERF=${PERF:-$(cd "$(dirname "$0")/../.." && pwd)/shared/perf}
RUNS=${RUNS:-3}
N_PIPE=${N_PIPE:-20000}
ECHO_N=${ECHO_N:-128}
source "$(dirname "$0")/agent_load_lib.sh"
perf_build
pick_ports
start_coordinator_sink
start_agent agent ""

load_pipe()   { run load_pipe "$LOAD" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"; }
client_pipe() { run client_pipe "$CLIENT" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP" ${CLIENT_ARGS:-}; }
load_echo()   { run load_echo "$LOAD" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"; }
client_echo() { run client_echo "$CLIENT" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP" ${CLIENT_ARGS:-}; }
for ((r = 1; r <= RUNS; r++)); do
  if ((r % 2)); then load_pipe; client_pipe; load_echo; client_echo
  else client_pipe; load_pipe; client_echo; load_echo; fi
done

echo
compare "pipelined no-op" tasks/s tasks_per_s load_pipe "load client" client_pipe library
compare "echo 1 MiB" MB/s MBps load_echo "load client" client_echo library
if [ "$FAILS" -gt 0 ]; then echo "$FAILS run(s) failed" >&2; exit 1; fi
