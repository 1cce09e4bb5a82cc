#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the task-library guide exactly as written, as a new user on a fresh
# clone would, and fails on any failing command or missing output.
#
#   tools/check-guide.sh [GUIDE]        (default docs/task-libraries.md)
#
# The guide's ```sh blocks run in order, in one bash (set -e -o pipefail, so
# `cd` and `export` carry on from block to block), from the top folder of a
# copy of this working tree without its build folders (the files git tracks
# or would track), with HOME, XDG_RUNTIME_DIR and the temporary folder
# private to the run and a plain PATH. A ```sh grid block (it needs real
# machines) is skipped. A ```text block right after a ```sh block is that
# block's expected output: each of its lines must appear in what the block
# printed (standard output and error), with $HOME standing for the run's home
# folder. Nothing outside the run's folder is
# written (the guide installs under $HOME). A program of the run still
# running after it fails the check and is stopped; the folder is removed at
# the end (KELVRA_GUIDE_KEEP=1 keeps it).
#
# The whole run is bounded by KELVRA_GUIDE_TIMEOUT seconds (default 1800).
# Where ccache is installed the builds use it (with its usual cache), through
# CMake's CMAKE_<LANG>_COMPILER_LAUNCHER variables; KELVRA_GUIDE_CCACHE=0
# builds without it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
guide=$(realpath "${1:-$repo/docs/task-libraries.md}")
limit=${KELVRA_GUIDE_TIMEOUT:-1800}

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-guide.XXXXXX")

# Processes still running a program of the run (an agent that a `--local`
# run left behind): their ids, found by the path of their executable.
leftovers() {
  local link exe
  for link in /proc/[0-9]*/exe; do
    exe=$(readlink "$link" 2>/dev/null) || continue
    if [[ "$exe" == "$work/"* ]]; then
      link=${link#/proc/}
      echo "${link%/exe}"
    fi
  done
}
finish() {
  local pid
  for pid in $(leftovers); do kill -KILL "$pid" 2>/dev/null || true; done
  if [[ "${KELVRA_GUIDE_KEEP:-0}" == 1 ]]; then
    echo "check-guide: keeping $work"
  else
    rm -rf "$work"
  fi
}
trap finish EXIT
mkdir -p "$work/clone" "$work/home" "$work/runtime" "$work/tmp" "$work/out"
chmod 0700 "$work/runtime"

# A clean tree: what git tracks or would track, as a fresh clone has it.
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$work/clone"

# The blocks, as files: N.sh (the block) and N.expected (its text block).
awk -v dir="$work/out" '
  function close_block() { if (file != "") close(file); file = "" }
  /^```/ {
    if (inside) { inside = 0; close_block(); if (kind == "sh") last = count; else last = 0; next }
    inside = 1; info = substr($0, 4); sub(/[ \t]+$/, "", info)
    if (info == "sh") { kind = "sh"; ++count; file = dir "/" count ".sh" }
    else if (info == "text" && last > 0) { kind = "text"; file = dir "/" last ".expected" }
    else { kind = "other"; last = 0 }
    next
  }
  inside { if (file != "") print > file; next }
  /[^ \t]/ { last = 0 }
  END { if (inside) { print "check-guide: an unclosed code block" > "/dev/stderr"; exit 1 } }
' "$guide"

blocks=$(find "$work/out" -name '*.sh' | wc -l)
if [[ "$blocks" -eq 0 ]]; then
  echo "check-guide: no \`\`\`sh block in $guide" >&2
  exit 1
fi

# One script: each block runs in the same shell, its output in out/N.
{
  echo 'set -eo pipefail'
  echo "cd '$work/clone'"
  for ((n = 1; n <= blocks; ++n)); do
    echo "echo $n >'$work/current'"
    echo '{'
    cat "$work/out/$n.sh"
    echo "} >'$work/out/$n.output' 2>&1"
  done
  echo "echo done >'$work/current'"
} >"$work/run.sh"

environment=(HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" LANG=C.UTF-8
             PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
if [[ "${KELVRA_GUIDE_CCACHE:-1}" != 0 ]] && command -v ccache >/dev/null; then
  environment+=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
                CCACHE_DIR="${CCACHE_DIR:-$(ccache -k cache_dir)}" CCACHE_BASEDIR="$work/clone")
fi

echo "check-guide: $blocks blocks of $guide, in $work/clone"
status=0
timeout --kill-after=30 "$limit" env -i "${environment[@]}" bash "$work/run.sh" </dev/null || status=$?
reached=$(cat "$work/current" 2>/dev/null || echo 0)

failed=0
for ((n = 1; n <= blocks; ++n)); do
  [[ "$reached" == done || "$n" -le "$reached" ]] || break
  echo "---- block $n"
  sed 's/^/$ /' "$work/out/$n.sh"
  cat "$work/out/$n.output" 2>/dev/null || true
  if [[ "$reached" != done && "$n" -eq "$reached" ]]; then break; fi
  if [[ -e "$work/out/$n.expected" ]]; then
    while IFS= read -r line; do
      [[ -n "$line" ]] || continue
      line=${line//\$HOME/$work/home}
      if ! grep -qF -e "$line" "$work/out/$n.output"; then
        echo "check-guide: block $n did not print: $line" >&2
        failed=1
      fi
    done <"$work/out/$n.expected"
  fi
done

if [[ "$status" -eq 124 || "$status" -eq 137 ]]; then
  echo "check-guide: block $reached still ran after $limit s" >&2
  exit 1
fi
if [[ "$status" -ne 0 ]]; then
  echo "check-guide: block $reached failed (exit status $status)" >&2
  exit 1
fi
# Every program the guide starts has ended with it (a moment's grace for
# processes that are just exiting).
for ((i = 0; i < 50; ++i)); do
  [[ -z "$(leftovers)" ]] && break
  sleep 0.2
done
for pid in $(leftovers); do
  echo "check-guide: still running after the guide: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
  failed=1
done
if [[ "$failed" -ne 0 ]]; then exit 1; fi
echo "check-guide: all $blocks blocks ran and printed what the guide shows"
