#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (tools/build-packages.sh), installs them on this
# machine with apt-get, checks that kelvra-agent needs no Qt, and runs the
# INSTALLED programs:
#   - kelvra-monitor starts on free loopback ports (no discovery answers) and
#     kelvra-agent starts (through kelvra-agent-session, with settings of
#     this run) reporting to it; the monitor lists the agent; both stop on
#     SIGTERM with exit status 0;
#   - the installed example pi.c builds against the installed headers
#     (pkg-config kelvra) and runs with kelvra-submit --local, which starts
#     the installed agent; its results are checked line by line;
#   - a program links the installed client library (pkg-config kelvra-client);
#   - the first example of docs/python.md runs as written with the installed
#     package python3-kelvra (and its local agent, the installed one).
#   - man finds every installed manual page (man -w), and every package's
#     copyright file names the Apache License 2.0.
# Every program runs with a private HOME, XDG folders and temporary folder,
# bounded in time. At the end, also on failure, every package the install
# added (the four and whatever they pulled in) is purged again.
#
#   tools/check-packages.sh
#
# Needs root or sudo. Refuses to run when a kelvra package is installed
# already (it would replace and then purge it).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packages=(kelvra-agent kelvra-agent-gui kelvra-dev kelvra-tools python3-kelvra)
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

installed_packages() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort
}
is_installed() { [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]; }

for package in "${packages[@]}"; do
  if is_installed "$package"; then
    fail "$package is installed already; purge it first (apt-get purge ${packages[*]})"
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-packages.XXXXXX")
chmod 0755 "$work"  # apt's sandbox user reads the .deb files from here
declare -A started  # programs this script started and has not stopped: id -> name

# Stops what still runs, then purges every package the install added (what
# is installed now and was not before it).
finish() {
  local status=$? pid added=()
  for pid in "${!started[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  if [[ -e "$work/before" ]]; then
    mapfile -t added < <(installed_packages | comm -13 "$work/before" -)
  fi
  if [[ ${#added[@]} -gt 0 ]]; then
    echo "== purging: ${added[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -q "${added[@]}" >/dev/null ||
      { echo "check-packages: purging failed" >&2; status=1; }
  fi
  rm -rf "$work"
  if [[ "$status" -eq 0 ]]; then echo "check-packages: all checks passed"; fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

echo "== building the packages"
"$repo/tools/build-packages.sh" "$work/debs"

echo "== installing them"
installed_packages >"$work/before"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "$work"/debs/*.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install failed"; }
for package in "${packages[@]}"; do
  is_installed "$package" || fail "$package was not installed"
done
# A server takes the agent without Qt: neither its package nor its program
# needs any.
agent_needs="$(dpkg-query -W -f='${Depends}' kelvra-agent) $(ldd /usr/bin/kelvra-agent)"
if [[ "${agent_needs,,}" == *qt* ]]; then
  fail "kelvra-agent needs Qt: $agent_needs"
fi

# The installed programs run with nothing of this tree or this user: a
# plain PATH and private folders.
mkdir -p "$work"/{home,config,data,state,cache,runtime,tmp,run}
chmod 0700 "$work/runtime"
environment=(HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
             XDG_STATE_HOME="$work/state" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime"
             TMPDIR="$work/tmp" LANG=C.UTF-8 PATH=/usr/bin:/bin)
installed() { env -i "${environment[@]}" "$@"; }

# free_ports NAME...: sets each variable NAME to a port number that no TCP
# or UDP socket uses and no other NAME got.
free_ports() {
  local name port given=" "
  for name in "$@"; do
    for _ in $(seq 1 200); do
      port=$((20000 + RANDOM % 40000))
      [[ "$given" == *" $port "* ]] && continue
      ss -Htuln | awk -v port="$port" '{ n = split($5, a, ":"); if (a[n] == port) taken = 1 } END { exit !taken }' ||
        break
    done
    given+="$port "
    printf -v "$name" '%s' "$port"
  done
}

# start NAME LOG COMMAND...: runs an installed program in the background,
# its output in LOG; its id goes to started[] and to last_pid.
start() {
  local name=$1 log=$2
  shift 2
  env -i "${environment[@]}" "$@" >"$log" 2>&1 </dev/null &
  started[$!]=$name
  last_pid=$!
}

# wait_for SECONDS DESCRIPTION COMMAND...: until COMMAND succeeds.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  for _ in $(seq 1 $((seconds * 5))); do
    if "$@"; then return 0; fi
    sleep 0.2
  done
  fail "$what: not within $seconds s"
}

running() { kill -0 "$1" 2>/dev/null; }
ended() { ! running "$1"; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# up PID PORT LOG: the program PID listens on PORT within 20 s.
up() {
  local pid=$1 port=$2 log=$3
  for _ in $(seq 1 100); do
    listening "$port" && return 0
    running "$pid" || { cat "$log"; fail "${started[$pid]} ended at start"; }
    sleep 0.2
  done
  cat "$log"
  fail "${started[$pid]} did not listen on port $port within 20 s"
}

# stop PID LOG: SIGTERM, then the program must end within 30 s with exit
# status 0.
stop() {
  local pid=$1 log=$2 status=0 name=${started[$1]}
  running "$pid" || { cat "$log"; fail "$name ended before it was stopped"; }
  kill -TERM "$pid"
  wait_for 30 "$name ending after SIGTERM" ended "$pid"
  wait "$pid" || status=$?
  unset "started[$pid]"
  if [[ "$status" -ne 0 ]]; then
    cat "$log"
    fail "$name exited with status $status after SIGTERM"
  fi
  echo "$name stopped with exit status 0"
}

echo "== the installed monitor and agent"
cd "$work/run"
free_ports status_port http_port lobby_port data_port agent_broadcast coordinator_broadcast
cat >"$work/run/monitor.INI" <<EOF
[coordinator]
bind_port=$status_port
broadcast_port=$coordinator_broadcast
[agent]
broadcast_port=$agent_broadcast
bind_port=$lobby_port
[monitor]
bind_ip=127.0.0.1
http_port=$http_port
answer_discovery=0
EOF
# The agent starts through its launcher, as the user unit and the autostart
# entry start it: the launcher takes $XDG_CONFIG_HOME/kelvra/kelvra.INI,
# here the run's own settings.
mkdir -p "$work/config/kelvra"
cat >"$work/config/kelvra/kelvra.INI" <<EOF
[agent]
bind_ip=127.0.0.1
bind_port=$lobby_port
broadcast_port=$agent_broadcast
[coordinator]
coordinator_ip=127.0.0.1
bind_port=$status_port
broadcast_port=$coordinator_broadcast
allowDiscardCoordinatorIp=0
[user]
data_port=$data_port
EOF

start kelvra-monitor "$work/run/monitor.log" /usr/bin/kelvra-monitor --config "$work/run/monitor.INI"
monitor_pid=$last_pid
up "$monitor_pid" "$http_port" "$work/run/monitor.log"
start kelvra-agent "$work/run/agent.log" /usr/bin/kelvra-agent-session --headless
agent_pid=$last_pid
up "$agent_pid" "$lobby_port" "$work/run/agent.log"

# The agent reports to the monitor: kelvra-monitor --status lists it, and
# not as lost.
agent_listed() {
  installed timeout 10 /usr/bin/kelvra-monitor --status "127.0.0.1:$http_port" >"$work/run/status.txt" 2>&1 &&
    awk '/127\.0\.0\.1/ && !/lost/ { found = 1 } END { exit !found }' "$work/run/status.txt"
}
wait_for 20 "the agent in kelvra-monitor --status" agent_listed
sed 's/^/  /' "$work/run/status.txt"

stop "$agent_pid" "$work/run/agent.log"
stop "$monitor_pid" "$work/run/monitor.log"

echo "== the installed example with kelvra-submit --local"
cp -r /usr/share/doc/kelvra-dev/examples "$work/examples"
cd "$work/examples"
read -ra cflags < <(installed pkg-config --cflags kelvra)
installed cc -O2 -shared -fPIC "${cflags[@]}" -o libpi.so pi.c
status=0
seq 1 3 | installed timeout 120 /usr/bin/kelvra-submit --local --library ./libpi.so --procedure EstimatePi - \
  >"$work/run/pi.txt" 2>"$work/run/pi.err" || status=$?
cat "$work/run/pi.txt"
if [[ "$status" -ne 0 ]]; then
  cat "$work/run/pi.err"
  fail "kelvra-submit --local exited with status $status"
fi
diff -u - "$work/run/pi.txt" <<EOF || fail "kelvra-submit --local printed other results"
seed=1 samples=1000000 inside=785011 pi=3.140044
seed=2 samples=1000000 inside=785092 pi=3.140368
seed=3 samples=1000000 inside=785399 pi=3.141596
EOF
grep -q "^3 done, 0 failed" "$work/run/pi.err" || { cat "$work/run/pi.err"; fail "no summary line of 3 tasks done"; }

echo "== a program on the installed client library"
cat >client.cpp <<'EOF'
#include <kelvra/kelvra_client.h>
int main() {
  try {
    kelvra::TAgentAddress::Parse("");
  } catch (const kelvra::EGridError&) {
    return kelvra::TAgentAddress::Parse("127.0.0.1").Text() == "127.0.0.1:4102" ? 0 : 1;
  }
  return 1;
}
EOF
read -ra flags < <(installed pkg-config --cflags --libs kelvra-client)
installed c++ -std=c++20 -o client client.cpp "${flags[@]}"
installed ./client || fail "the program on the client library failed"
echo "client library: linked and ran"

echo "== the Python guide's first example with the installed package"
# The guide writes it as first.py with a here-document; it runs beside the
# libpi.so built above, with the system's python3 and nothing of this tree.
awk '/^cat > first.py <<.EOF.$/ { inside = 1; next } inside && /^EOF$/ { exit } inside' "$repo/docs/python.md" >first.py
[[ -s first.py ]] || fail "no first.py example in docs/python.md"
status=0
installed timeout 120 python3 first.py >"$work/run/first.txt" 2>&1 || status=$?
cat "$work/run/first.txt"
[[ "$status" -eq 0 ]] || fail "the Python guide's first example exited with status $status"
diff -u - "$work/run/first.txt" <<EOF || fail "the Python guide's first example printed other results"
seed=1 samples=1000000 inside=785011 pi=3.140044
seed=2 samples=1000000 inside=785092 pi=3.140368
seed=3 samples=1000000 inside=785399 pi=3.141596
EOF
echo "python3-kelvra: the guide's first example ran from $(installed python3 -c 'import kelvra, os; print(os.path.dirname(kelvra.__file__))')"
echo "== manual pages and copyright files"
pages=("1 kelvra-agent" "1 kelvra-agent-session" "5 kelvra.INI" "1 kelvra-monitor" "1 kelvra-submit")
for entry in "${pages[@]}"; do
  read -r section name <<<"$entry"
  found=$(installed man -w "$section" "$name" 2>&1) || fail "man -w $section $name: $found"
  [[ "$found" == "/usr/share/man/man$section/$name.$section.gz" ]] || fail "man -w $section $name gives $found"
  echo "man -w $section $name: $found"
done
for package in "${packages[@]}"; do
  grep -qx 'License: Apache-2.0' "/usr/share/doc/$package/copyright" ||
    fail "/usr/share/doc/$package/copyright does not name the Apache License 2.0"
done
echo "copyright: every package names Apache-2.0"
