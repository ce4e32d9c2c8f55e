#!/usr/bin/env bash
# Each bad command line must be refused with exit status 2 and exactly one line on stderr.
set -u
lpcdemo=$1
failed=0
check() {
  local err status
  err=$("$lpcdemo" "$@" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne 2 ] || [ "$(printf '%s\n' "$err" | wc -l)" -ne 1 ] || [ -z "$err" ]; then
    echo "FAIL: lpcdemo $* -> status $status, stderr: $err"
    failed=1
  fi
}
check run --bogus
check run --effect tunnel
check run --frames 0
check run --frames many
check run --scale 99
check run --engine qemu
check run --effect plasma --frames 1 --audio tone:abc
check run --effect plasma --frames 1 --audio wav:/nonexistent.wav
check frobnicate
exit $failed
