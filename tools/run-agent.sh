#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds the agent in Release and runs it.
# Arguments are passed on to kelvra-agent (for example --config FILE).
# A first run writes a starter kelvra.INI beside the executable.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF >/dev/null
cmake --build build/release --target kelvra-agent

settings=build/release/kelvra.INI
if [[ ! -e "$settings" ]]; then
  cp tools/kelvra.INI.starter "$settings"
  echo "Wrote a starter $settings"
fi
exec build/release/kelvra-agent --headless "$@"
