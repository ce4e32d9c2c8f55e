#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/<target>/: a few valid inputs per target, in the
layout each target reads (see the comment at the top of each target). The ELF seeds are
assembled from the emulator's probe image with the arm-none-eabi tools."""

import io
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
CONVERSION_HZ = 36e6 / 256 / 11


def put(target, name, data):
    os.makedirs(os.path.join(CORPUS, target), exist_ok=True)
    with open(os.path.join(CORPUS, target, name), "wb") as f:
        f.write(data)


def tone(hz, amp, count, mid=512):
    return [round(mid + amp * math.sin(2 * math.pi * hz * i / CONVERSION_HZ)) for i in range(count)]


def codes_bytes(codes):
    return b"".join(struct.pack("<H", c) for c in codes)


def firmware():
    # audio_effects: effect, frame counter, zero level, frame length, frame, codes.
    def effect(kind, n, zero, frame, codes):
        return struct.pack("<BiHH", kind, n, zero, len(frame)) + frame + codes_bytes(codes)
    put("audio_effects", "fall-1khz", effect(0, 0, 512, b"", tone(1000, 100, 400)))
    put("audio_effects", "roundwave-440hz", effect(1, 7, 510, bytes(range(98)), tone(440, 60, 500)))
    put("audio_effects", "fftwave-chord", effect(2, -1, 512, bytes(range(256)),
                                                 [a + b - 512 for a, b in zip(tone(220, 45, 900),
                                                                              tone(1318, 30, 900))]))
    put("audio_effects", "fftwave-silent", effect(2, 2**31 - 1, 512, b"\x80", [512] * 300))
    # plasma_cake: effect, frame counter, previous frame.
    for name, kind, n in (("plasma-0", 0, 0), ("plasma-min", 0, -2**31), ("cake-100000", 1, 100000),
                          ("cake-max", 1, 2**31 - 1)):
        put("plasma_cake", name, struct.pack("<Bi", kind, n) + bytes([0x80, 0x7F, 0x00, 0xFF]))
    # fft: outputs, zero level, transform size, direction, data length, data, codes.
    def fft(outputs, zero, m, inverse, data, codes):
        return struct.pack("<BHBBH", outputs, zero, m, inverse, len(data)) + data + codes_bytes(codes)
    ramp = b"".join(struct.pack("<h", (i * 997) % 65536 - 32768) for i in range(512))
    put("fft", "98-outputs", fft(98, 512, 10, 0, ramp, tone(1000, 100, 800)))
    put("fft", "inverse-11", fft(128, 512, 11, 1, ramp, tone(3000, 120, 800)))
    put("fft", "one-output", fft(1, 500, 1, 0, b"\x00\x40\x00\xc0", [500] * 800))


def lcd_model():
    startup = [0x101, 0x1C6, 0x1B9, 0x000, 0x1B6, 0x080, 0x080, 0x081, 0x054, 0x045, 0x052,
               0x043, 0x1B3, 0x000, 0x008, 0x011, 0x019, 0x022, 0x02A, 0x033, 0x03C, 0x044,
               0x04D, 0x055, 0x05E, 0x067, 0x070, 0x07F, 0x1B5, 0x001, 0x1BD, 0x004, 0x1BE,
               0x004, 0x111, 0x1BA, 0x0FF, 0x003, 0x1B7] + [0] * 14 + [0x103, 0x120, 0x129,
                                                                        0x120, 0x125, 0x050]
    wire = lambda words: b"".join(struct.pack("<H", w ^ 0x100) for w in words)
    lines = lambda reset_low, select_low: struct.pack("<H", 0x8000 | reset_low | select_low << 1)
    pixels = [0x12C] + [(i * 37) & 0xFF for i in range(1500)]
    put("lcd_model", "startup-and-pixels", wire(startup) + wire(pixels))
    put("lcd_model", "reset-mid-frame", wire(startup) + wire(pixels[:301]) + lines(1, 1) +
        lines(0, 1) + wire(startup[:10]) + lines(0, 0) + wire([0x12C, 1, 2]))


def loaders():
    for name, rate, channels, width, seconds in (("8k-mono-16", 8000, 1, 2, 0.05),
                                                  ("44k-stereo-16", 44100, 2, 2, 0.01),
                                                  ("11k-mono-8", 11025, 1, 1, 0.03)):
        buf = io.BytesIO()
        with wave.open(buf, "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(width)
            w.setframerate(rate)
            frames = bytearray()
            for i in range(int(rate * seconds)):
                v = math.sin(2 * math.pi * 440 * i / rate)
                sample = struct.pack("<h", int(20000 * v)) if width == 2 else bytes([int(128 + 100 * v)])
                frames += sample * channels
            w.writeframes(bytes(frames))
        put("wav", name, bytes([0 if width == 1 else 50]) + buf.getvalue())
    # Regressions: a FLAC whose header promises 2^36 samples (the loader once allocated them),
    # and 1000 s of silence at 50 Hz in a few hundred bytes (once converted whole: 12.8M codes).
    stream = 44100 << 44 | 1 << 41 | 15 << 36 | (1 << 36) - 1
    put("wav", "flac-claims-2e36-samples", b"\0fLaC\x80\0\0\x22\x10\0\x10\0" + bytes(6) +
        stream.to_bytes(8, "big") + bytes(16))
    with tempfile.TemporaryDirectory() as tmp:
        flac = os.path.join(tmp, "silence.flac")
        subprocess.run(["sox", "-D", "-n", "-r", "50", "-c", "1", "-b", "16", flac, "synth",
                        "1000", "sine", "0", "vol", "0"], check=True)
        with open(flac, "rb") as f:
            put("wav", "flac-silence-50hz-1000s", b"\0" + f.read())
    put("codes", "tone", "\n".join(map(str, tone(1000, 100, 60))).encode() + b"\n")
    put("codes", "crlf-tabs", b"0\r\n1023\t512 511\r\n")
    put("codes", "one", b"512")
    with tempfile.TemporaryDirectory() as tmp:
        obj, elf = os.path.join(tmp, "probe.o"), os.path.join(tmp, "probe.elf")
        src = os.path.join(HERE, "..", "tests", "emu", "probe.S")
        subprocess.run(["arm-none-eabi-as", "-mcpu=arm7tdmi-s", "-o", obj, src], check=True)
        subprocess.run(["arm-none-eabi-ld", "-Ttext=0", "-e", "_startup", "-o", elf, obj], check=True)
        with open(elf, "rb") as f:
            full = f.read()
        subprocess.run(["arm-none-eabi-strip", elf], check=True)
        with open(elf, "rb") as f:
            stripped = f.read()
    put("elf", "probe", full)
    put("elf", "probe-stripped", stripped)
    put("elf", "probe-truncated", full[:len(full) // 2])


def packet(body):
    return b"$" + body + b"#%02x" % (sum(body) & 0xFF)


def gdb_packets():
    session = [b"+", packet(b"qSupported:multiprocess+;swbreak+;hwbreak+"), b"+",
               packet(b"qXfer:features:read:target.xml:0,ffb"), b"+", packet(b"?"), b"+",
               packet(b"g"), b"+", packet(b"p19"), b"+", packet(b"m0,40"), b"+",
               packet(b"M100,4:01020304"), b"+", packet(b"Z0,100,4"), b"+", packet(b"Z2,200,4"),
               b"+", packet(b"c"), b"+", b"+", packet(b"z0,100,4"), b"+", packet(b"s"), b"+",
               b"\x03", b"+", packet(b"P f=00010000".replace(b" ", b"")), b"+",
               packet(b"vCont;c"), b"+", b"+", packet(b"D"), b"+"]
    put("gdb_packets", "session", b"".join(session))
    put("gdb_packets", "no-ack-mode", b"+" + packet(b"QStartNoAckMode") + b"+" +
        packet(b"G" + b"00000000" * 17) + packet(b"Z1,0,2") + packet(b"k"))
    put("gdb_packets", "bad-checksum", b"$g#00-" + packet(b"g") + b"+" + packet(b"vKill;1"))


def boot_loader():
    def uu(data):
        line = bytes([32 + len(data)])
        for i in range(0, len(data), 3):
            v = int.from_bytes(data[i:i + 3].ljust(3, b"\0"), "big")
            line += bytes((32 + ((v >> s) & 63)) or 96 for s in (18, 12, 6, 0))
        return line.replace(b" ", b"`")
    words = [0xEA000006] * 7
    words.insert(5, (-sum(words)) & 0xFFFFFFFF)
    block = b"".join(struct.pack("<I", w) for w in words)
    lines = [b"?", b"Synchronized", b"12000", b"A 0", b"U 23130", b"J", b"K",
             b"W 1073742336 32", uu(block), str(sum(block)).encode(), b"P 0 0", b"E 0 0",
             b"P 0 0", b"C 0 1073742336 256", b"I 0 0", b"M 0 1073742336 32", b"R 0 32", b"OK",
             b"G 0 A"]
    session = lines[0] + b"".join(l + b"\r\n" for l in lines[1:])
    put("boot_loader", "flash-and-go", b"\x03" + session)
    put("boot_loader", "byte-by-byte", b"\x00" + session[:120])
    put("boot_loader", "errors", b"\x07?Synchronized\r\n12000\r\nC 0 0 256\r\nW 1 3\r\nX\r\n"
        b"E 5 2\r\nG 0 T\r\nB 9600 1\r\n")


if __name__ == "__main__":
    firmware()
    lcd_model()
    loaders()
    gdb_packets()
    boot_loader()
    sys.exit(0)
