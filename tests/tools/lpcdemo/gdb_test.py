#!/usr/bin/env python3
"""gdb-multiarch against the emulated board, as a firmware developer uses it: a breakpoint,
a watchpoint, register reads, and a run to the end whose LCD words equal a run without the
debugger; then an image broken on purpose, which stops with SIGILL where it breaks; code that
gdb patches into flash to hit each kind of watchpoint and to fault at a known instruction; the
ways a session ends (detach, kill, an exit after a finding); `load` into the flash of a chip
running another image, `monitor reset`, and the `monitor cycles` stopwatch against the profile."""

import os
import pathlib
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

from profile_test import annotate  # callgrind_annotate's inclusive costs

LPCDEMO = IMAGE = PROBE = None
TIMEOUT = 120
BROKEN = 0xE7F000F0  # permanently undefined in ARM state
SHF_ALLOC = 0x2  # the section occupies memory at run time
SPARE = 0x40004000  # RAM above the image's stack (it ends at _stack_end, 0x40001fdc)
UNMAPPED = 0x50000000  # neither flash, RAM nor a peripheral on the LPC2138
RESET_CPSR = 0xD3  # the ARM7TDMI out of reset: Supervisor mode, IRQ and FIQ masked, ARM state
S0SPDR = 0xE0020008  # SPI0's data register, 16 bits wide
S0SPCR = 0xE0020000  # SPI0's control register, 16 bits wide, 0 at reset
PLLCON = 0xE01FC080  # the PLL's enable and connect bits, 0 at reset


def stop_replies(output):
    """The stop replies gdb received ('set debug remote 1'), in order."""
    return re.findall(r"Packet received: ([TSWX][0-9a-f]{2}[^\s]*)", output)


def finish(run):
    """Waits for a Popen'd lpcdemo: (its exit code, its output, its peak memory in KB)."""
    timer = threading.Timer(TIMEOUT, run.kill)
    timer.start()
    try:
        with run.stdout, run.stderr:
            out, err = run.stdout.read(), run.stderr.read()  # a summary: less than a pipe holds
        _, status, usage = os.wait4(run.pid, 0)
    finally:
        timer.cancel()
    run.returncode = os.waitstatus_to_exitcode(status)
    return run.returncode, out + err, usage.ru_maxrss


def plain_run(args):
    """lpcdemo without a debugger: (exit code, output, peak memory in KB)."""
    return finish(subprocess.Popen([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                    *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def debug(image, args, gdb_commands, symbols=None):
    """Runs lpcdemo on `image` under gdb's batch commands, gdb reading `symbols` (the image
    itself by default); returns (gdb's output, lpcdemo's exit code, lpcdemo's output) and keeps
    lpcdemo's peak memory in debug.peak_kb."""
    port = free_port()
    run = subprocess.Popen([LPCDEMO, "run", "--engine", "emulated", "--firmware", image,
                            "--gdb", str(port), *args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    try:
        run.stderr.readline()  # "waiting for gdb": listening now
        # Generous for a loaded machine; no packet should take gdb's default 2 s.
        commands = ["set remotetimeout 60", f"target remote 127.0.0.1:{port}", *gdb_commands]
        gdb = subprocess.run(["gdb-multiarch", "-nx", "-batch",
                              *[a for c in commands for a in ("-ex", c)], symbols or image],
                             capture_output=True, text=True, timeout=TIMEOUT)
        status, log, debug.peak_kb = finish(run)
        return gdb.stdout + gdb.stderr, status, log
    finally:
        if run.returncode is None:
            run.kill()
            finish(run)


def address(name):
    """The address of the image's one symbol whose (mangled) name holds `name`."""
    nm = subprocess.run(["arm-none-eabi-nm", IMAGE], capture_output=True, text=True).stdout
    return int(next(l.split()[0] for l in nm.splitlines() if name in l.split()[-1]), 16)


def break_image(path, symbol, offset):
    """A copy of the image with one instruction of `symbol` made undefined; its address."""
    addr = address(symbol) + offset
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
                # Set on code that has run already (frame 0's), it still stops there.
                f"tbreak *{address('draw_field'):#x}", "continue",
                "break *effectPlasma", "continue", "bt", "finish", "continue", "print/d $r0",
                "delete", "continue"])
            self.assertEqual(status, 0, output)
            self.assertIn("in calibratead", output)  # the watchpoint stopped there
            self.assertIn("$1 = 2", output)          # the second stop there renders frame 2
            self.assertIn("exited normally", output)
            # The effect returns into main, where the backtrace ends, and finish stops there.
            self.assertRegex(output, r"\n#1  0x[0-9a-f]+ in main \(\) at [^\n]*main\.cpp:\d+\n"
                                     r"main \(\) at [^\n]*main\.cpp:\d+\n")
            self.assertNotIn("#2", output)
            self.assertNotIn("Backtrace stopped", output)
            peak_kb = debug.peak_kb
            plain, _, plain_kb = plain_run([*frames, "--words", f"{d}/plain.bin"])
            self.assertEqual(plain, 0)
            self.assertEqual(pathlib.Path(f"{d}/gdb.bin").read_bytes(),
                             pathlib.Path(f"{d}/plain.bin").read_bytes())
            # The stops, inserts and steps keep the translated code: the session takes little
            # more memory than the run (emptying Unicorn's translations touches a gigabyte).
            self.assertLess(peak_kb, 2 * plain_kb)

    def test_next_over_a_loop_stops_once(self):
        # At the first pass of effectFall's fade loop, 24 passes of 28 instructions on one
        # source line (the asm statement in fall_move_down): next steps over the range of that
        # line, which the loop leaves once, at its end; gdb sends no single steps.
        source = pathlib.Path(__file__).resolve().parents[3] / "firmware/effects/effects.cpp"
        text = source.read_text()
        body = text.index("void fall_move_down()")
        line, rows = (text[:text.index(s, body)].count("\n") + 1
                      for s in ("asm volatile", "for (int y"))
        with tempfile.TemporaryDirectory() as d:
            frames = ["--effect", "fall", "--frames", "2"]
            output, status, log = debug(IMAGE, [*frames, "--words", f"{d}/gdb.bin"], [
                f"break effects.cpp:{line}", "continue", "delete", "set debug remote 1", "next",
                "set debug remote 0", "continue"])
            self.assertEqual(status, 0, log)
            self.assertIn("Sending packet: $vCont;r", output)
            self.assertNotIn("Sending packet: $vCont;s", output)
            self.assertEqual(len(stop_replies(output)), 1, output[-2000:])
            self.assertIn(f"\n{rows}\t  for (int y", output)  # the next row, past the loop
            plain_run([*frames, "--words", f"{d}/plain.bin"])
            self.assertEqual(pathlib.Path(f"{d}/gdb.bin").read_bytes(),
                             pathlib.Path(f"{d}/plain.bin").read_bytes())

    def test_large_memory_writes_a_flash_dump_and_load(self):
        # Packets as large as the stub says it takes, in GDB's binary X packets: 10,000 bytes
        # of RAM; a word of flash, which GDB refuses to write outside `load` under the stub's
        # memory map; the flash read back whole, then the image loaded again over itself
        # (vFlash packets) and the chip reset: the flash holds the session's image, whose
        # symbols stay; the run then goes on to the same words as without.
        with tempfile.TemporaryDirectory() as d:
            flash = pathlib.Path(IMAGE).with_suffix(".bin").read_bytes()
            output, status, log = debug(IMAGE, ["--effect", "plasma", "--frames", "1",
                                                "--words", f"{d}/gdb.bin"], [
                "set debug remote 1",
                f"set {{char[10000]}}{SPARE:#x} = {{0x5a}}",
                "set debug remote 0",
                f"print/x *(unsigned char*){SPARE:#x}",               # $1
                "set {int}0x8000 = 0x12345678", "print/x *(int*)0x8000",  # $2: still erased
                # '*', '}', '$' and '#' go escaped in an X packet
                f"set {{int}}{SPARE + 16:#x} = 0x2a7d2423", f"print/x *(int*){SPARE + 16:#x}",
                f"dump binary memory {d}/flash.bin 0 {len(flash):#x}",
                "load", "monitor reset halt", "continue"])
            self.assertIn(f"Sending packet: $X{SPARE:x},2710:", output)  # one packet, 10,000 bytes
            self.assertIn("Packet received: OK", output)
            self.assertIn("$1 = 0x5a", output)
            self.assertIn("Writing to flash memory forbidden in this context", output)
            self.assertIn("$2 = 0xffffffff", output)
            self.assertIn("$3 = 0x2a7d2423", output)
            self.assertEqual(pathlib.Path(f"{d}/flash.bin").read_bytes(), flash)
            self.assertIn("Transfer rate", output)  # load went through
            self.assertIn(f"the flash holds {IMAGE}: its symbols name the code", output)
            self.assertEqual(status, 0, log)
            self.assertNotIn("write to flash", log)
            plain = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                    "--effect", "plasma", "--frames", "1", "--words",
                                    f"{d}/plain.bin"], capture_output=True, timeout=TIMEOUT)
            self.assertEqual(pathlib.Path(f"{d}/gdb.bin").read_bytes(),
                             pathlib.Path(f"{d}/plain.bin").read_bytes())

    def test_a_broken_image_stops_with_sigill_where_it_breaks(self):
        with tempfile.TemporaryDirectory() as d:
            broken = f"{d}/broken.elf"
            addr = break_image(broken, "effectPlasma", 8)
            output, status, log = debug(broken, [], ["continue", "print/x $pc", "continue"])
            self.assertIn("Program received signal SIGILL", output)
            self.assertIn("Program terminated with signal SIGILL", output)  # on continuing
            self.assertIn(f"= {addr:#x}", output)
            # The finding, on GDB's console, at the source line GDB shows for the stop.
            shown = re.search(rf"0x0*{addr:x} in effectPlasma \(.*\) at (\S+:\d+)\n", output)
            self.assertIsNotNone(shown, output)
            self.assertIn(f"undefined instruction {BROKEN:#010x} at {addr:#010x} "
                          f"(effectPlasma+0x8) at {shown[1]}\n", output)
            self.assertEqual(status, 1, log)  # the run ends with its finding, as without GDB

    def test_watchpoints_faults_and_cpsr_in_patched_code(self):
        # At effectPlasma's first call gdb overwrites its code with loads and stores next to
        # and onto watched bytes, then a store to an unmapped address.
        code = [0xE5C10001,  # +0x00 strb r0,[r1,#1]  onto watch 3, beside watch 2
                0xE5C10002,  # +0x04 strb r0,[r1,#2]  beside watch 3
                0xE5D13003,  # +0x08 ldrb r3,[r1,#3]  beside the read watch
                0xE5D13006,  # +0x0c ldrb r3,[r1,#6]  beside it, in the same word
                0xE5913004,  # +0x10 ldr  r3,[r1,#4]  over the read watch
                0xE5C10008,  # +0x14 strb r0,[r1,#8]  beside the access watch, same word
                0xE5C1000A,  # +0x18 strb r0,[r1,#10] beside it above
                0xE5810008,  # +0x1c str  r0,[r1,#8]  a word over the access watch's byte
                0xE5820000]  # +0x20 str  r0,[r2]     unmapped: SIGSEGV here
        output, status, log = debug(IMAGE, ["--effect", "plasma", "--frames", "1"], [
            # Without the target's memory map GDB writes flash with plain memory packets,
            # which the emulator takes as a debugger's patch.
            "delete mem",
            "print/x $cpsr",                     # $1
            f"set $cpsr = {RESET_CPSR | 0x60000000:#x}",  # Z and C set
            "maint flush register-cache", "print/x $cpsr", "print/x $pc",  # $2 $3
            "set {int}0x40007ffc = 0x11223344", "print/x *(int*)0x40007ffc",  # RAM's last word: $4
            f"set $cpsr = {RESET_CPSR:#x}",
            "break *effectPlasma", "continue", "delete",
            f"set {{int[{len(code)}]}}effectPlasma = {{{', '.join(map(hex, code))}}}",
            "set $r0 = 0xa5a5", f"set $r1 = {SPARE:#x}", f"set $r2 = {UNMAPPED:#x}",
            f"watch *(char*){SPARE:#x}", f"watch *(char*){SPARE + 1:#x}",
            f"rwatch *(short*){SPARE + 4:#x}", f"awatch *(char*){SPARE + 9:#x}",
            "set debug remote 1", "continue", "continue", "continue", "continue",
            "set debug remote 0", "print/x $pc - (int)effectPlasma",   # $5
            "set debug remote 1", "continue"])
        self.assertIn(f"$1 = {RESET_CPSR:#x}", output)
        self.assertIn(f"$2 = {RESET_CPSR | 0x60000000:#x}", output)
        self.assertIn("$3 = 0x0", output)  # the write went to cpsr, not to the pc
        # Each watchpoint once, by its kind, at the byte it watches: gdb steps over the access
        # and shows where the next instruction begins.
        hits = re.findall(r"^(Hardware [a-z() /]*watchpoint \d+): .*\n\n(?:Old )?[Vv]alue = (\d+)"
                          r"(?:.*\nNew value = (\d+))?.*\n0x([0-9a-f]+) in", output, re.M)
        at = address("effectPlasma")
        self.assertEqual(hits, [("Hardware watchpoint 3", "0", "165", f"{at + 0x04:08x}"),
                                ("Hardware read watchpoint 4", "0", "", f"{at + 0x14:08x}"),
                                ("Hardware access (read/write) watchpoint 5", "0", "165",
                                 f"{at + 0x20:08x}")], output[-3000:])
        self.assertIn("Program received signal SIGSEGV", output)
        self.assertIn("$5 = 0x20", output)  # at the store that faulted
        self.assertIn(f"write to unmapped address {UNMAPPED:#010x} (32 bits)", output)
        self.assertIn("$4 = 0x11223344", output)
        self.assertIn("Program terminated with signal SIGSEGV", output)
        self.assertEqual(status, 1, log)
        replies = stop_replies(output)
        self.assertEqual([r for r in replies if "watch" in r],
                         [f"T05watch:{SPARE + 1:x};", f"T05rwatch:{SPARE + 4:x};",
                          f"T05awatch:{SPARE + 9:x};"])
        self.assertEqual(replies[-2:], ["T0b", "X0b"])  # SIGSEGV is 11

    def test_a_swi_stops_with_sigtrap_at_the_swi(self):
        # Before the swi, a byte read of a 16-bit register: a finding that does not stop. The
        # patch lands while frame 1 draws, over effectPlasma's first block, which frames 0 and 1
        # ran and no breakpoint touched: frame 2 runs it as patched.
        code = [0xE59F1000,  # ldr r1, [pc]: the word after the next
                0xE5D13000,  # ldrb r3, [r1]
                S0SPDR,      # as an instruction: and r0, r2, r8
                0xEF000000]  # swi 0
        output, status, log = debug(IMAGE, ["--effect", "plasma", "--frames", "3"], [
            "break draw_field", "continue", "continue", "delete", "delete mem",
            f"set {{int[{len(code)}]}}effectPlasma = {{{', '.join(map(hex, code))}}}",
            "info line *(effectPlasma + 4)",
            "continue", "print/x $pc - (int)effectPlasma", "continue"])
        self.assertIn("Program received signal SIGTRAP", output)
        self.assertIn("$1 = 0xc", output)
        self.assertIn("software interrupt", output)
        # The finding names the line GDB gives the load's address.
        line, file = re.search(r'Line (\d+) of "([^"]+)" starts at address', output).groups()
        self.assertRegex(output, rf"finding: S0SPDR .*read of 8 bits on a 16-bit register.* "
                                 rf"\(effectPlasma\+0x4\)\) at {re.escape(file)}:{line}\n")
        self.assertIn("Program terminated with signal SIGTRAP", output)
        self.assertEqual(status, 1, log)

    def test_detach_kill_and_an_exit_after_a_finding(self):
        frames = ["--effect", "plasma", "--frames", "3"]
        # Detached at the second frame, the run goes on to its end on its own.
        output, status, log = debug(IMAGE, frames, ["break *effectPlasma", "continue",
                                                    "continue", "detach"])
        self.assertIn("[Inferior 1 (Remote target) detached]", output)
        plain = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                *frames], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((status, log.split("\n")[0]), (0, plain.stdout.strip()), output)
        # Killed as the second frame begins: the run ends there, as a run of one frame does.
        output, status, log = debug(IMAGE, frames, ["break *effectPlasma", "continue",
                                                    "continue", "kill"])
        self.assertIn("[Inferior 1 (Remote target) killed]", output)
        one = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                              *frames[:-1], "1"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((status, log.split("\n")[0]), (0, one.stdout.strip()), output)
        # A word written to SPI0 while it is no master is a finding that does not stop the run:
        # the program's end is an exit with code 1.
        output, status, log = debug(IMAGE, frames, [f"set {{short}}{S0SPDR:#x} = 0x2a",
                                                    "continue"])
        self.assertIn("[Inferior 1 (Remote target) exited with code 01]", output)
        self.assertEqual(status, 1, log)


    def test_load_into_a_chip_running_another_image_and_reset(self):
        # The chip runs the probe image; GDB, reading the demo's image, loads it (vFlash
        # packets, in its memory map's flash blocks), resets the chip and lets it go: the words
        # are the demo's own. Before that, with word 0x14 patched to 0, the vector words do not
        # sum to zero and a reset leaves the chip as it is.
        vectors = struct.unpack("<8I", pathlib.Path(IMAGE).with_suffix(".bin").read_bytes()[:32])
        checksum = -(sum(vectors) - vectors[5]) & 0xFFFFFFFF  # lpc21isp's: the eight sum to 0
        with tempfile.TemporaryDirectory() as d:
            output, status, log = debug(PROBE, ["--frames", "2", "--words", f"{d}/gdb.bin"], [
                "info mem", "load", "set $r0 = 0x1234", f"set {{int}}{SPARE:#x} = 0x5a5a",
                "delete mem", "set {int}0x14 = 0", "monitor reset halt", "print/x $r0",  # $1
                f"set {{int}}0x14 = {checksum:#x}", "monitor reset halt",
                # Code the probe image has no code beside: integer division's tail at 0x20f0,
                # 7 / 2, returning to a breakpoint at 0.
                "set $sp = 0x40008000", "set $r0 = 7", "set $r1 = 2", "set $lr = 0",
                "set $pc = __aeabi_idivmod", "tbreak *0", "continue",
                "printf \"divmod %d %d\\n\", $r0, $r1", "monitor reset halt",
                "maint flush register-cache",
                "print/x $r0", "print/x $pc", "print/x $cpsr",                    # $2 $3 $4
                f"print/x *(int*){SPARE:#x}", "print/x *(int*)0x14",              # $5 $6
                "continue"], symbols=IMAGE)
            # The LPC2138's sectors: 8 of 4 KB, 14 of 32 KB, 5 of 4 KB, then the boot block.
            for low, high, attrs in [(0, 0x8000, "flash blocksize 0x1000"),
                                     (0x8000, 0x78000, "flash blocksize 0x8000"),
                                     (0x78000, 0x7D000, "flash blocksize 0x1000"),
                                     (0x7D000, 0x80000, "ro"), (0x40000000, 0x40008000, "rw")]:
                self.assertRegex(output, rf"y\s+{low:#010x} {high:#010x} {attrs} ")
            self.assertIn(f"vector checksum {checksum:#010x} written at 0x14 "
                          f"(the image had {vectors[5]:#010x})", output)
            self.assertIn(f"the vector words sum to {sum(vectors) - vectors[5] & 0xFFFFFFFF:#010x},"
                          " not zero", output)
            self.assertIn("$1 = 0x1234", output)  # refused: the chip stays as it was
            self.assertIn("divmod 3 1", output)
            self.assertIn(f"the flash differs from {PROBE} at 0x00000000", output)
            self.assertIn("$2 = 0x0\n$3 = 0x0\n" f"$4 = {RESET_CPSR:#x}\n$5 = 0x0\n"
                          f"$6 = {checksum:#x}\n", output)
            self.assertIn("exited normally", output)
            self.assertEqual(status, 0, log)
            plain = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                    "--frames", "2", "--words", f"{d}/plain.bin"],
                                   capture_output=True, timeout=TIMEOUT)
            self.assertEqual(plain.returncode, 0)
            self.assertEqual(pathlib.Path(f"{d}/gdb.bin").read_bytes(),
                             pathlib.Path(f"{d}/plain.bin").read_bytes())

    def test_monitor_cycles_between_breakpoints_equal_the_profile(self):
        # The stopwatch from a function's first instruction to its return (finish): all that
        # the call took, which callgrind_annotate gives at the call site ("=> ... (1x)") in the
        # profile of a run without GDB. `monitor reset halt` puts PLLCON and S0SPCR, which
        # bring-up set, back to 0 and the stopwatch with them; `monitor reset` then runs the
        # image from its reset vector at once: the demo's frame follows bring-up's words so far.
        with tempfile.TemporaryDirectory() as d:
            output, status, log = debug(IMAGE, ["--frames", "1", "--words", f"{d}/gdb.bin"], [
                "break lcd_init", "continue", "monitor cycles 0", "finish", "monitor cycles",
                "break calibratead", "continue", "monitor cycles reset", "finish",
                "monitor cycles", "delete",
                f"print/x *(char*){PLLCON:#x}", f"print/x *(short*){S0SPCR:#x}",  # $1 $2
                "monitor reset halt", "monitor cycles",
                f"print/x *(char*){PLLCON:#x}", f"print/x *(short*){S0SPCR:#x}",  # $3 $4
                "monitor reset", "continue"])
            self.assertEqual(status, 0, log)
            self.assertIn("exited normally", output)
            run = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                  "--frames", "1", "--words", f"{d}/plain.bin", "--profile",
                                  f"{d}/plain.callgrind"], capture_output=True, timeout=TIMEOUT)
            self.assertEqual(run.returncode, 0)
            _, _, annotated = annotate(f"{d}/plain.callgrind")
            calls = [re.search(rf"^\s*([\d,]+) .*=> \S+:{name} \(1x\)$", annotated, re.M)
                     for name in ("lcd_init", "calibratead")]
            self.assertTrue(all(calls), annotated[-2000:])
            self.assertEqual(re.findall(r"^(\d+)$", output, re.M),
                             [c.group(1).replace(",", "") for c in calls] + ["0"])
            self.assertRegex(output, r"\$1 = 0x[1-9a-f]\d*\n\$2 = 0x[1-9a-f]")
            self.assertIn("$3 = 0x0\n$4 = 0x0\n", output)
            words = pathlib.Path(f"{d}/gdb.bin").read_bytes()
            demo_words = pathlib.Path(f"{d}/plain.bin").read_bytes()
            self.assertGreater(len(words), len(demo_words))  # bring-up's words before the reset
            self.assertTrue(words.endswith(demo_words))


    def test_reset_in_a_single_effect_session_runs_the_demo_to_its_halt(self):
        # Past the cap's 60 frames, the image's main halts after its 50 plasma frames: from the
        # reset on, the session is the demo's run and ends there, calling no effect itself.
        output, status, log = debug(IMAGE, ["--effect", "plasma", "--frames", "60"],
                                    ["monitor reset halt", "continue"])
        self.assertIn("exited normally", output)
        self.assertEqual(status, 0, log)
        demo = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                               "--frames", "60"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(log.split("\n")[0], demo.stdout.strip().replace("demo", "plasma"))
        self.assertIn(": 50 frames,", log)


class Refused(unittest.TestCase):
    def test_a_port_already_taken_is_refused_before_waiting(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            run = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", IMAGE,
                                  "--effect", "plasma", "--frames", "1", "--gdb", str(port)],
                                 capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertEqual(run.stderr.strip().splitlines(),
                         [f"lpcdemo: cannot listen for GDB on 127.0.0.1:{port}: "
                          "Address already in use"])


if __name__ == "__main__":
    LPCDEMO, IMAGE, PROBE = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
