#!/usr/bin/env bash
# A long fuzzing run: builds the "fuzz" preset and runs every target (or the ones named) for the
# given seconds each, starting from its committed seed corpus. New inputs are kept in
# build/fuzz/long/<target>/ (never in the source tree); a crash leaves its reproducer in
# build/fuzz/findings/<target>/ and makes the script fail. A summary line per target gives the
# executions reached.
#
#   scripts/fuzz.sh [-t SECONDS] [TARGET...]      (default: 300 seconds, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
if [[ ${1:-} == -t ]]; then
  seconds=$2
  shift 2
fi
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(release_index block_digest_list archive base64 text_conversion)
fi

cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz

status=0
for target in "${targets[@]}"; do
  work=build/fuzz/long/$target
  findings=build/fuzz/findings/$target
  mkdir -p "$work" "$findings"
  log=build/fuzz/long/$target.log
  echo "=== $target: $seconds s" >&2
  if ! nice "build/fuzz/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    status=1
    echo "$target: FINDING, see $findings/ and $log" >&2
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "$target: $runs executions, corpus $(find "$work" -type f | wc -l) inputs" >&2
done
exit $status
