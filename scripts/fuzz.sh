#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each for FUZZ_SECONDS
# (default 30) on a scratch copy of its seed corpus. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${FUZZ_SECONDS:-30}
TARGETS=(fuzz_options fuzz_json_escape fuzz_command_line fuzz_sources fuzz_lines fuzz_http fuzz_redact)

cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j2 --target "${TARGETS[@]}"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zal-fuzz.XXXXXX")
echo "== fuzz: scratch in $WORK"
summary=()
failed=0
for target in "${TARGETS[@]}"; do
  corpus="$WORK/$target/corpus"
  artifacts="$WORK/$target/artifacts/"
  mkdir -p "$corpus" "$artifacts"
  cp "$ROOT/fuzz/corpus/$target/"* "$corpus/"
  # Long enough for the repeat byte to push a command line past its limit.
  max_len=4096
  [[ $target == fuzz_options ]] && max_len=1024
  # Past a header line's bound.
  [[ $target == fuzz_http ]] && max_len=8192
  dict=()
  [[ -f $ROOT/fuzz/$target.dict ]] && dict=("-dict=$ROOT/fuzz/$target.dict")
  log="$WORK/$target/log"
  set +e
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$target" "$corpus" "${dict[@]}" -max_total_time="$SECONDS_EACH" \
    -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts" \
    -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  # A crash, leak, time-out or out-of-memory; a unit that was only slow once (a
  # stall of this shared machine, say) is no finding.
  found=$(find "$artifacts" -type f ! -name 'slow-unit-*' | wc -l)
  if [[ $rc -ne 0 || $found -ne 0 ]]; then
    failed=1
    summary+=("FAIL $target: exit $rc, $found finding(s) in $artifacts")
    echo "---- $target log (tail)"
    tail -60 "$log"
  else
    summary+=("ok   $target: ${runs:-?} runs in ${SECONDS_EACH}s, coverage ${cov:-?}, corpus $(ls "$corpus" | wc -l)")
  fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [[ $failed -ne 0 ]]; then
  echo "findings kept in $WORK"
  exit 1
fi
rm -rf "$WORK"
