#!/bin/bash
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
RUN_TIMEOUT=${RUN_TIMEOUT:-120}

TMP=$(mktemp -d /tmp/kelvra_client_bench.XXXXXX)
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
  if [ "${KEEP_TMP:-0}" = 1 ]; then echo "temp folder kept: $TMP" >&2; else rm -rf "$TMP"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp -r "$PERF" "$TMP/perf" && chmod -R u+w "$TMP/perf" || exit 1
make -s -C "$TMP/perf" bin/kelvra_load bin/noop_task.so >/dev/null || { echo "cannot build kelvra_load" >&2; exit 1; }
LOAD=$TMP/perf/bin/kelvra_load
LIB=$TMP/perf/bin/noop_task.so

read -r LP DP CP AB CB <<< "$(python3 -c '
import socket
ports, keep = [], []
while len(ports) < 5:
    t = socket.socket(); t.bind(("", 0)); p = t.getsockname()[1]
    try:
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("", p)); u.close()
    except OSError:
        t.close(); continue
    keep.append(t); ports.append(p)
print(*ports)')"
[ -n "$CB" ] || { echo "could not pick free ports" >&2; exit 1; }
mkdir -p "$TMP/data" && mkdir -m 700 "$TMP/run"
cat > "$TMP/kelvra.INI" <<INI
[agent]
bind_ip=127.0.0.1
bind_port=$LP
broadcast_port=$AB
enableDebugOutput=0
suspend_timeout=0
[coordinator]
coordinator_ip=127.0.0.1
allowDiscardCoordinatorIp=0
bind_port=$CP
broadcast_port=$CB
[user]
data_port=$DP
INI
"$LOAD" coord --port "$CP" --timeout 3600 > "$TMP/coord.out" 2>&1 &
PIDS+=($!)
env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$TMP/data" XDG_RUNTIME_DIR="$TMP/run" \
  "$AGENT" --headless --config "$TMP/kelvra.INI" < /dev/null > "$TMP/agent.out" 2> "$TMP/agent.err" &
AP=$!
PIDS=("$AP" "${PIDS[@]}")
listening() { grep -qE "^ *[0-9]+: [0-9A-F]{8}:$(printf '%04X' "$1") [0-9A-F]{8}:0000 0A " /proc/net/tcp 2>/dev/null; }
for ((i = 0; i < 400; i++)); do listening "$LP" && break; alive "$AP" || break; sleep 0.05; done
listening "$LP" || { echo "the agent does not listen on 127.0.0.1:$LP" >&2; tail -c 2000 "$TMP/agent.err" >&2; exit 1; }

FAILS=0
run() {  # NAME COMMAND...: one bounded run; its key=value line goes to the raw file
  local name=$1 out; shift
  if out=$(timeout $((RUN_TIMEOUT + 10)) "$@" 2> "$TMP/err") && [ -n "$out" ]; then
    echo "$name $out" | tee -a "$TMP/raw"
  else
    FAILS=$((FAILS + 1))
    echo "$name ERROR $(tr '\n' ' ' < "$TMP/err" | cut -c1-400)" | tee -a "$TMP/raw"
  fi
}
load_pipe()   { run load_pipe "$LOAD" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"; }
client_pipe() { run client_pipe "$CLIENT" pipelined -n "$N_PIPE" --lib "$LIB" --lobby "$LP" --data "$DP" ${CLIENT_ARGS:-}; }
load_echo()   { run load_echo "$LOAD" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP" --timeout "$RUN_TIMEOUT"; }
client_echo() { run client_echo "$CLIENT" echo --size 1048576 -n "$ECHO_N" --lib "$LIB" --lobby "$LP" --data "$DP" ${CLIENT_ARGS:-}; }
for ((r = 1; r <= RUNS; r++)); do
  if ((r % 2)); then load_pipe; client_pipe; load_echo; client_echo
  else client_pipe; load_pipe; client_echo; load_echo; fi
done

median() {  # NAME KEY: the median of KEY over the lines of NAME
  grep "^$1 " "$TMP/raw" | grep -v ERROR | grep -oE " $2=[0-9.]+" | cut -d= -f2 | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
LP_RATE=$(median load_pipe tasks_per_s); CP_RATE=$(median client_pipe tasks_per_s)
LE_RATE=$(median load_echo MBps); CE_RATE=$(median client_echo MBps)
echo
printf 'pipelined no-op  load client %8.0f tasks/s  library %8.0f tasks/s  ratio %.2f\n' "$LP_RATE" "$CP_RATE" \
  "$(awk -v a="$CP_RATE" -v b="$LP_RATE" 'BEGIN { print (b > 0 ? a / b : 0) }')"
printf 'echo 1 MiB       load client %8.1f MB/s     library %8.1f MB/s     ratio %.2f\n' "$LE_RATE" "$CE_RATE" \
  "$(awk -v a="$CE_RATE" -v b="$LE_RATE" 'BEGIN { print (b > 0 ? a / b : 0) }')"
if [ "$FAILS" -gt 0 ]; then echo "$FAILS run(s) failed" >&2; exit 1; fi
