#!/usr/bin/env bash
# Runs every fuzz target of BUILD for SECONDS seconds each, one after another, from a copy of
# its seed corpus in SCRATCH (the committed corpus never grows), and prints per target the
# inputs executed and the corpus size reached. A crash, a sanitizer report, an input slower
# than the timeout or a run past the memory limit fails the target: its reproducer and log
# stay in SCRATCH/<target>/. Exits 1 if any target failed.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BUILD SECONDS SCRATCH" >&2; exit 2; }
build=$1 seconds=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)

targets=(audio_effects fft plasma_cake lcd_model wav codes elf gdb_packets boot_loader)
# Longest input per target: a whole previous frame (6566 bytes) and a capture's codes for the
# effects, a few thousand bytes elsewhere.
max_len() {
  case $1 in
    audio_effects) echo 12000 ;;
    fft | plasma_cake) echo 8192 ;;
    elf) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

failed=()
printf '%-14s %10s %8s %s\n' target executions corpus result
for t in "${targets[@]}"; do
  dir=$scratch/$t
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/crashes"
  cp "$here/corpus/$t/"* "$dir/corpus/"
  result=ok
  "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$dir/crashes/" "$dir/corpus" >"$dir/log" 2>&1 ||
    result="FAILED (log and reproducer in $dir)"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  printf '%-14s %10s %8s %s\n' "$t" "${runs:-?}" "$(ls "$dir/corpus" | wc -l)" "$result"
  [ "$result" = ok ] || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "--- $t"
    grep -E -A25 '^==[0-9]+==|^fuzz: |runtime error|SUMMARY|ALARM|out-of-memory' "$scratch/$t/log" |
      head -60 || tail -30 "$scratch/$t/log"
  done
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
