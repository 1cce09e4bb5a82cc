#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (clang, AddressSanitizer and UBSan, in
# build/fuzz) and runs each in turn for SECONDS (default 60) from its seed
# corpus in tests/fuzz/corpus/, with the shared dictionary. New inputs go to
# build/fuzz/corpus/<target> (the committed seeds are only read); a finding
# is written to build/fuzz/findings/<target>/ and makes the script fail.
#   tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
all=(fuzz_frames fuzz_argument fuzz_split fuzz_decompress fuzz_settings fuzz_status fuzz_lobby fuzz_signature fuzz_monitor)
if [[ $# -gt 0 ]]; then targets=("$@"); else targets=("${all[@]}"); fi

dir=build/fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKELVRA_WERROR=ON -DKELVRA_FUZZ=ON -DKELVRA_TESTS=OFF \
  -DKELVRA_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  log="$dir/$target.log"
  echo "== $target: ${seconds}s"
  if "$dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=60 -max_len=16384 -print_final_stats=1 \
       -dict=tests/fuzz/kelvra.dict -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$target" \
       >"$log" 2>&1; then
    grep -E '^Done|stat::number_of_executed_units' "$log" || true
  else
    echo "$target FAILED (log: $log)"
    grep -E 'ERROR|runtime error|property failed|SUMMARY' "$log" | head -5 || true
    failed+=("$target")
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, no findings"
