#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the agent needs, only those missing (go-md2man
# turns the manual pages into roff; the tests read them with man-db and groff).
#   tools/install-deps.sh          what building and running the agent needs
#   tools/install-deps.sh --tests  also what the tests and CI builds need
set -euo pipefail

packages=(g++ cmake ninja-build make pkg-config zlib1g-dev libdeflate-dev libunwind-dev qt6-base-dev libboost-dev nlohmann-json3-dev libseccomp-dev libsodium-dev go-md2man)
# The Python package (pybind11, the system Python's headers) and what the
# examples of its guide (docs/python.md) use.
packages+=(pybind11-dev python3-dev python3-numpy python3-tqdm)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev clang libclang-rt-14-dev iproute2 util-linux xvfb xauth dpkg-dev lintian minisign python3-pytest man-db groff-base)
fi
# The monitor's page is tested in headless Chromium.
if [[ "${1:-}" == "--tests" ]]; then packages+=(chromium fonts-dejavu-core); fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
