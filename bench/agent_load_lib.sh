# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmark scripts that drive a real agent with the perf
# yardstick's load client (../shared/perf). Every process started here is
# stopped by its PID when the script ends; every run is bounded.
#   perf_build              copies PERF and builds bin/kelvra_load and bin/noop_task.so: LOAD, LIB
#   pick_ports              LP DP CP AB CB: free loopback ports (TCP and UDP)
#   start_agent NAME EXTRA  an agent with private folders and loopback-only
#                           settings ([agent] EXTRA lines added); its PID in AGENT_PID
#   run NAME COMMAND...     one bounded run; its key=value line goes to $TMP/raw
#   median NAME KEY         the median of KEY over the lines of NAME
#   compare TITLE UNIT KEY BASE BASE_LABEL NAME LABEL
#                           one line: both medians of KEY and the ratio NAME / BASE
RUN_TIMEOUT=${RUN_TIMEOUT:-120}
TMP=$(mktemp -d /tmp/kelvra_bench.XXXXXX)
PIDS=()
FAILS=0
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

perf_build() {
  cp -r "$PERF" "$TMP/perf" && chmod -R u+w "$TMP/perf" || exit 1
  make -s -C "$TMP/perf" bin/kelvra_load bin/noop_task.so >/dev/null || { echo "cannot build kelvra_load" >&2; exit 1; }
  LOAD=$TMP/perf/bin/kelvra_load
  LIB=$TMP/perf/bin/noop_task.so
}

pick_ports() {
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
}

listening() { grep -qE "^ *[0-9]+: [0-9A-F]{8}:$(printf '%04X' "$1") [0-9A-F]{8}:0000 0A " /proc/net/tcp 2>/dev/null; }

start_agent() {  # NAME EXTRA: the agent on LP with a coordinator sink on CP
  local name=$1 extra=$2 dir=$TMP/$1 i
  mkdir -p "$dir/data" && mkdir -m 700 "$dir/run"
  cat > "$dir/kelvra.INI" <<INI
[agent]
${extra}bind_ip=127.0.0.1
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
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir/run" \
    "$AGENT" --headless --config "$dir/kelvra.INI" < /dev/null > "$dir/agent.out" 2> "$dir/agent.err" &
  AGENT_PID=$!
  PIDS=("$AGENT_PID" "${PIDS[@]}")
  for ((i = 0; i < 400; i++)); do listening "$LP" && break; alive "$AGENT_PID" || break; sleep 0.05; done
  listening "$LP" || { echo "the agent does not listen on 127.0.0.1:$LP" >&2; tail -c 2000 "$dir/agent.err" >&2; exit 1; }
}

start_coordinator_sink() {
  "$LOAD" coord --port "$CP" --timeout 3600 > "$TMP/coord.out" 2>&1 &
  PIDS+=($!)
}

run() {  # NAME COMMAND...: one bounded run; its key=value line goes to the raw file
  local name=$1 out; shift
  if out=$(timeout $((RUN_TIMEOUT + 10)) "$@" 2> "$TMP/err") && [ -n "$out" ]; then
    echo "$name $out" | tee -a "$TMP/raw"
  else
    FAILS=$((FAILS + 1))
    echo "$name ERROR $(tr '\n' ' ' < "$TMP/err" | cut -c1-400)" | tee -a "$TMP/raw"
  fi
}

median() {  # NAME KEY: the median of KEY over the lines of NAME
  grep "^$1 " "$TMP/raw" | grep -v ERROR | grep -oE " $2=[0-9.]+" | cut -d= -f2 | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > 0 ? a / b : 0) }'; }

compare() {  # TITLE UNIT KEY BASE BASE_LABEL NAME LABEL
  local base value
  base=$(median "$4" "$3"); value=$(median "$6" "$3")
  printf '%-16s %s %8.1f %s  %s %8.1f %s  ratio %.2f\n' "$1" "$5" "$base" "$2" "$7" "$value" "$2" "$(ratio "$value" "$base")"
}
