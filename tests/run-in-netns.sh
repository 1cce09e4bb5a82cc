#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a test executable inside a private network namespace that has only a
# loopback interface, so that broadcasts of the agent under test never leave
# this process tree. Exits 77 (skipped) where namespaces are not available.
set -u
if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
  echo "SKIPPED: unshare or ip missing"
  exit 77
fi
if ! unshare -n true 2>/dev/null; then
  echo "SKIPPED: network namespaces are not available here"
  exit 77
fi
exec unshare -n sh -c '
  ip link set lo up &&
  ip route add 255.255.255.255/32 dev lo src 127.0.0.1 &&
  exec "$@"' sh "$@"
