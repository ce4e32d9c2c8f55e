#!/usr/bin/env python3
"""A long run streams its outputs: its peak memory is that of a short one, not a frame's worth
more for every frame (a kept frame and its words take some 32 KB)."""

import resource
import subprocess
import sys
import tempfile

SHORT, LONG = 300, 3000
ALLOWED_GROWTH_KB = 8 * 1024  # far below the ~86 MB that keeping 2,700 more frames would take


def peak_kb(lpcdemo, frames, out):
    subprocess.run([lpcdemo, "run", "--effect", "plasma", "--frames", str(frames), "--scale", "1",
                    "--words", f"{out}/words.bin", "--gif", f"{out}/frames.gif"],
                   check=True, stdout=subprocess.DEVNULL, timeout=300)
    # The largest resident size of any child so far: the short run goes first.
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss


def main():
    lpcdemo = sys.argv[1]
    with tempfile.TemporaryDirectory() as out:
        short = peak_kb(lpcdemo, SHORT, out)
        long = peak_kb(lpcdemo, LONG, out)
    growth = long - short
    print(f"peak memory: {short} KB for {SHORT} frames, {long} KB for {LONG}")
    if growth > ALLOWED_GROWTH_KB:
        print(f"FAIL: {growth} KB more for {LONG - SHORT} more frames")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
