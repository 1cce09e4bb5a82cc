#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then builds and runs every test three times: a
# g++ build, a clang build with AddressSanitizer, UndefinedBehaviorSanitizer
# and the thread-safety analysis, and a clang build with ThreadSanitizer.
# Warnings are errors in all three; the g++ build must build the Python
# package, whose pytest tests run with its ctest (the sanitizer builds leave
# it out). After the g++ build the task-library guide and the Python guide
# run exactly as written (tools/check-guide.sh), and the Debian
# packages are built, installed on this machine, tried and purged again
# (tools/check-packages.sh). Then every fuzz target runs for a short smoke
# time (tools/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh --tests
jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DKELVRA_WERROR=ON -DKELVRA_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== g++ build"
CC=gcc CXX=g++ run_suite build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_PYTHON=ON

echo "== the task-library guide, as written (docs/task-libraries.md)"
tools/check-guide.sh

echo "== the Python guide, as written (docs/python.md)"
tools/check-guide.sh docs/python.md

echo "== Debian packages"
tools/check-packages.sh

echo "== clang build with sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CC=clang CXX=clang++ run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON

echo "== clang build with ThreadSanitizer"
unset ASAN_OPTIONS UBSAN_OPTIONS
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
CC=clang CXX=clang++ run_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_SANITIZE_THREAD=ON

echo "== fuzz targets, 10 s each"
unset TSAN_OPTIONS
tools/fuzz.sh 10
