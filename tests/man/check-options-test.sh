#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The check that a program's --help and its manual page agree
# (check-options.sh) holds them to it, against kelvra-agent's real page and
# stand-in programs: the agent's own options pass; an option added to
# --help without a page entry fails and is named; a page entry for an option
# --help no longer prints fails and is named; a --help that fails, fails.
#
#   tests/man/check-options-test.sh CHECKER AGENT_PAGE
set -euo pipefail
checker=$1 page=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/check-options-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# program NAME STATUS: a stand-in that prints standard input for --help and
# exits with STATUS.
program() {
  { printf '#!/bin/sh\ncat <<"HELP"\n'; cat; printf 'HELP\nexit %s\n' "$2"; } >"$work/$1"
  chmod +x "$work/$1"
}
# expect STATUS NEEDLE NAME: the checker on the stand-in NAME exits with
# STATUS and, when NEEDLE is not empty, says it.
expect() {
  local want=$1 needle=$2 name=$3 status=0
  "$checker" "$page" "$work/$name" >"$work/out" 2>&1 || status=$?
  if [[ "$status" -ne "$want" ]]; then
    echo "FAILED: $name: exit status $status, not $want:" >&2
    cat "$work/out" >&2
    failures=$((failures + 1))
  elif [[ -n "$needle" ]] && ! grep -qF -- "$needle" "$work/out"; then
    echo "FAILED: $name: the check does not say \"$needle\":" >&2
    cat "$work/out" >&2
    failures=$((failures + 1))
  fi
}

agent_help='Usage: kelvra-agent [--headless] [--config FILE]

  --headless     run without a window until SIGTERM, SIGINT or SIGHUP
  --config FILE  settings file (default: kelvra.INI beside the executable)
  --help         show this text
  --version      show the version'

program same 0 <<<"$agent_help"
expect 0 "" same

program added 0 <<<"$agent_help
  --max-memory N limit the agent's memory"
expect 1 "prints --max-memory, which" added

program added-in-prose 0 <<<"$agent_help

With --dry-run nothing is started."
expect 1 "prints --dry-run, which" added-in-prose

sed "s/ \[--headless\]//; /--headless  /d" <<<"$agent_help" | program dropped 0
expect 1 "documents --headless, which" dropped

program broken 2 <<<"$agent_help"
expect 1 "failed" broken

if [[ "$failures" -ne 0 ]]; then exit 1; fi
echo "check-options-test: all cases passed"
