#!/usr/bin/env python3
"""--vcd as a logic analyser's user meets it: sigrok's SPI decoder reads from the trace exactly
the words --words logs, at the link's bit rate, and the converter's busy pulses last one
conversion, on both engines; every time in the file's own unit, as its $timescale gives it.
P0.9 shows what bring-up does to it. The same run's pictures come at their defaults: pixels
4 × 4, a GIF that loops for ever, and on the native engine, which has no clock, 20 frames a
second."""

import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time

TIMEOUT = 120  # seconds for any one step
PCLK_HZ = 36e6
CCLK_HZ = 36e6  # the core's clock, PCLK's too once io_init sets VPBDIV
BIT_S = 8 / PCLK_HZ  # SCK = PCLK / S0SPCCR, 8: 222 ns
CONVERSION_S = 11 * 256 / PCLK_HZ  # 11 A/D clocks of PCLK / 256: 78.2 us
DOWNSAMPLE = 10  # sigrok keeps every 10th time unit of the trace: a decode in about a second
SPI = "spi:clk=SCK0:mosi=MOSI0:cs=LCD_CS:cpol=1:cpha=1:bitorder=msb-first:wordsize=9"
UNITS = {"s": 1, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12, "fs": 1e-15}
SI = {"s": 1, "ms": 1e-3, "μs": 1e-6, "ns": 1e-9, "ps": 1e-12}  # sigrok's time annotations


def read_trace(path):
    """(seconds a time unit, {signal name: [(time, level), ...]}), the levels at #0 first."""
    with open(path) as f:
        text = f.read()
    header, _, body = text.partition("$enddefinitions")
    number, unit = re.search(r"\$timescale\s+(\d+)\s*([a-z]+)\s+\$end", header).groups()
    names = dict(re.findall(r"\$var\s+wire\s+1\s+(\S+)\s+(\S+)\s+\$end", header))
    changes = {name: [] for name in names.values()}
    time = 0
    for line in body.split("\n"):
        if line.startswith("#"):
            time = int(line[1:])
        elif line[:1] in ("0", "1") and line[1:] in names:
            changes[names[line[1:]]].append((time, int(line[0])))
    return int(number) * UNITS[unit], changes


def sigrok(trace, decoder, annotation):
    """(first sample, last sample, text) of each annotation the decoder makes."""
    out = subprocess.run(["sigrok-cli", "-i", trace, "-I", f"vcd:downsample={DOWNSAMPLE}",
                          "-P", decoder, "-A", annotation, "--protocol-decoder-samplenum"],
                         capture_output=True, text=True, check=True, timeout=TIMEOUT).stdout
    spans = []
    for line in out.splitlines():
        samples, _, text = line.partition(" ")
        first, last = samples.split("-")
        spans.append((int(first), int(last), text.split(": ")[1]))
    return spans


def bring_up_failures(engine, unit_s, changes):
    """P0.9, pulled up at reset, goes low with the LCD's lines when io_init makes them outputs
    (FIO0DIR; the latch is 0), and high by its last write, one LCD-reset wait (waitsome) after
    LCD_RESET comes back up; then nothing touches it, and only then does the first word go out."""
    p09, reset, cs = changes["P0_9"], changes["LCD_RESET"], changes["LCD_CS"]
    if [level for _, level in p09] != [1, 0, 1] or [level for _, level in reset[:3]] != [1, 0, 1]:
        return [f"P0_9 changes {p09}, LCD_RESET {reset[:3]}: not high, low, high each"]
    p09_low, p09_high = p09[1][0], p09[2][0]
    reset_low, reset_high = reset[1][0], reset[2][0]
    first_clock = changes["SCK0"][1][0]
    failures = []
    if not p09_low == reset_low == cs[1][0]:
        failures.append(f"P0_9 falls at {p09_low}, LCD_RESET at {reset_low}, LCD_CS at "
                        f"{cs[1][0]}: not at the one FIO0DIR write")
    if not reset_high < p09_high < first_clock:
        failures.append(f"P0_9 rises at {p09_high}: not between LCD_RESET's rise at "
                        f"{reset_high} and the first word at {first_clock}")
    pulse_s, wait_s = (reset_high - reset_low) * unit_s, (p09_high - reset_high) * unit_s
    if engine == "native":
        # No clock: each register access takes one 36 MHz clock, a busy-wait pass none, so
        # the write that raises P0.9 comes one access after the one that ends the reset.
        if abs(wait_s - 1 / 36e6) > 1.5e-9:
            failures.append(f"P0_9 rises {wait_s * 1e9:.1f} ns after LCD_RESET, not one access")
    else:
        # Both waits are 153 passes of a counted loop, some 4 to 40 clocks each at 36 MHz,
        # after the PLL's lock (100 us of the 12 MHz crystal).
        one_wait = 153 * 4 / 36e6 <= pulse_s <= 153 * 40 / 36e6
        if not one_wait or abs(wait_s - pulse_s) > 0.05 * pulse_s:
            failures.append(f"LCD reset pulse {pulse_s * 1e6:.1f} us, P0_9 rise "
                            f"{wait_s * 1e6:.1f} us after it: not one 153-pass wait each")
        if p09_low * unit_s < 100e-6:
            failures.append(f"P0_9 falls at {p09_low * unit_s * 1e6:.1f} us, before the PLL "
                            "could lock")
    return failures


def select_pulse_failures(unit_s, changes):
    """Before each command the image raises LCD_CS and lowers it again with two stores to the
    fast GPIO registers with one data-processing instruction between them (the first store's
    second cycle, the instruction, the second store's first cycle): the pin is high for 3
    clocks, 83.3 ns at 36 MHz, as the core's timing gives it."""
    cs, first_clock = changes["LCD_CS"], changes["SCK0"][1][0]
    widths = [(fall - rise) * unit_s for (rise, up), (fall, down) in zip(cs, cs[1:])
              if up == 1 and down == 0 and rise > first_clock]
    off = [w for w in widths if abs(w - 3 / CCLK_HZ) > unit_s]
    if len(widths) < 2 or off:
        return [f"{len(widths)} select pulses, {len(off)} not 3 clocks: {off[:3]}"]
    return []


def picture_failures(engine, gif, png):
    """What differs from the defaults in a run's GIF and first PNG."""
    width, height = 98 * 4, 67 * 4
    failures = []
    if struct.unpack(">II", png[16:24]) != (width, height):  # IHDR
        failures.append(f"PNG of {struct.unpack('>II', png[16:24])}, not {width} x {height}")
    if struct.unpack("<HH", gif[6:10]) != (width, height):  # logical screen
        failures.append(f"GIF of {struct.unpack('<HH', gif[6:10])}, not {width} x {height}")
    loop = gif.find(b"NETSCAPE2.0\x03\x01")
    if loop < 0 or gif[loop + 13:loop + 15] != b"\0\0":
        failures.append("the GIF does not loop for ever")
    control = gif.find(b"\x21\xf9\x04")  # the first frame's delay, in hundredths
    if engine == "native" and struct.unpack("<H", gif[control + 4:control + 6]) != (5,):
        failures.append(f"frame delay {gif[control + 4:control + 6]!r}, not 5 hundredths")
    return failures


def check(lpcdemo, engine, out):
    trace, log = f"{out}/{engine}.vcd", f"{out}/{engine}.bin"
    gif, png = f"{out}/{engine}.gif", f"{out}/{engine}-png"
    summary = subprocess.run([lpcdemo, "run", "--effect", "fall", "--frames", "1", "--engine",
                              engine, "--vcd", trace, "--words", log, "--gif", gif,
                              "--png-dir", png], check=True,
                             capture_output=True, text=True, timeout=TIMEOUT).stdout
    data = open(log, "rb").read()
    # On the wire bit 8 is clear for a command, where the log sets it.
    logged = [w ^ 0x100 for w in struct.unpack(f"<{len(data) // 2}H", data)]
    words = sigrok(trace, SPI, "spi=mosi-data")
    failures = []
    # The run ends at the one frame asked for, on either engine, and counts what it logged.
    if summary != f"fall ({engine}): 1 frame, {len(logged)} words, 0 findings\n":
        failures.append(f"summary {summary!r} for {len(logged)} words logged")
    if [int(text, 16) for _, _, text in words] != logged:
        failures.append(f"{len(words)} words decoded differ from the {len(logged)} logged")
    unit_s, changes = read_trace(trace)
    sample_s = DOWNSAMPLE * unit_s
    bit_s = sum(last - first for first, last, _ in words) * sample_s / (9 * len(words) or 1)
    if abs(bit_s - BIT_S) > 0.02 * BIT_S:
        failures.append(f"a bit takes {bit_s * 1e9:.1f} ns, not {BIT_S * 1e9:.1f}")
    # From the first rising edge on, the intervals alternate: busy, idle, busy ... sigrok
    # gives each in seconds at the sample rate it took from the file.
    busy = [float(value) * SI[unit] for value, unit in
            (text.split()[:2] for _, _, text in
             sigrok(trace, "timing:data=AD_BUSY", "timing=time")[::2])]
    off = [b for b in busy if abs(b - CONVERSION_S) > 2 * sample_s]
    if len(busy) < 1000 or off:  # calibration alone makes 2048
        failures.append(f"{len(busy)} busy pulses, {len(off)} not {CONVERSION_S * 1e6:.1f} us: "
                        f"{off[:3]}")
    failures += bring_up_failures(engine, unit_s, changes)
    if engine == "emulated":
        failures += select_pulse_failures(unit_s, changes)
    failures += picture_failures(engine, open(gif, "rb").read(),
                                 open(f"{png}/frame0000.png", "rb").read())
    for f in failures:
        print(f"FAIL ({engine}): {f}")
    return not failures


def interrupted_run(lpcdemo, out, frames):
    """stderr of a plasma run of `frames` frames (None: run's default, 100) with --vcd,
    interrupted once its trace is begun (the note on its size comes before)."""
    trace = f"{out}/{frames}/plasma.vcd"
    os.makedirs(os.path.dirname(trace))
    count = [] if frames is None else ["--frames", str(frames)]
    run = subprocess.Popen([lpcdemo, "run", "--effect", "plasma", *count, "--vcd", trace],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(300):  # 30 s at most
            if os.listdir(os.path.dirname(trace)) or run.poll() is not None:
                break
            time.sleep(0.1)
        run.send_signal(signal.SIGINT)
        err = run.communicate(timeout=TIMEOUT)[1]
    finally:
        run.kill()
        run.wait()
    return err


def size_note_failures(lpcdemo, out):
    """A trace that will pass 1 GB is announced before the run, its size the frames times the
    rate; the rate is at least what a frame of plasma adds to a trace, and not far above."""
    failures = []
    sizes = {}
    for frames in (1, 3):
        trace = f"{out}/plasma-{frames}.vcd"
        subprocess.run([lpcdemo, "run", "--effect", "plasma", "--frames", str(frames), "--vcd",
                        trace], check=True, capture_output=True, timeout=TIMEOUT)
        sizes[frames] = os.path.getsize(trace)
    per_frame = (sizes[3] - sizes[1]) / 2
    err = interrupted_run(lpcdemo, out, 400)
    m = re.match(r"lpcdemo: --vcd: 400 frames will write about (\d+\.\d) GB of trace \(about "
                 r"(\d+\.\d) MB a frame, an estimate\)\n", err)
    if not m:
        return [f"a run of 400 frames with --vcd says {err!r}"]
    size, rate = float(m.group(1)) * 1e9, float(m.group(2)) * 1e6
    if abs(size - 400 * rate) > 0.05e9:
        failures.append(f"400 frames at {rate} bytes a frame said to write {size} bytes")
    if not per_frame <= rate <= 1.25 * per_frame:
        failures.append(f"{rate} bytes a frame said, {per_frame} written by plasma")
    # The most frames within 1 GB at the rate said, and one more.
    most = int(1e9 // rate)
    for frames, noted in ((most, False), (most + 1, True), (None, False)):
        said = "lpcdemo: --vcd:" in interrupted_run(lpcdemo, out, frames)
        if said != noted:
            failures.append(f"{frames} frames at {rate} bytes: noted {said}")
    return failures


def main():
    lpcdemo = sys.argv[1]
    with tempfile.TemporaryDirectory() as out:
        results = [check(lpcdemo, engine, out) for engine in ("native", "emulated")]
        failures = size_note_failures(lpcdemo, out)
        for f in failures:
            print(f"FAIL (size): {f}")
    return 0 if all(results) and not failures else 1


if __name__ == "__main__":
    sys.exit(main())
