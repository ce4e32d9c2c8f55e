#!/usr/bin/env python3
"""--vcd as a logic analyser's user meets it: sigrok's SPI decoder reads from the trace exactly
the words --words logs, at the link's bit rate, and the converter's busy pulses last one
conversion, on both engines."""

import struct
import subprocess
import sys
import tempfile

TIMEOUT = 120  # seconds for any one step
PCLK_HZ = 36e6
BIT_NS = 8 / PCLK_HZ * 1e9  # SCK = PCLK / 8
CONVERSION_NS = 11 * 256 / PCLK_HZ * 1e9  # 11 A/D clocks of PCLK / 256
SAMPLE_NS = 10  # sigrok samples the 1 ns trace every 10 ns: a decode in about a second
SPI = "spi:clk=SCK0:mosi=MOSI0:cs=LCD_CS:cpol=1:cpha=1:bitorder=msb-first:wordsize=9"


def sigrok(trace, decoder, annotation):
    """(first sample, last sample, text) of each annotation the decoder makes."""
    out = subprocess.run(["sigrok-cli", "-i", trace, "-I", f"vcd:downsample={SAMPLE_NS}",
                          "-P", decoder, "-A", annotation, "--protocol-decoder-samplenum"],
                         capture_output=True, text=True, check=True, timeout=TIMEOUT).stdout
    spans = []
    for line in out.splitlines():
        samples, _, text = line.partition(" ")
        first, last = samples.split("-")
        spans.append((int(first), int(last), text.split(": ")[1]))
    return spans


def check(lpcdemo, engine, out):
    trace, log = f"{out}/{engine}.vcd", f"{out}/{engine}.bin"
    subprocess.run([lpcdemo, "run", "--effect", "fall", "--frames", "1", "--engine", engine,
                    "--vcd", trace, "--words", log], check=True, stdout=subprocess.DEVNULL,
                   timeout=TIMEOUT)
    data = open(log, "rb").read()
    # On the wire bit 8 is clear for a command, where the log sets it.
    logged = [w ^ 0x100 for w in struct.unpack(f"<{len(data) // 2}H", data)]
    words = sigrok(trace, SPI, "spi=mosi-data")
    failures = []
    if [int(text, 16) for _, _, text in words] != logged:
        failures.append(f"{len(words)} words decoded differ from the {len(logged)} logged")
    bit_ns = sum(last - first for first, last, _ in words) * SAMPLE_NS / (9 * len(words) or 1)
    if abs(bit_ns - BIT_NS) > 0.02 * BIT_NS:
        failures.append(f"a bit takes {bit_ns:.1f} ns, not {BIT_NS:.1f}")
    # From the first rising edge on, the intervals alternate: busy, idle, busy ...
    busy = [(last - first) * SAMPLE_NS for first, last, _ in
            sigrok(trace, "timing:data=AD_BUSY", "timing=time")[::2]]
    off = [b for b in busy if abs(b - CONVERSION_NS) > 2 * SAMPLE_NS]
    if len(busy) < 1000 or off:  # calibration alone makes 2048
        failures.append(f"{len(busy)} busy pulses, {len(off)} not {CONVERSION_NS:.0f} ns: "
                        f"{off[:3]}")
    for f in failures:
        print(f"FAIL ({engine}): {f}")
    return not failures


def main():
    lpcdemo = sys.argv[1]
    with tempfile.TemporaryDirectory() as out:
        results = [check(lpcdemo, engine, out) for engine in ("native", "emulated")]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
