#!/usr/bin/env python3
"""gdb-multiarch against the emulated board, as a firmware developer uses it: a breakpoint,
a watchpoint, register reads, and a run to the end whose LCD words equal a run without the
debugger; then an image broken on purpose, which stops with SIGILL where it breaks."""

import pathlib
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

LPCDEMO = IMAGE = None
TIMEOUT = 120
BROKEN = 0xE7F000F0  # permanently undefined in ARM state
SHF_ALLOC = 0x2  # the section occupies memory at run time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def debug(image, args, gdb_commands):
    """Runs lpcdemo under gdb's batch commands; returns (gdb's output, lpcdemo's result)."""
    port = free_port()
    run = subprocess.Popen([LPCDEMO, "run", "--engine", "emulated", "--firmware", image,
                            "--gdb", str(port), *args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    try:
        run.stderr.readline()  # "waiting for gdb": listening now
        commands = [f"target remote 127.0.0.1:{port}", *gdb_commands]
        gdb = subprocess.run(["gdb-multiarch", "-nx", "-batch",
                              *[a for c in commands for a in ("-ex", c)], image],
                             capture_output=True, text=True, timeout=TIMEOUT)
        out, err = run.communicate(timeout=TIMEOUT)
        return gdb.stdout + gdb.stderr, run.returncode, out + err
    finally:
        run.kill()
        run.wait()


def break_image(path, symbol, offset):
    """A copy of the image with one instruction of `symbol` made undefined; its address."""
    nm = subprocess.run(["arm-none-eabi-nm", IMAGE], capture_output=True, text=True).stdout
    addr = int(next(l.split()[0] for l in nm.splitlines() if l.endswith(" " + symbol)), 16) + offset
    data = bytearray(pathlib.Path(IMAGE).read_bytes())
    shoff = struct.unpack_from("<I", data, 0x20)[0]
    entsize, count = struct.unpack_from("<HH", data, 0x2E)
    for i in range(count):
        _, kind, flags, start, at, size = struct.unpack_from("<6I", data, shoff + i * entsize)
        # The section that loads it; debug sections (not allocated) start at 0 as well.
        if kind == 1 and flags & SHF_ALLOC and start <= addr < start + size:
            struct.pack_into("<I", data, at + addr - start, BROKEN)
    pathlib.Path(path).write_bytes(data)
    return addr


class Gdb(unittest.TestCase):
    def test_breakpoints_watchpoints_and_the_same_words(self):
        with tempfile.TemporaryDirectory() as d:
            frames = ["--effect", "plasma", "--frames", "4"]
            output, status, _ = debug(IMAGE, [*frames, "--words", f"{d}/gdb.bin"], [
                "watch avg", "continue", "delete",
                "break *effectPlasma", "continue", "continue", "continue", "print/d $r0",
                "delete", "continue"])
            self.assertEqual(status, 0, output)
            self.assertIn("in calibratead", output)  # the watchpoint stopped there
            self.assertIn("$1 = 2", output)          # the third call renders frame 2
            self.assertIn("exited normally", output)
            plain = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                    *frames, "--words", f"{d}/plain.bin"], capture_output=True,
                                   timeout=TIMEOUT)
            self.assertEqual(plain.returncode, 0)
            self.assertEqual(pathlib.Path(f"{d}/gdb.bin").read_bytes(),
                             pathlib.Path(f"{d}/plain.bin").read_bytes())

    def test_a_broken_image_stops_with_sigill_where_it_breaks(self):
        with tempfile.TemporaryDirectory() as d:
            broken = f"{d}/broken.elf"
            addr = break_image(broken, "effectPlasma", 8)
            output, status, log = debug(broken, [], ["continue", "print/x $pc", "continue"])
            self.assertIn("SIGILL", output)
            self.assertIn(f"= {addr:#x}", output)
            self.assertIn("undefined instruction", output)  # the finding, on GDB's console
            self.assertEqual(status, 1, log)  # the run ends with its finding, as without GDB


if __name__ == "__main__":
    LPCDEMO, IMAGE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
