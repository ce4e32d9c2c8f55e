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
check run --effect plasma --frames 1 --ram-fill 0xA5
check run --engine emulated --effect plasma --frames 1 --ram-fill 256
check run --engine qemu
check run --effect plasma --frames 1 --audio tone:abc
check run --effect plasma --frames 1 --audio wav:/nonexistent.wav
check frobnicate
# A firmware the emulator cannot run, and outputs that cannot be written, are found before the
# first frame; nothing is left behind.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'not an image' >"$dir/text.elf"
check run --engine emulated --firmware "$dir/missing.elf"
check run --engine emulated --firmware "$dir/text.elf"
check run --engine emulated --firmware /bin/sh
check run --start 5
check run --effect plasma --frames 1 --gif /dev/null/out.gif
check run --effect plasma --frames 1 --words "$dir"
check run --effect plasma --frames 1 --png-dir /dev/null/frames
check run --effect plasma --frames 1 --profile "$dir/native.callgrind"
check run --engine emulated --effect plasma --frames 1 --profile /dev/null/p.callgrind
check bench --profile /dev/null/profiles
if [ -n "$(ls "$dir" | grep -v '^text.elf$')" ]; then
  echo "FAIL: refused runs left files: $(ls "$dir")"
  failed=1
fi
exit $failed
