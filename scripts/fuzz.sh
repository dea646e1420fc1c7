#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang-16 + libc++ + libFuzzer + ASan/UBSan) into build-fuzz
# and runs each fuzz_* target for FUZZ_SECONDS (default 60) from its seed corpus. Fails when a
# target crashes or a sanitizer reports. New inputs go to a scratch corpus, not into the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
dir=build-fuzz

CC=clang-16 CXX=clang++-16 cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(getconf _NPROCESSORS_ONLN)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

shopt -s nullglob
targets=("$dir"/fuzz_*)
status=0
for target in "${targets[@]}"; do
  [ -x "$target" ] && [ -f "$target" ] || continue
  name=$(basename "$target")
  scratch="$dir/corpus/$name"
  artifacts="$dir/artifacts/$name/"
  mkdir -p "$scratch" "$artifacts"
  seeds=()
  if [ -f "$target.seeds" ]; then
    while IFS= read -r seed; do
      [ -n "$seed" ] && [ -d "$seed" ] && seeds+=("$seed")
    done <"$target.seeds"
  fi
  options=()
  if [ -f "$target.options" ]; then
    while IFS= read -r option; do
      [ -n "$option" ] && options+=("$option")
    done <"$target.options"
  fi
  echo "== $name for ${seconds}s (seeds: ${seeds[*]:-none}; options: ${options[*]:-none})"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 "${options[@]}" \
      -artifact_prefix="$artifacts" "$scratch" "${seeds[@]}" >"$dir/$name.log" 2>&1; then
    tail -n 60 "$dir/$name.log" >&2
    echo "$name: FAILED (log: $dir/$name.log, inputs: $artifacts)" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done)' "$dir/$name.log" || true
  fi
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets built" >&2; exit 1; }
exit $status
