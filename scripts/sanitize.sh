#!/usr/bin/env bash
# Builds the asan and tsan presets and runs the unit and black-box tests on
# each; any sanitizer report fails the run.
#   SAN_PRESETS="asan tsan"  which presets to run
#   SAN_ASAN_CXX=clang++     compiler for the asan preset (see below)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PRESETS=${SAN_PRESETS:-asan tsan}
# With g++ the UBSan runtime is a separate library that ignores log_path while
# ASan is loaded, so its reports would only reach the child's stderr. clang has
# one runtime for both, so every report lands in a file we check.
ASAN_CXX=${SAN_ASAN_CXX:-clang++}

failures=()
started=$SECONDS

fail() {
  failures+=("$1")
  echo "!! $1"
}

# Prints every report file under $1; returns 1 when there is any.
check_reports() {
  local found=0 file
  while IFS= read -r -d '' file; do
    found=1
    echo "---- sanitizer report: $file"
    head -200 "$file"
  done < <(find "$1" -type f -print0)
  return $found
}

run_preset() {
  local preset=$1 dir="build-$1" logs configure=()
  [[ $preset == asan ]] && configure=(-DCMAKE_CXX_COMPILER="$ASAN_CXX")
  echo "== $preset: configure and build ($dir)"
  if ! cmake --preset "$preset" "${configure[@]}" >/dev/null ||
     ! cmake --build "$dir" -j2 >"$dir/sanitize-build.log" 2>&1; then
    tail -40 "$dir/sanitize-build.log"
    fail "$preset: build failed"
    return
  fi
  logs="$ROOT/$dir/sanitizer-logs"
  rm -rf "$logs"
  mkdir -p "$logs/unit" "$logs/blackbox"

  local step
  for step in unit blackbox; do
    local path="$logs/$step/report"
    export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$path"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86:log_path=$path"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=86:log_path=$path"
    local t0=$SECONDS
    echo "== $preset: $step tests"
    if [[ $step == unit ]]; then
      # The unit tests leave their capture directories behind: keep them in here.
      mkdir -p "$logs/tmp"
      TMPDIR="$logs/tmp" ctest --test-dir "$dir" --output-on-failure -j2 ||
        fail "$preset: unit tests failed"
    else
      ZAL_BUILD_DIR="$ROOT/$dir" /usr/bin/python3 -m pytest -q -n 4 -p no:cacheprovider \
        tests/blackbox || fail "$preset: black-box tests failed"
    fi
    check_reports "$logs/$step" || fail "$preset: sanitizer reports in $step tests"
    echo "== $preset: $step took $((SECONDS - t0)) s"
  done
  unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
}

for preset in $PRESETS; do
  run_preset "$preset"
done

echo "== sanitize: $((SECONDS - started)) s"
if ((${#failures[@]})); then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "sanitize: clean ($PRESETS)"
