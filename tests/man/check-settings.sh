#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# kelvra.INI(5) documents every settings key with its default, and no other:
# each row of the README's kelvra.INI table (section, key, default) is an
# entry "KEY (default: VALUE)" under the page's "THE [SECTION] SECTION", and
# each key of the monitor's settings file (every key shown at its default)
# one under the page's kelvra-monitor section, in the subsection [SECTION].
# Each key missing, or with another default, is named.
#
#   tests/man/check-settings.sh PAGE README MONITOR_SETTINGS
set -euo pipefail
page=$1 readme=$2 monitor=$3

# The page's entries as SCOPE<tab>KEY<tab>DEFAULT, SCOPE being the agent's
# section name, or monitor:SECTION.
documented=$(gzip -dcf "$page" | sed -E 's/\\f(\(..|\[[^]]*\]|.)//g; s/\\-/-/g; s/\\&//g' | awk '
    /^\.SH/ { sh = $0; ss = ""; next }
    /^\.SS/ { ss = $0; next }
    term && match($0, /^[A-Za-z_]+ \(default: .*\)$/) {
      key = $1
      value = substr($0, length(key) + 12, length($0) - length(key) - 12)
      scope = ""
      if (sh ~ /kelvra-monitor/ && match(ss, /\[[a-z]+\]/)) scope = "monitor:" substr(ss, RSTART + 1, RLENGTH - 2)
      else if (match(sh, /^\.SH "?THE \[[a-z]+\] SECTION/)) { match(sh, /\[[a-z]+\]/); scope = substr(sh, RSTART + 1, RLENGTH - 2) }
      if (scope != "") printf "%s\t%s\t%s\n", scope, key, value
    }
    { term = ($0 == ".TP") }' | sort)

# The README's table rows, defaults without their parentheses.
expected=$(awk -F'|' '
    function trim(s) { gsub(/^[ \t`]+|[ \t`]+$/, "", s); return s }
    NF >= 5 && trim($2) ~ /^(agent|coordinator|user)$/ {
      value = trim($4); if (value ~ /^\(.*\)$/) value = substr(value, 2, length(value) - 2)
      printf "%s\t%s\t%s\n", trim($2), trim($3), value
    }' "$readme"
  awk '
    /^\[[a-z]+\]/ { match($0, /\[[a-z]+\]/); section = substr($0, RSTART + 1, RLENGTH - 2); next }
    /^;?[A-Za-z_]+=/ {
      line = $0; sub(/^;/, "", line); eq = index(line, "=")
      value = substr(line, eq + 1); if (value == "") value = "empty"
      printf "monitor:%s\t%s\t%s\n", section, substr(line, 1, eq - 1), value
    }' "$monitor")
expected=$(sort <<<"$expected")
[[ $(wc -l <<<"$expected") -gt 20 ]] || { echo "check-settings: found too few keys in $readme and $monitor" >&2; exit 1; }

# where SCOPE: "[agent]", or "[monitor] of the monitor's settings".
where() { if [[ "$1" == monitor:* ]]; then echo "[${1#monitor:}] of the monitor's settings"; else echo "[$1]"; fi; }

status=0
while IFS=$'\t' read -r scope key value; do
  echo "check-settings: $page lacks \"$key (default: $value)\" under $(where "$scope")" >&2
  status=1
done < <(comm -23 <(echo "$expected") <(echo "$documented"))
while IFS=$'\t' read -r scope key value; do
  echo "check-settings: $page documents \"$key (default: $value)\" under $(where "$scope")," \
    "which neither $readme nor $monitor has" >&2
  status=1
done < <(comm -13 <(echo "$expected") <(echo "$documented"))
if [[ "$status" -eq 0 ]]; then echo "check-settings: $(wc -l <<<"$expected") keys documented with their defaults"; fi
exit "$status"
