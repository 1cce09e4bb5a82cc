#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# tools/add-spdx.sh on a small tree of every kind of file it knows: --check
# names exactly the source files without the line in their opening comment
# (a line further down does not count); adding writes the line where each
# comment style wants it, keeps modes and leaves everything else alone; a
# second run changes nothing.
#
#   tests/licence/add-spdx-test.sh TOOL
set -euo pipefail
tool=$1
tree=$(mktemp -d "${TMPDIR:-/tmp}/add-spdx-test.XXXXXX")
trap 'rm -rf "$tree"' EXIT
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# put PATH: the file PATH of the tree, from standard input.
put() {
  mkdir -p "$(dirname "$tree/$1")"
  cat >"$tree/$1"
}
# expect PATH: the file PATH of the tree is standard input, byte for byte.
expect() {
  diff -u - "$tree/$1" >"$tree.diff" || { fail "$1 is not as expected:"; cat "$tree.diff" >&2; }
  rm -f "$tree.diff"
}

spdx="SPDX-License-Identifier: Apache-2.0"
printf 'cmake_minimum_required(VERSION 3.25)\n' | put CMakeLists.txt
printf '#!/usr/bin/env bash\n# Runs it.\nset -e\n' | put tools/run.sh
chmod 0755 "$tree/tools/run.sh"
printf '#!/bin/sh\nexec true\n' | put tools/install/launcher.in
printf '#!/usr/bin/env python3\n# -*- coding: utf-8 -*-\n"""Doc."""\n' | put python/tool.py
printf '# Layers.\nset(A 1)\n' | put cmake/Layers.cmake
printf '// The agent.\n// More.\n#include "a.h"\n' | put src/Agent/T_Agent.h
printf '#include "a.h"\nint x;\n' | put src/Agent/T_Agent.cpp
printf '/* IAgent: the interface.\n * More.\n */\n#include <stdint.h>\n' | put include/I_Agent.h
printf '/*\n * Bare opening.\n */\nint y;\n' | put tests/tasklibs/bare.c
printf '#include <stdint.h>\nint z;\n' | put tests/tasklibs/plain.c
printf '// Version @V@.\n#define V 1\n' | put src/Agent/AgentVersion.h.in
# Has the line already, in each style.
printf '#!/bin/sh\n# %s\n# Tool.\n' "$spdx" | put tools/done.sh
printf '/* %s\n * Done.\n */\n' "$spdx" | put src/Done.h
# The line below the opening comment does not count.
printf '// Late.\n\n// %s\nint w;\n' "$spdx" | put src/Late.cpp
# No source files: data, settings, a fuzz corpus, a build folder, a folder
# that is not scanned.
printf 'key=1\n' | put tools/install/kelvra.INI.default
printf '#!corpus bytes\n' | put tests/fuzz/corpus/fuzz_x/seed
printf 'int b;\n' | put src/build-x/generated.cpp
printf 'int d;\n' | put docs/snippet.cpp

status=0
"$tool" --check "$tree" >"$tree.out" 2>&1 || status=$?
[[ "$status" -eq 1 ]] || fail "--check exited with $status, not 1"
listed=$(grep '^  ' "$tree.out" | sed 's/^  //' | sort || true)
wanted=$(printf '%s\n' CMakeLists.txt cmake/Layers.cmake include/I_Agent.h python/tool.py src/Agent/AgentVersion.h.in \
  src/Agent/T_Agent.cpp src/Agent/T_Agent.h src/Late.cpp tests/tasklibs/bare.c tests/tasklibs/plain.c \
  tools/install/launcher.in tools/run.sh | sort)
[[ "$listed" == "$wanted" ]] || fail "--check named:"$'\n'"$listed"$'\n'"instead of:"$'\n'"$wanted"
rm -f "$tree.out"

"$tool" "$tree" >/dev/null
expect CMakeLists.txt <<EOF
# $spdx
cmake_minimum_required(VERSION 3.25)
EOF
expect tools/run.sh <<EOF
#!/usr/bin/env bash
# $spdx
# Runs it.
set -e
EOF
[[ -x "$tree/tools/run.sh" ]] || fail "tools/run.sh lost its execute bit"
expect tools/install/launcher.in <<EOF
#!/bin/sh
# $spdx
exec true
EOF
expect python/tool.py <<EOF
#!/usr/bin/env python3
# -*- coding: utf-8 -*-
# $spdx
"""Doc."""
EOF
expect cmake/Layers.cmake <<EOF
# $spdx
# Layers.
set(A 1)
EOF
expect src/Agent/T_Agent.h <<EOF
// $spdx
// The agent.
// More.
#include "a.h"
EOF
expect src/Agent/T_Agent.cpp <<EOF
// $spdx
#include "a.h"
int x;
EOF
expect include/I_Agent.h <<EOF
/* $spdx
 * IAgent: the interface.
 * More.
 */
#include <stdint.h>
EOF
expect tests/tasklibs/bare.c <<EOF
/*
 * $spdx
 * Bare opening.
 */
int y;
EOF
expect tests/tasklibs/plain.c <<EOF
/* $spdx */
#include <stdint.h>
int z;
EOF
expect src/Late.cpp <<EOF
// $spdx
// Late.

// $spdx
int w;
EOF
expect tools/install/kelvra.INI.default <<<'key=1'
expect src/build-x/generated.cpp <<<'int b;'

"$tool" --check "$tree" >/dev/null 2>&1 || fail "--check still finds files without the line after adding it"
before=$(cd "$tree" && find . -type f -exec sha256sum {} + | sort)
"$tool" "$tree" >/dev/null
after=$(cd "$tree" && find . -type f -exec sha256sum {} + | sort)
[[ "$before" == "$after" ]] || fail "a second run changed files"

if [[ "$failures" -ne 0 ]]; then exit 1; fi
echo "add-spdx: all cases passed"
