#!/usr/bin/env python3
"""What a run leaves on disk when things go wrong, as a careless user meets it: an output on a
full disk, under either engine, ends the run with one line and status 1 and leaves nothing; an
output path that is a symbolic link has the file it points to replaced whole when the run
completes, and left as it was when Ctrl-C ends the run, the link staying a link; SIGINT and
SIGTERM end an emulated program that spins, in a poll of a register or touching none, within
seconds; a run into a frame directory that holds more frames than it writes says so and leaves
them; a run whose effect returns without sending its frames says which are missing and exits
1; a run that writes nothing says so.

usage: outputs_test.py LPCDEMO UART_IMAGE_DIR (uart_hello_234.elf: hello, then a poll of U0LSR
for ever; its effectPlasma spins touching no register, its effectCake returns at once)"""

import os
import signal
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60  # seconds for any one run
SIGNAL_WITHIN = 5  # seconds a signalled run may take to end (a second on an idle machine)
PRECIOUS = b"a file the user keeps\n"


def run(lpcdemo, *args, cwd):
    r = subprocess.run([lpcdemo, "run", *args], capture_output=True, text=True, timeout=TIMEOUT,
                       cwd=cwd)
    return r.returncode, r.stdout, r.stderr


def names(d):
    """Every name under d, hidden ones included, as paths relative to d."""
    found = set()
    for root, dirs, files in os.walk(d):
        for n in dirs + files:
            found.add(os.path.relpath(os.path.join(root, n), d))
    return found


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        return e.strerror.encode()


def temporaries(d):
    return sorted(n for n in names(d) if ".lpcdemo-" in n)


def interrupt(lpcdemo, args, cwd, sig, ready):
    """Starts a run, sends `sig` once ready() (its temporary files are there), and returns
    (status, seconds it took to end, stderr)."""
    p = subprocess.Popen([lpcdemo, "run", *args], cwd=cwd, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + TIMEOUT
        while not ready() and time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.05)
        time.sleep(0.3)  # well inside the run
        sent = time.monotonic()
        p.send_signal(sig)
        try:
            p.wait(timeout=SIGNAL_WITHIN)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            return None, SIGNAL_WITHIN, p.stderr.read()
        return p.returncode, time.monotonic() - sent, p.stderr.read()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def main():
    lpcdemo, images = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    image = f"{images}/uart_hello_234.elf"
    failures = []

    def expect(ok, what):
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory() as d:
        # A full disk under each engine: one line, status 1, no file and no directory made. The
        # image's main, which has no call to return from, must stop where the write failed.
        for engine in ("native", "emulated"):
            out = f"{d}/full-{engine}"
            os.mkdir(out)
            status, _, err = run(lpcdemo, "--engine", engine, "--frames", "4", "--gif",
                                 "/dev/full", "--png-dir", "png", "--words", "w.bin", cwd=out)
            expect(status == 1 and err.startswith("lpcdemo: cannot write /dev/full")
                   and err.count("\n") == 1, f"{engine} on a full disk: {status}, {err!r}")
            expect(names(out) == set(), f"{engine} on a full disk left {names(out)}")

        # Links to a kept file, through a relative path into another directory, and to a file
        # not there yet: a completed run replaces (or makes) the target, the link stays.
        links = f"{d}/links"
        os.makedirs(f"{links}/data")
        os.makedirs(f"{links}/out")
        for link, target in (("out/a.gif", "../data/precious.txt"),
                             ("out/b.gif", "../data/new.gif")):
            if target.endswith(".txt"):
                with open(f"{links}/out/{target}", "wb") as f:
                    f.write(PRECIOUS)
            os.symlink(target, f"{links}/{link}")
            status, _, err = run(lpcdemo, "--effect", "plasma", "--frames", "2", "--gif", link,
                                 cwd=links)
            head = read(f"{links}/out/{target}")[:6]
            expect(status == 0 and head == b"GIF89a", f"--gif {link}: {status} {err!r} {head}")
            expect(os.readlink(f"{links}/{link}") == target, f"{link} is no longer the link")
        expect(temporaries(links) == [], f"completed runs left {temporaries(links)}")
        # Ctrl-C part way: the kept file is as it was, and nothing is left beside it.
        with open(f"{links}/data/precious.txt", "wb") as f:
            f.write(PRECIOUS)
        status, _, err = interrupt(
            lpcdemo, ["--effect", "plasma", "--frames", "100000", "--gif", "out/a.gif",
                      "--png-dir", "png"], links, signal.SIGINT,
            lambda: any(n.startswith("png/") for n in temporaries(links)))
        kept = read(f"{links}/data/precious.txt")
        expect(status == 130 and kept == PRECIOUS and os.path.islink(f"{links}/out/a.gif"),
               f"interrupted through a link: {status}, {kept[:20]!r}, {err!r}")
        expect(temporaries(links) == [], f"interrupted run left {temporaries(links)}")

        # An emulated program in a poll of U0LSR for ever, or spinning touching no register:
        # each signal ends it within seconds, removing the GIF's temporary file.
        spin = f"{d}/spin"
        os.mkdir(spin)
        for effect, sig, status_expected, said in (
                ("demo", signal.SIGINT, 130, "interrupted"),
                ("plasma", signal.SIGTERM, 143, "terminated"),
                ("plasma", signal.SIGINT, 130, "interrupted")):
            status, took, err = interrupt(
                lpcdemo, ["--engine", "emulated", "--firmware", image, "--effect", effect,
                          "--board-seconds", "10000", "--gif", "x.gif"], spin, sig,
                lambda: temporaries(spin) != [])
            expect(status == status_expected and
                   err == f"lpcdemo: {said} after 0 frames; no output file written\n",
                   f"{effect} spinning, {sig.name}: status {status} after {took:.1f} s, {err!r}")
            expect(names(spin) == set(), f"{effect} spinning, {sig.name}: left {names(spin)}")

        # A shorter run into a frame directory: the older frames after its own stay, named.
        pngs = f"{d}/pngs"
        os.mkdir(pngs)
        said = []
        for frames in (4, 2):
            status, _, err = run(lpcdemo, "--effect", "plasma", "--frames", str(frames),
                                 "--png-dir", "p", cwd=pngs)
            expect(status == 0, f"--png-dir p --frames {frames}: {status} {err!r}")
            said.append(err)
        expect(said == ["", "lpcdemo: p still holds 2 frames of an earlier run (frame0002.png "
                            "to frame0003.png), left as they were\n"], f"older frames: {said}")
        expect(names(f"{pngs}/p") == {f"frame000{i}.png" for i in range(4)},
               f"older frames: {names(f'{pngs}/p')}")

        # An effect that returns without sending a frame: the frames asked for are missing.
        status, out, err = run(lpcdemo, "--engine", "emulated", "--firmware", image, "--effect",
                               "cake", "--frames", "3", "--words", "w.bin", cwd=pngs)
        expect(status == 1 and out == "cake (emulated): 0 frames, 0 words, 0 findings; frames 0 "
                                      "to 2 of the 3 asked for are missing\n",
               f"missing frames: {status}, {out!r}, {err!r}")

        # No output asked for: said on stderr, the summary alone on stdout.
        status, out, err = run(lpcdemo, "--effect", "plasma", "--frames", "1", cwd=pngs)
        expect(status == 0 and out.startswith("plasma (native): 1 frame, ") and
               err.startswith("lpcdemo: no output asked for") and err.count("\n") == 1,
               f"no output: {status}, {out!r}, {err!r}")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
