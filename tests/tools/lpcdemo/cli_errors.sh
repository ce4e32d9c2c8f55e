#!/usr/bin/env bash
# Each bad command line must be refused with exit status 2 and exactly one short line of
# printable text on stderr. A command line that is taken instead of refused may wait for a
# debugger or a serial host: each is given a bounded time.
set -u
lpcdemo=$1
image=$2 # the built image, copied and made wrong by patch_elf
failed=0
limit=30 # seconds for any one command
check() {
  local err status
  err=$(timeout "$limit" "$lpcdemo" "$@" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne 2 ] || [ "$(printf '%s\n' "$err" | wc -l)" -ne 1 ] || [ -z "$err" ] ||
    [ ${#err} -gt 300 ] || printf '%s' "$err" | grep -q '[[:cntrl:]]'; then
    echo "FAIL: lpcdemo $* -> status $status, stderr: $err"
    failed=1
  fi
}
# As check, and the line must hold the given words.
check_says() {
  local words=$1
  shift
  check "$@"
  if ! timeout "$limit" "$lpcdemo" "$@" 2>&1 >/dev/null | grep -qF -- "$words"; then
    echo "FAIL: lpcdemo $* does not say '$words'"
    failed=1
  fi
}
check run --bogus
check run --effect tunnel
check run --frames 0
check_says "--frames: 'many' is not a whole number" run --frames many
check_says "--start: 99999999999 is not in -2147483648..2147483647" run --start 99999999999
check run --scale 99
check_says "--scale: 0 is not in 1..16" run --effect plasma --frames 1 --scale 0
check run --effect plasma --frames 1 --ram-fill 0xA5
check run --engine emulated --effect plasma --frames 1 --ram-fill 256
check_says "--ram-fill: 'abc' is not a byte" run --engine emulated --effect plasma --frames 1 --ram-fill abc
# A leading zero is no octal prefix (CLI11's own conversion would take 010 as 8).
if ! timeout "$limit" "$lpcdemo" run --effect fall --frames 010 2>&1 | grep -q '^fall (native): 10 frames,'; then
  echo "FAIL: --frames 010 is not ten frames"
  failed=1
fi
check run --engine qemu
check run --effect plasma --frames 1 --audio tone:abc
check run --effect plasma --frames 1 --audio wav:/nonexistent.wav
check frobnicate
check_says "unknown subcommand 'runn' (run, view, isp, bench) (did you mean run?)" runn
check_says "unknown option --efect (did you mean --effect?)" run --efect cake
check_says "(did you mean plasma?)" run --effect Plasma
check_says "--engine: 'EMULATED' is not one of native, emulated (did you mean emulated?)" run --engine EMULATED
check_says "--frames needs a value" run --effect plasma --frames
check_says "--frames is given 2 times: it takes one value" run --frames 1 --effect plasma --frames=2
check_says "a subcommand is required"
for option in --audio --gif --words --png-dir --vcd --uart --firmware; do
  check_says "$option: must not be empty" run --effect plasma --frames 1 "$option" ''
done
check_says "it needs --engine emulated" run --effect plasma --frames 1 --firmware /bin/sh
# Port 0 is no port to wait for GDB on (taken, it would mean no debugger at all).
check_says "unknown kind" run --effect fall --frames 1 --audio microphone
check_says "--gdb: 0 is not in 1..65535" run --engine emulated --effect plasma --frames 1 --gdb 0
check_says "--gdb: 65536 is not in 1..65535" run --engine emulated --effect plasma --frames 1 --gdb 65536
check_says "--board-seconds bounds the emulated chip's time" run --effect plasma --board-seconds 1
check_says "--board-seconds: 0 is not above 0" run --engine emulated --board-seconds 0
check_says "--board-seconds: 'soon' is not a decimal number" run --engine emulated --board-seconds soon
version=$("$lpcdemo" --version) || { echo "FAIL: --version -> status $?"; failed=1; }
[[ $version =~ ^lpcdemo\ [0-9]+\.[0-9]+ ]] || { echo "FAIL: --version says '$version'"; failed=1; }
# A firmware the emulator cannot run, and inputs and outputs that cannot be used, are found
# before the first frame; nothing is left behind.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/in"
printf 'not an image' >"$dir/in/text.elf"
: >"$dir/in/empty"
printf '%s,' $(seq 1 2000) >"$dir/in/commas.txt"
sox -n -r 8000 "$dir/in/tone.wav" synth 0.1 sine 440
head -c 30 "$dir/in/tone.wav" >"$dir/in/cut.wav"
head -c 44 "$dir/in/tone.wav" >"$dir/in/header.wav"
check run --engine emulated --firmware "$dir/missing.elf"
check run --engine emulated --firmware "$dir/in/text.elf"
check run --engine emulated --firmware /bin/sh
# The image with one field set to an address whose range wraps past 2^32 to the bottom of flash.
patch_elf() { python3 "$(dirname "$0")/wrapping_elf.py" "$image" "$2" "$1"; }
patch_elf PHDR "$dir/in/wraps.elf"
patch_elf SYM "$dir/in/main-wraps.elf"
for cmd in run bench; do
  opts=(--firmware "$dir/in/wraps.elf")
  [ $cmd = run ] && opts+=(--engine emulated --effect plasma --frames 1)
  check_says "a segment at 0xfffffff8 runs past the end of the 32-bit address space" $cmd "${opts[@]}"
done
check_says "no symbol main" run --engine emulated --frames 1 --firmware "$dir/in/main-wraps.elf"
check_says "a directory, not an ELF file" run --engine emulated --firmware "$dir/in"
check_says "empty, not an ELF file" run --engine emulated --firmware "$dir/in/empty"
check_says "is a directory" run --effect fall --frames 1 --audio "wav:$dir/in"
check_says "is a directory" run --effect fall --frames 1 --audio "codes:$dir/in"
check_says "is empty" run --effect fall --frames 1 --audio "wav:$dir/in/empty"
check run --effect fall --frames 1 --audio "wav:$dir/in/cut.wav"
check run --effect fall --frames 1 --audio "wav:$dir/in/header.wav"
check_says "entry 1, '1,2,3,4,5,6,7,8,9,10...'" run --effect fall --frames 1 --audio "codes:$dir/in/commas.txt"
check_says "entry 1, '\\x7fELF" run --effect fall --frames 1 --audio codes:/bin/sh
# Codes from a pipe: ten million, past ten minutes of conversions, are refused as they come.
err=$(yes 512 | head -c 40000000 | timeout "$limit" "$lpcdemo" run --effect fall --frames 1 \
  --audio codes:/dev/stdin 2>&1 >/dev/null)
status=$?
if [ $status -ne 2 ] || [[ $err != "lpcdemo: audio source 'codes:/dev/stdin': more than 10 minutes"* ]]; then
  echo "FAIL: ten million codes from a pipe -> status $status, stderr: $err"
  failed=1
fi
check run --start 5
check run --effect plasma --frames 1 --gif /dev/null/out.gif
check run --effect plasma --frames 1 --words "$dir"
check run --effect plasma --frames 1 --png-dir /dev/null/frames
# A directory where nothing can be made, even by root: the frames' own, and that of a file that
# can be written but not replaced (the run stages it beside itself).
check_says "cannot write /proc/nope" run --effect plasma --frames 1 --png-dir /proc/nope
check_says "cannot write /proc/self/comm" run --effect plasma --frames 1 --gif /proc/self/comm
check run --effect plasma --frames 1 --uart /dev/null/uart.txt
check run --effect plasma --frames 1 --profile "$dir/native.callgrind"
check run --engine emulated --effect plasma --frames 1 --profile /dev/null/p.callgrind
check bench --profile /dev/null/profiles
# The boot loader programs flash for the emulated chip; it makes no serial port for another.
check_says "isp runs the programmed flash: it needs --engine emulated" isp --port "$dir/port" --engine native
# A port that cannot be made is refused as any other bad input.
check_says "cannot make the port $dir/missing/tty: No such file or directory" isp --port "$dir/missing/tty"
check_says "--start: demo runs the image's own main from reset" run --start 5 --engine emulated
if [ -n "$(ls -A "$dir" | grep -v '^in$')" ]; then
  echo "FAIL: refused runs left files: $(ls -A "$dir")"
  failed=1
fi
# Ctrl-C during a long run: status 130 and no file under the outputs' names, nor a temporary
# one beside them.
"$lpcdemo" run --effect plasma --frames 100000 --gif "$dir/out.gif" --png-dir "$dir/png" \
  2>/dev/null >/dev/null &
pid=$!
for _ in $(seq 100); do
  [ -n "$(ls -A "$dir/png" 2>/dev/null)" ] && break
  sleep 0.1
done
kill -INT $pid
wait $pid
status=$?
if [ "$status" -ne 130 ] || [ -n "$(ls -A "$dir" | grep -v '^in$')" ]; then
  echo "FAIL: interrupted run -> status $status, left: $(ls -A "$dir")"
  failed=1
fi
# --audio with a sequence whose picture ignores the input still runs, and says so in one line;
# with one whose picture follows it, nothing is said.
for case in demo:1 plasma:1 cake:1 showcase:0 fall:0 fftwave:0; do
  said=$(timeout "$limit" "$lpcdemo" run --effect "${case%:*}" --frames 1 --audio noise 2>&1 \
    >/dev/null | grep -c "does not show its audio input")
  if [ "$said" != "${case#*:}" ]; then
    echo "FAIL: run --effect ${case%:*} --audio noise said the input is not shown $said times"
    failed=1
  fi
done
exit $failed
