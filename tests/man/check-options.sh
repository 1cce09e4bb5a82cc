#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A program's manual page and its --help agree: every option that --help
# prints has an entry in the page's OPTIONS section, and every entry there
# is an option that --help prints. Each option missing on either side is
# named; the exit status is then 1.
#
#   tests/man/check-options.sh PAGE PROGRAM [ARGUMENT...]
#
# PAGE is the roff page, plain or gzipped; PROGRAM [ARGUMENT...] --help is
# run. An entry is the line after a .TP in the OPTIONS section, and every
# long option named on it counts (`--help, --version` gives two).
set -euo pipefail
page=$1
shift

# long_options: the long options named in standard input, one a line, sorted.
long_options() {
  grep -oE -- '(^|[^A-Za-z0-9-])--[a-z][a-z0-9-]*' | sed 's/^[^-]*//' | sort -u || true
}

help=$("$@" --help 2>&1) || {
  echo "check-options: '$* --help' failed: $help" >&2
  exit 1
}
printed=$(long_options <<<"$help")
[[ -n "$printed" ]] || { echo "check-options: '$* --help' prints no option" >&2; exit 1; }

# The entries' lines, with roff's font changes and escaped hyphens undone.
documented=$(gzip -dcf "$page" | awk '
    /^\.SH/ { options = ($0 ~ /^\.SH "?OPTIONS"?[ \t]*$/); term = 0; next }
    term && options { print }
    { term = ($0 == ".TP") }' | sed -E 's/\\f(\(..|\[[^]]*\]|.)//g; s/\\-/-/g' | long_options)
[[ -n "$documented" ]] || { echo "check-options: $page has no option entry in an OPTIONS section" >&2; exit 1; }

status=0
while read -r option; do
  echo "check-options: '$1 --help' prints $option, which $page does not document in OPTIONS" >&2
  status=1
done < <(comm -23 <(echo "$printed") <(echo "$documented"))
while read -r option; do
  echo "check-options: $page documents $option, which '$1 --help' does not print" >&2
  status=1
done < <(comm -13 <(echo "$printed") <(echo "$documented"))
if [[ "$status" -eq 0 ]]; then echo "check-options: $(wc -l <<<"$printed") options of $1 documented in $page"; fi
exit "$status"
