#!/usr/bin/env python3
"""A rehearsal of `make flash`: the real lpc21isp programs the image through `lpcdemo isp`'s
boot loader on a pseudo-terminal, and the chip then runs what was flashed: the words of the
built image when the hex is the built one, and an undefined instruction where a copy of the hex
was changed to hold one, though the ELF beside it has none. What the flashed program sends on
UART0 comes back on the same port, where `lpc21isp -term` shows it. The port is the session's
alone, and no host that misbehaves or leaves holds up the next one."""

import os
import pathlib
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

LPCDEMO = ELF = HEX = HELLO = None
TIMEOUT = 120  # seconds for any one step
UNDEFINED = 0xE7F000F0  # permanently undefined in ARM state
# Autobaud and the crystal as a host goes through them, with the loader's answers.
SYNC = [(b"?", b"Synchronized\r\n"), (b"Synchronized\r\n", b"Synchronized\r\nOK\r\n"),
        (b"12000\r\n", b"12000\r\nOK\r\n")]


def patch_hex(source, target, addr, word):
    """A copy of an Intel HEX file with the little-endian word at addr replaced, each changed
    record's checksum recomputed."""
    new = {addr + i: (word >> (8 * i)) & 0xFF for i in range(4)}
    base, lines = 0, []
    for line in pathlib.Path(source).read_text().splitlines():
        raw = bytearray.fromhex(line[1:])
        count, offset, kind = raw[0], int.from_bytes(raw[1:3], "big"), raw[3]
        if kind == 4:
            base = int.from_bytes(raw[4:6], "big") << 16
        elif kind == 2:
            base = int.from_bytes(raw[4:6], "big") << 4
        elif kind == 0:
            for i in range(count):
                if base + offset + i in new:
                    raw[4 + i] = new[base + offset + i]
            raw[-1] = -sum(raw[:-1]) & 0xFF
        lines.append(":" + raw.hex().upper())
    pathlib.Path(target).write_text("\n".join(lines) + "\n")


def symbol(name):
    nm = subprocess.run(["arm-none-eabi-nm", ELF], capture_output=True, text=True, check=True)
    return int(next(l.split()[0] for l in nm.stdout.splitlines() if l.endswith(" " + name)), 16)


def listen(port, *options, firmware=None):
    """lpcdemo isp waiting at port; the process and the first line it printed."""
    isp = subprocess.Popen([LPCDEMO, "isp", "--port", port, "--firmware", firmware or ELF,
                            *options],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ready, _, _ = select.select([isp.stdout], [], [], TIMEOUT)
    first = isp.stdout.readline() if ready else ""
    if "listening at" not in first:
        isp.kill()
        isp.wait()
        raise AssertionError(f"lpcdemo isp did not listen: {first!r}")
    return isp, first


def exchange(fd, sent, size, seconds=10):
    """Sends bytes to the port and reads what comes back until there are `size` bytes or the
    time is up."""
    os.write(fd, sent)
    got, deadline = b"", time.monotonic() + seconds
    while len(got) < size and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            got += os.read(fd, 4096)
    return got


def read_until(proc, text, seconds=TIMEOUT):
    """What a process prints until a line with `text` (or its end, or the time's)."""
    said, deadline = b"", time.monotonic() + seconds
    while text.encode() not in said and time.monotonic() < deadline:
        if select.select([proc.stdout], [], [], 0.5)[0]:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            said += chunk
    return said.decode()


def cpu_seconds(pid):
    """The user and system time a process has used so far."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def flash(hex_file, workdir, frames, crystal="12000"):
    """lpcdemo isp with lpc21isp against it, on a board with that crystal (kHz, as lpc21isp is
    told); (lpc21isp's result, lpcdemo's status and output)."""
    port, words = f"{workdir}/tty", f"{workdir}/isp.bin"
    isp, first = listen(port, "--frames", str(frames), "--words", words, "--crystal", crystal)
    try:
        tool = subprocess.run(["lpc21isp", "-hex", hex_file, port, "38400", crystal],
                              capture_output=True, text=True, timeout=TIMEOUT)
        rest, _ = isp.communicate(timeout=TIMEOUT)
        return tool, isp.returncode, first + rest, words
    finally:
        if isp.poll() is None:
            isp.kill()
            isp.wait()


class Rehearsal(unittest.TestCase):
    def test_the_built_hex_runs_as_the_built_image(self):
        with tempfile.TemporaryDirectory() as d:
            tool, status, output, words = flash(HEX, d, 3)
            self.assertEqual(tool.returncode, 0, tool.stdout + tool.stderr)
            self.assertEqual(status, 0, output)
            self.assertIn("findings name its symbols", output)
            self.assertFalse(os.path.lexists(f"{d}/tty"), "the port's link outlived the session")
            run = subprocess.run([LPCDEMO, "run", "--engine", "emulated", "--firmware", ELF,
                                  "--frames", "3", "--words", f"{d}/run.bin"],
                                 capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(run.returncode, 0, run.stderr)
            flashed = pathlib.Path(words).read_bytes()
            self.assertGreater(len(flashed), 3 * 9850 * 2)  # three frames and the start-up
            self.assertEqual(flashed, pathlib.Path(f"{d}/run.bin").read_bytes())

    def test_the_board_runs_what_was_flashed_not_the_elf(self):
        with tempfile.TemporaryDirectory() as d:
            broken = f"{d}/broken.hex"
            addr = symbol("effectPlasma")
            patch_hex(HEX, broken, addr, UNDEFINED)
            tool, status, output, words = flash(broken, d, 3)
            self.assertEqual(tool.returncode, 0, tool.stdout + tool.stderr)
            self.assertEqual(status, 1, output)
            self.assertIn("findings name addresses only", output)
            self.assertIn(f"undefined instruction 0x{UNDEFINED:08x} at 0x{addr:08x}", output)
            self.assertIn("0 frames", output)

    def test_the_programs_uart_output_reaches_the_hosts_terminal(self):
        """An image that prints "hello" at 112500 baud (115200 nominal) and then polls for
        input for ever: lpc21isp's terminal shows what it prints, --uart keeps it in a file,
        and --board-seconds ends the run."""
        with tempfile.TemporaryDirectory() as d:
            port, hex_file, kept = f"{d}/tty", f"{d}/hello.hex", f"{d}/uart.txt"
            subprocess.run(["arm-none-eabi-objcopy", "-O", "ihex", HELLO, hex_file], check=True)
            # Long enough for lpc21isp to be in its terminal before the port closes with the
            # run's end, on a loaded machine too.
            isp, _ = listen(port, "--board-seconds", "2", "--uart", kept, firmware=HELLO)
            # Unbuffered, so that what the terminal shows can be read as it comes.
            tool = subprocess.Popen(["stdbuf", "-o0", "lpc21isp", "-term", "-hex", hex_file,
                                     port, "115200", "12000"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            try:
                # Until it shows, or a second after the run has ended without it.
                shown, deadline = b"", time.monotonic() + TIMEOUT
                while b"hello\n" not in shown and time.monotonic() < deadline:
                    if select.select([tool.stdout], [], [], 1)[0]:
                        shown += os.read(tool.stdout.fileno(), 4096)
                    elif isp.poll() is not None:
                        break
                tool.stdin.write(b"\x1b")  # the terminal's key to end it
                tool.stdin.flush()
                shown += tool.communicate(timeout=TIMEOUT)[0]
                output, _ = isp.communicate(timeout=TIMEOUT)
            finally:
                for p in (tool, isp):
                    if p.poll() is None:
                        p.kill()
                        p.wait()
            self.assertIn(b"Terminal started", shown)
            self.assertIn(b"hello\n", shown.split(b"Terminal started", 1)[1])
            self.assertEqual(isp.returncode, 0, output)
            self.assertIn("2 s of board time, the program at", output)
            self.assertEqual(pathlib.Path(kept).read_bytes(), b"hello\n")

    def test_a_raw_port_and_a_killed_sessions_link_replaced(self):
        """The port passes every byte as it is, both ways, whatever the host leaves its terminal
        settings at: no echo, no CR/LF translation, no control characters taken as signals,
        erase or flow control. A session killed with SIGKILL leaves its link behind; the next
        one at that port replaces it, and lpc21isp flashes through it."""
        with tempfile.TemporaryDirectory() as d:
            port = f"{d}/tty"
            isp, _ = listen(port)
            try:
                # No host has the port open yet: the loader sleeps until one sends something.
                before = cpu_seconds(isp.pid)
                time.sleep(0.5)
                self.assertLess(cpu_seconds(isp.pid) - before, 0.05, "busy while no host is there")
                fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
                try:
                    controls = b"K\x03\x7f\x15\x04\x1a\x13\x11\xff\r\n"
                    for sent, answer in SYNC + [
                        (b"J\n", b"J\n0\r\n196389\r\n"),  # echoed as sent: no CR added
                        (controls, controls + b"1\r\n"),  # no such command
                    ]:
                        self.assertEqual(exchange(fd, sent, len(answer)), answer, sent)
                    # Nothing the terminal itself echoed set the loader talking to itself.
                    self.assertEqual(select.select([fd], [], [], 0.3)[0], [])
                finally:
                    os.close(fd)
            finally:
                isp.kill()
                isp.communicate()
            self.assertTrue(os.path.islink(port), "the killed session left no link")
            # A board with a 25 MHz crystal: the PLL's oscillator runs at 24 x 25 MHz, outside
            # its 156-320 MHz.
            tool, status, output, _ = flash(HEX, d, 1, crystal="25000")
            self.assertEqual(tool.returncode, 0, tool.stdout + tool.stderr)
            self.assertEqual(status, 1, output)
            self.assertIn("findings name its symbols", output)
            self.assertRegex(output, r"CCO 600(\.0*)? MHz lies outside 156-320 MHz")
            self.assertNotIn("the host says the crystal", output)

    def test_a_host_that_floods_or_leaves_holds_up_no_later_one(self):
        """A host that writes 90 KB without reading the echo and closes the port, then one that
        closes it once it has unlocked the loader: each time the loader keeps reading, and the
        chip is reset into its boot loader with nothing of the old answers left for the next
        host. lpc21isp then flashes the board; SIGINT ends the run, and the link goes."""
        with tempfile.TemporaryDirectory() as d:
            port = f"{d}/tty"
            isp, _ = listen(port, "--effect", "plasma", "--frames", "1000000", "--words",
                            f"{d}/words.bin")
            said = ""
            try:
                # The first host leaves its answers unread; the second reads them all.
                for leave, answer in [(b"J\r\n" * 30000, None),
                                      (b"U 23130\r\n", b"U 23130\r\n0\r\n")]:
                    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                    try:
                        for sent, expected in SYNC + ([(leave, answer)] if answer else []):
                            self.assertEqual(exchange(fd, sent, len(expected)), expected, sent)
                        written, deadline = 0, time.monotonic() + 10
                        while not answer and written < len(leave) and time.monotonic() < deadline:
                            if select.select([], [fd], [], 0.1)[1]:
                                try:
                                    written += os.write(fd, leave[written:])
                                except BlockingIOError:
                                    pass
                    finally:
                        os.close(fd)
                    if not answer:
                        self.assertEqual(written, len(leave), "the loader stopped reading")
                    # The next host comes once the session has seen this one go, as a person
                    # would start it.
                    said += read_until(isp, "the host closed the port before G", 20)
                tool = subprocess.run(["lpc21isp", "-hex", HEX, port, "38400", "12000"],
                                      capture_output=True, text=True, timeout=TIMEOUT)
                said += read_until(isp, "booting the programmed flash")
                self.assertEqual(tool.returncode, 0, tool.stdout + tool.stderr)
                # The run is under way once its words stream to their temporary file.
                deadline = time.monotonic() + TIMEOUT
                while time.monotonic() < deadline and not any(
                        p.stat().st_size > 0 for p in pathlib.Path(d).iterdir() if p.is_file()):
                    time.sleep(0.05)
                isp.send_signal(signal.SIGINT)
                rest, _ = isp.communicate(timeout=TIMEOUT)
                said += rest
            finally:
                if isp.poll() is None:
                    isp.kill()
                    isp.wait()
            self.assertEqual(isp.returncode, 130, said)
            self.assertEqual(said.count("the host closed the port before G"), 2, said)
            self.assertRegex(said, r"\nlpcdemo: interrupted after \d+ frames?; no output file "
                                   r"written\n$")
            self.assertFalse(os.path.lexists(port), "the port's link outlived the session")
            self.assertEqual(os.listdir(d), [])  # no output file written

    def test_a_live_sessions_port_is_its_own(self):
        """A second session at a live session's port, by any spelling of its path, is refused
        and leaves the link; SIGTERM before the boot ends the session as it ends a run, and
        the link goes with it."""
        with tempfile.TemporaryDirectory() as d:
            port = f"{d}/tty"
            isp, _ = listen(port)
            try:
                target = os.readlink(port)
                for path in (port, f"{d}/../{os.path.basename(d)}/./tty"):
                    try:
                        run = subprocess.run([LPCDEMO, "isp", "--port", path],
                                             capture_output=True, text=True, timeout=20)
                    except subprocess.TimeoutExpired:
                        self.fail(f"a second session at {path} ran")
                    self.assertEqual(run.returncode, 2, run.stderr)
                    self.assertEqual(run.stderr, f"lpcdemo: {path} is the port of a session "
                                                 "that is still running\n")
                    self.assertEqual(os.readlink(port), target)
                isp.send_signal(signal.SIGTERM)
                output, _ = isp.communicate(timeout=TIMEOUT)
            finally:
                if isp.poll() is None:
                    isp.kill()
                    isp.wait()
            self.assertEqual(isp.returncode, 143, output)
            self.assertEqual(output, "lpcdemo: terminated after 0 frames; no output file written\n")
            self.assertFalse(os.path.lexists(port), "the port's link outlived the session")

    def test_what_cannot_be_served_is_refused_before_a_port_is_made(self):
        """Each refused with one line and status 2 at once, what was at the port left as it
        was: a file, a link to one, an effect whose functions the --firmware image lacks; and
        make flash with a PORT that is no terminal, before it builds or calls lpc21isp."""
        source = pathlib.Path(__file__).resolve().parents[3]
        with tempfile.TemporaryDirectory() as d:
            port = pathlib.Path(d) / "tty"
            plain = pathlib.Path(d) / "plain"
            plain.write_text("mine")
            for make, command, says in [
                (lambda: port.write_text("mine"), [LPCDEMO, "isp", "--port", str(port)],
                 f"lpcdemo: {port} exists and is not a symbolic link"),
                (lambda: port.symlink_to(plain), [LPCDEMO, "isp", "--port", str(port)],
                 f"lpcdemo: {port} is a link to {plain}, not to a pseudo-terminal: it is left "
                 "alone"),
                (lambda: None, [LPCDEMO, "isp", "--port", str(port), "--firmware", HELLO,
                                "--effect", "fall"],
                 "lpcdemo: --effect fall calls the --firmware image's functions by name: the "
                 "firmware has no function effectFall"),
                (lambda: None, ["make", "-s", "--no-print-directory", "-C", str(source), "flash",
                                "PORT=/etc/passwd", f"BUILD={d}/no-build"],
                 "make flash: /etc/passwd is no serial port: not a character device"),
            ]:
                make()
                before = os.readlink(port) if port.is_symlink() else None
                run = subprocess.run(command, capture_output=True, text=True, timeout=20)
                self.assertNotEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr.splitlines()[0], says)
                if command[0] == LPCDEMO:
                    self.assertEqual(run.returncode, 2, run.stderr)
                    self.assertEqual(run.stderr, says + "\n")
                    self.assertEqual(os.readlink(port) if port.is_symlink() else None, before)
                    self.assertEqual(port.read_text() if port.exists() else "mine", "mine")
                self.assertEqual(plain.read_text(), "mine")
                self.assertEqual(run.stdout, "")
                self.assertFalse(pathlib.Path(f"{d}/no-build").exists())
                if port.is_symlink() or port.exists():
                    port.unlink()


if __name__ == "__main__":
    LPCDEMO, ELF, HEX, HELLO = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1])
