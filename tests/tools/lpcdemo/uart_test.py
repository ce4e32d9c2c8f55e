#!/usr/bin/env python3
"""UART0 as a user of the emulated board meets it: an image that prints "hello" and then waits
for ever for a byte to echo, with no frame, at 9600 and 115200 baud. --uart shows the bytes (on standard output
with -, in a file otherwise), sigrok's UART decoder reads the same bytes from the trace's TXD0
at the nominal rate, the characters follow each other at the divisor's exact bit time (the
image polls THRE, so each is written while the one before it is on the line), and
--board-seconds ends the run with one line naming the poll the program was in, status 0.
The same image made to halt once it has written its last byte ends its run there, and what its
UART still held leaves the pin while the halt loop spins. The bound ends the built image too:
in start-up from reset, and in an effect's bring-up, whose calibration takes 1024 conversions
of 78 us, with no call after it and no finding. On standard output each line comes as its
last byte leaves the pin, not when the run ends.

usage: uart_test.py LPCDEMO IMAGE_DIR (uart_hello_234.elf, uart_hello_20.elf)"""

import re
import select
import subprocess
import sys
import tempfile

TIMEOUT = 60  # seconds for any one step
PCLK_HZ = 36e6  # 3 x the 12 MHz crystal, VPBDIV 1, as the image sets them
DOWNSAMPLE = 10  # sigrok keeps every 10th nanosecond of the trace
SECONDS = 0.01  # board time: 6 characters at 9600 baud take 6.25 ms
HELLO = b"hello\n"


def symbol(elf, name):
    out = subprocess.run(["arm-none-eabi-nm", elf], capture_output=True, text=True, check=True,
                         timeout=TIMEOUT).stdout
    return int(re.search(rf"^([0-9a-f]+) \w {name}$", out, re.M).group(1), 16)


def sigrok(trace, baud, annotation):
    """(first sample, text) of each annotation the UART decoder makes on TXD0."""
    out = subprocess.run(["sigrok-cli", "-i", trace, "-I", f"vcd:downsample={DOWNSAMPLE}",
                          "-P", f"uart:rx=TXD0:baudrate={baud}", "-A", f"uart={annotation}",
                          "--protocol-decoder-samplenum"],
                         capture_output=True, text=True, check=True, timeout=TIMEOUT).stdout
    spans = []
    for line in out.splitlines():
        samples, _, text = line.partition(" ")
        spans.append((int(samples.split("-")[0]), text.split(": ", 1)[1]))
    return spans


def check(lpcdemo, image_dir, out, divisor, baud, uart):
    elf = f"{image_dir}/uart_hello_{divisor}.elf"
    trace = f"{out}/{divisor}.vcd"
    run = subprocess.run([lpcdemo, "run", "--engine", "emulated", "--firmware", elf, "--uart",
                          uart, "--vcd", trace, "--board-seconds", str(SECONDS)],
                         capture_output=True, timeout=TIMEOUT)
    stdout = run.stdout.decode(errors="replace")
    failures = []
    if run.returncode != 0 or run.stderr:
        failures.append(f"exit {run.returncode}, stderr {run.stderr!r}")
    printed = HELLO.decode() if uart == "-" else ""
    if uart != "-" and open(uart, "rb").read() != HELLO:
        failures.append(f"{uart} holds {open(uart, 'rb').read()!r}")
    # The poll is three instructions; the run stops before one of them.
    idle = symbol(elf, "idle")
    where = {f"0x{idle + k:08x} (idle+0x{k:x})" for k in (0, 4, 8)}
    lines = stdout[len(printed):].splitlines()
    expected_end = f"demo (emulated): {SECONDS} s of board time, the program at "
    if (not stdout.startswith(printed) or len(lines) != 2 or
            not lines[0].startswith(expected_end) or lines[0][len(expected_end):] not in where or
            lines[1] != "demo (emulated): 0 frames, 0 words, 0 findings"):
        failures.append(f"stdout {stdout!r}: not {printed!r}, the end at {sorted(where)} and "
                        "the summary")
    data = sigrok(trace, baud, "rx-data")
    if bytes(int(text, 16) for _, text in data) != HELLO:
        failures.append(f"sigrok reads {[text for _, text in data]} at {baud} baud")
    # One character: start bit, 8 data bits, stop bit, 16 x divisor peripheral clocks each.
    starts = [first * DOWNSAMPLE for first, text in sigrok(trace, baud, "rx-start")]
    char_ns = 10 * 16 * divisor / PCLK_HZ * 1e9
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    if len(gaps) != len(HELLO) - 1 or any(abs(g - char_ns) > DOWNSAMPLE for g in gaps):
        failures.append(f"start bits {gaps} ns apart, not {char_ns:.1f}")
    # The image made to halt after its last write, bounded halfway through the last character
    # (which the halt loop lets leave the pin): the bound holds there too.
    if divisor == 234 and len(starts) == len(HELLO):
        cut = subprocess.run([lpcdemo, "run", "--engine", "emulated", "--firmware",
                              f"{image_dir}/uart_hello_234-halt.elf", "--uart", f"{out}/cut.txt",
                              "--board-seconds", f"{(starts[-1] + char_ns / 2) / 1e9:.9f}"],
                             capture_output=True, timeout=TIMEOUT)
        held = open(f"{out}/cut.txt", "rb").read()
        if cut.returncode != 0 or held != HELLO[:-1]:
            failures.append(f"bound in the last character: exit {cut.returncode}, {held!r}")
    for f in failures:
        print(f"FAIL ({baud} baud): {f}")
    return not failures


def check_halt(lpcdemo, image_dir):
    run = subprocess.run([lpcdemo, "run", "--engine", "emulated", "--firmware",
                          f"{image_dir}/uart_hello_234-halt.elf", "--uart", "-"],
                         capture_output=True, text=True, timeout=TIMEOUT)
    expected = "hello\ndemo (emulated): 0 frames, 0 words, 0 findings\n"
    if run.returncode != 0 or run.stdout != expected:
        print(f"FAIL (halt): exit {run.returncode}, stdout {run.stdout!r}, not {expected!r}")
        return False
    return True


def check_flushed(lpcdemo, image_dir):
    # A day of board time: the run goes on long after "hello" until it is killed.
    run = subprocess.Popen([lpcdemo, "run", "--engine", "emulated", "--firmware",
                            f"{image_dir}/uart_hello_20.elf", "--uart", "-", "--board-seconds",
                            "86400"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        ready = select.select([run.stdout], [], [], 20)[0]
        line = run.stdout.readline() if ready else b""
        running = run.poll() is None
    finally:
        run.kill()
        run.wait()
        run.stdout.close()
    if line != b"hello\n" or not running:
        print(f"FAIL (flush): {line!r} while the run goes on: {running}")
        return False
    return True


def check_bounds(lpcdemo):
    failures = []
    for args, seconds, where in [(["--effect", "demo"], 0.0001, r"Reset_Handler"),
                                 (["--effect", "plasma"], 0.02, r"calibratead|\w*adc\w*")]:
        run = subprocess.run([lpcdemo, "run", "--engine", "emulated", *args, "--board-seconds",
                              str(seconds)], capture_output=True, text=True, timeout=TIMEOUT)
        name = args[1]
        expected = (rf"^{name} \(emulated\): {seconds} s of board time, the program at "
                    rf"0x[0-9a-f]{{8}} \(({where})\+0x[0-9a-f]+\)\n"
                    rf"{name} \(emulated\): 0 frames, \d+ words, 0 findings\n$")
        if run.returncode != 0 or not re.match(expected, run.stdout):
            failures.append(f"{name} at {seconds} s: exit {run.returncode}, {run.stdout!r}")
    for f in failures:
        print(f"FAIL (bound): {f}")
    return not failures


def main():
    lpcdemo, image_dir = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as out:
        results = [check(lpcdemo, image_dir, out, 234, 9600, "-"),
                   check(lpcdemo, image_dir, out, 20, 115200, f"{out}/uart.txt"),
                   check_halt(lpcdemo, image_dir), check_bounds(lpcdemo),
                   check_flushed(lpcdemo, image_dir)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
