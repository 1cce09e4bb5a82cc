#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Each manual page renders without a word on standard error: through man
# with its warnings on (as lintian runs it) and through groff with every
# warning; and its NAME line gives the whatis entry "NAME - what it is".
#
#   tests/man/check-render.sh PAGE...     (roff, plain or gzipped)
set -euo pipefail
status=0
for page in "$@"; do
  name=$(basename "$page" .gz)
  name=${name%.*}
  warnings=$( {
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null
    gzip -dcf "$page" | LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z 2>&1
  } )
  if [[ -n "$warnings" ]]; then
    echo "check-render: $page renders with warnings:" >&2
    printf "%s\n" "$warnings" >&2
    status=1
  fi
  whatis=$(lexgrog "$page" 2>&1) || true
  if [[ "$whatis" != *": \"$name - "* ]]; then
    echo "check-render: $page gives no whatis entry for $name: $whatis" >&2
    status=1
  fi
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l -Tutf8 "$page" 2>/dev/null | sed 's/.\x08//g')
  for section in NAME DESCRIPTION "SEE ALSO"; do
    if ! grep -qx "$section" <<<"$text"; then
      echo "check-render: $page has no section $section" >&2
      status=1
    fi
  done
done
if [[ "$status" -eq 0 ]]; then echo "check-render: $# pages render without a warning"; fi
exit "$status"
