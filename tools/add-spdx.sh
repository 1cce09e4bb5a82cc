#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every source file of the repository names its licence in its opening
# comment with the line "SPDX-License-Identifier: Apache-2.0". This script
# adds that line, in the file's own comment style, to every source file that
# lacks it; with --check it changes nothing and names those files instead.
#
#   tools/add-spdx.sh [--check] [ROOT]     (ROOT: default this repository)
#
# Source files: the top CMakeLists.txt, and under src include tests tools
# bench examples fuzz python cmake .ci: C and C++ sources and headers (.c .cc
# .cpp .h .hpp, and templates of them ending in .in), CMake files
# (CMakeLists.txt, *.cmake), shell and Python scripts (*.sh, *.py, and any
# other file that starts with a "#!" line). Fuzz corpora and build folders
# are left out; settings, unit and desktop files, pkg-config templates,
# pictures and texts are no source files.
#
# The opening comment is the file's first comment after a "#!" line (and a
# Python coding line): its leading "#" lines in scripts and CMake files; in
# C and C++ either its leading "//" lines or its leading "/* ... */". The
# line goes in as that comment's first line:
#   #!/bin/sh                  #!/bin/sh
#   # Starts the agent.   ->   # SPDX-License-Identifier: Apache-2.0
#                              # Starts the agent.
#   /* IAgent: the ...    ->   /* SPDX-License-Identifier: Apache-2.0
#    * more                     * IAgent: the ...
#                               * more
# A file that opens with no comment gets one line of its own on top: "//"
# in C++, "/* */" in C, "#" in scripts and CMake files.
#
# Exit status: 0 when every source file has the line (after adding it), 1
# when --check found files without it, 2 on a usage error.
set -euo pipefail

readonly spdx="SPDX-License-Identifier: Apache-2.0"
readonly source_dirs=(src include tests tools bench examples fuzz python cmake .ci)

check=0
root=
for argument in "$@"; do
  case "$argument" in
    --check) check=1 ;;
    -*) echo "usage: tools/add-spdx.sh [--check] [ROOT]" >&2; exit 2 ;;
    *) root=$argument ;;
  esac
done
root=${root:-$(cd "$(dirname "$0")/.." && pwd)}

# comment_style FILE: "hash" (#), "cpp" (//), "c" (/* */), or nothing for a
# file that is no source file.
comment_style() {
  local file=$1 first=
  case "${file##*/}" in
    CMakeLists.txt | *.cmake | *.cmake.in | *.sh | *.py) echo hash; return ;;
    *.c | *.c.in) echo c; return ;;
    *.cc | *.cpp | *.h | *.hpp | *.cc.in | *.cpp.in | *.h.in | *.hpp.in) echo cpp; return ;;
  esac
  IFS= read -r first <"$file" || true
  if [[ "$first" == '#!'* ]]; then echo hash; fi
}

# source_files: each source file under ROOT with its style, as
# "STYLE<tab>PATH" lines, sorted.
source_files() {
  local dir file style
  {
    if [[ -f "$root/CMakeLists.txt" ]]; then printf '%s\0' "$root/CMakeLists.txt"; fi
    for dir in "${source_dirs[@]}"; do
      [[ -d "$root/$dir" ]] || continue
      find "$root/$dir" -type d \( -name corpus -o -name 'build*' -o -name .git \) -prune -o -type f -print0
    done
  } | while IFS= read -r -d '' file; do
    style=$(comment_style "$file")
    if [[ -n "$style" ]]; then printf '%s\t%s\n' "$style" "$file"; fi
  done | sort -t $'\t' -k2
}

# has_line STYLE FILE: the opening comment holds the line.
has_line() {
  awk -v style="$1" -v spdx="$spdx" '
    NR == 1 && style == "hash" && /^#!/ { next }
    NR <= 2 && style == "hash" && /^#.*coding[:=]/ { next }
    !started { started = 1; block = (style == "hash") ? "#" : (/^\/\// ? "//" : (/^\/\*/ ? "/*" : "")) }
    block == "" { exit }
    block == "#" && !/^#/ { exit }
    block == "//" && !/^\/\// { exit }
    index($0, spdx) { found = 1; exit }
    block == "/*" && index($0, "*/") { exit }
    END { exit !found }' "$2"
}

# add_line STYLE FILE: writes the line into the opening comment, keeping the
# file's mode.
add_line() {
  local style=$1 file=$2 new
  new=$(mktemp)
  awk -v style="$style" -v spdx="$spdx" '
    function put(line) { print line; placed = 1 }
    NR == 1 && style == "hash" && /^#!/ { print; next }
    NR <= 2 && style == "hash" && /^#.*coding[:=]/ { print; next }
    !placed && style == "hash" { put("# " spdx) }
    !placed && /^\/\*+[ \t]*$/ { print; put(" * " spdx); next }
    !placed && /^\/\*/ {
      text = $0
      sub(/^\/\*+[ \t]*/, "", text)
      put("/* " spdx)
      print " * " text
      next
    }
    !placed && style == "c" { put("/* " spdx " */") }
    !placed { put("// " spdx) }
    { print }
    END { if (!placed) print (style == "hash" ? "# " : (style == "c" ? "/* " : "// ")) spdx (style == "c" ? " */" : "") }
  ' "$file" >"$new"
  cat "$new" >"$file"
  rm -f "$new"
}

lacking=()
while IFS=$'\t' read -r style file; do
  if ! has_line "$style" "$file"; then lacking+=("$style"$'\t'"$file"); fi
done < <(source_files)

if [[ "$check" -eq 1 ]]; then
  if [[ ${#lacking[@]} -eq 0 ]]; then
    echo "add-spdx: every source file under $root names its licence"
    exit 0
  fi
  echo "add-spdx: ${#lacking[@]} source files lack \"$spdx\" in their opening comment" \
    "(tools/add-spdx.sh adds it):" >&2
  for entry in "${lacking[@]}"; do echo "  ${entry#*$'\t'}" | sed "s|  $root/|  |" >&2; done
  exit 1
fi

for entry in "${lacking[@]}"; do
  add_line "${entry%%$'\t'*}" "${entry#*$'\t'}"
  echo "added: ${entry#*$'\t'}" | sed "s|: $root/|: |"
done
echo "add-spdx: ${#lacking[@]} files changed"
