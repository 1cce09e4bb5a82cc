#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The Python package against the C++ client library, on ONE agent.
# usage: bench/python_vs_client.sh AGENT_BINARY [CLIENT_BENCH]
#   CLIENT_BENCH defaults to bench/client_bench in the agent's build folder;
#   the package is the one of that build folder (<build>/python), run by
#   PYTHON (default /usr/bin/python3).
# Builds bin/noop_task.so from a copy of the perf folder (PERF, default
# ../shared/perf beside the repository), starts one agent with a private
# kelvra.INI (free loopback ports, bind_ip=127.0.0.1, coordinator_ip=127.0.0.1,
# allowDiscardCoordinatorIp=0, suspend_timeout=0, private XDG folders) and a
# coordinator sink, then RUNS (3) times, the order flipping each time:
#   no-op: N_PIPE (20000) tasks, client_bench pipelined then grid.map
#   echo:  ECHO_N (128) tasks of 1 MiB, client_bench echo then grid.map
# Prints every run's line, the medians and the ratios Python / C++ (the aim:
# at least 0.5 for no-op tasks, 0.8 for the echo). Every run is bounded
# (RUN_TIMEOUT, 120 s); every process started here is stopped by its PID.
set -u
if [ $# -lt 1 ]; then sed -n '3,17p' "$0"; exit 1; fi
AGENT=$(realpath "$1") || exit 1
BUILD=$(dirname "$AGENT")
CLIENT=$(realpath "${2:-$BUILD/bench/client_bench}") || exit 1
[ -x "$AGENT" ] && [ -x "$CLIENT" ] || { echo "not executable: $AGENT or $CLIENT" >&2; exit 1; }
[ -d "$BUILD/python/kelvra" ] || { echo "no Python package in $BUILD/python (build kelvra_python)" >&2; exit 1; }
PYTHON=${PYTHON:-/usr/bin/python3}
PERF=${PERF:-$(cd "$(dirname "$0")/../.." && pwd)/shared/perf}
RUNS=${RUNS:-3}
N_PIPE=${N_PIPE:-20000}
ECHO_N=${ECHO_N:-128}
PY_BENCH=$(realpath "$(dirname "$0")/python_bench.py")
source "$(dirname "$0")/agent_load_lib.sh"
perf_build
pick_ports
start_coordinator_sink
start_agent agent ""

client_pipe() { run client_pipe "$CLIENT" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP"; }
python_pipe() { run python_pipe env PYTHONPATH="$BUILD/python" "$PYTHON" "$PY_BENCH" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP"; }
client_echo() { run client_echo "$CLIENT" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP"; }
python_echo() { run python_echo env PYTHONPATH="$BUILD/python" "$PYTHON" "$PY_BENCH" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP"; }
for ((r = 1; r <= RUNS; r++)); do
  if ((r % 2)); then client_pipe; python_pipe; client_echo; python_echo
  else python_pipe; client_pipe; python_echo; client_echo; fi
done

echo
compare "no-op (aim 0.5)" tasks/s tasks_per_s client_pipe "C++ client" python_pipe "Python map"
compare "echo 1 MiB (0.8)" MB/s MBps client_echo "C++ client" python_echo "Python map"
if [ "$FAILS" -gt 0 ]; then echo "$FAILS run(s) failed" >&2; exit 1; fi
