#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages kelvra-agent, kelvra-agent-gui, kelvra-dev,
# kelvra-tools and python3-kelvra (cmake/Packaging.cmake) from this tree: a Release build with
# the prefix /usr and without tests in build/packages-build, then
# `cpack -G DEB`. The .deb files go to OUTDIR (default build/packages, its
# old .deb files removed first); lintian must find neither an error nor a
# warning in them (no tag is overridden).
#
#   tools/build-packages.sh [OUTDIR]
#
# Where ccache is installed the build uses it. Needs go-md2man (the manual
# pages), dpkg-dev (for dpkg-shlibdeps) and lintian: tools/install-deps.sh
# --tests installs them.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$repo/build/packages}")
build=$repo/build/packages-build

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF -DKELVRA_BENCH=OFF \
  -DKELVRA_GUI=ON -DKELVRA_MONITOR=ON -DKELVRA_PYTHON=ON -DCMAKE_INSTALL_PREFIX=/usr "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
# The agent without Qt and with its window module: a build without Qt would
# make a kelvra-agent-gui without the window.
if [[ ! -e "$build/kelvra-agent-window.so" ]]; then
  echo "build-packages: the window module was not built (is qt6-base-dev installed?)" >&2
  exit 1
fi
# Every program's manual page: lintian warns of a program without one.
if ! compgen -G "$build/man/*.1.gz" >/dev/null; then
  echo "build-packages: the manual pages were not built (is go-md2man installed?)" >&2
  exit 1
fi

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)
mkdir -p "$out"
rm -f "$out"/*.deb
mv "$build"/*.deb "$out"/

status=0
report=$(lintian --fail-on error,warning "$out"/*.deb 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$report" || true
if [[ "$status" -ne 0 ]]; then
  echo "build-packages: lintian found errors or warnings (exit status $status)" >&2
  exit 1
fi
echo "build-packages: lintian found no error and no warning in:"
ls -1 "$out"/*.deb
