#!/usr/bin/env python3
"""--profile as a developer meets it: callgrind_annotate reads the profile of a plasma run, its
totals are the emulator's own counts to the clock and the instruction, each instruction's cost is
one it could have, and the call graph holds every clock of the bench's frames inside the effect's
inclusive cost; each function is named with the source file it was compiled from, as the linker's
map places its code."""

import json
import os
import re
import subprocess
import sys
import tempfile

TIMEOUT = 120  # seconds for any one step
EVENTS = ["Cycles", "Instructions", "FlashWait", "ApbWait"]


def read_profile(path):
    """summary, totals and the sum of the self costs, each a list per event; and failures."""
    summary = totals = None
    self_sum = [0] * len(EVENTS)
    failures = []
    after_calls = False
    for line in open(path):
        if line.startswith("events:") and line.split()[1:] != EVENTS:
            failures.append(f"events: {line.split()[1:]}")
        elif line.startswith("summary:"):
            summary = [int(v) for v in line.split()[1:]]
        elif line.startswith("totals:"):
            totals = [int(v) for v in line.split()[1:]]
        elif line.startswith("calls="):
            after_calls = True
        elif line.startswith("0x"):
            costs = [int(v) for v in line.split()[2:]]
            if after_calls:  # the inclusive cost of the call above: not this instruction's own
                after_calls = False
                continue
            cycles, instructions, flash, apb = costs
            # Every instruction takes a clock; waits are part of the clocks.
            if instructions == 0 or cycles < instructions or cycles < flash + apb:
                failures.append(f"cost {costs} at {line.split()[0]}")
            self_sum = [a + b for a, b in zip(self_sum, costs)]
    return summary, totals, self_sum, failures


def annotate(path):
    """callgrind_annotate's inclusive costs: ({file:function: costs}, program totals, its text)."""
    # From the profile's directory: callgrind_annotate takes its working directory off the
    # front of fl= names but not of cfi= ones, which run from the sources would list a called
    # function under both.
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                         capture_output=True, text=True, check=True, timeout=TIMEOUT,
                         cwd=os.path.dirname(path)).stdout
    functions, program = {}, None
    for line in out.splitlines():
        m = re.match(r"^\s*(\d[\d,]*(?:\s+\([\d. ]+%\))?(?:\s+(?:\d[\d,]*|\.)(?:\s+\([\d. ]+%\))?)*)"
                     r"\s+(PROGRAM TOTALS|\S+:\S+)", line)
        if not m:
            continue
        costs = [int(v.replace(",", "")) if v != "." else 0
                 for v in re.sub(r"\([^)]*\)", "", m.group(1)).split()]
        if m.group(2) == "PROGRAM TOTALS":
            program = costs
        else:
            functions[m.group(2)] = costs
    return functions, program, out


def map_sections(path):
    """The input sections of the linker map's .text: (start, end, object file)."""
    sections, in_text, named = [], False, False
    for line in open(path):
        if re.match(r"^\.\S", line):
            in_text = line.startswith(".text")
        m = re.match(r"^ (\.\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+\.(?:obj|o\)))$",
                     line.rstrip())
        if in_text and m and (m.group(1) or named):
            start = int(m.group(2), 16)
            sections.append((start, start + int(m.group(3), 16), m.group(4)))
        named = re.match(r"^ \.\S+$", line.rstrip()) is not None  # its address on the next line
    return sections


def compiled_from(fl, obj):
    """Whether fl names the source of obj: CMakeFiles/<target>.dir/<path>.obj is built from
    firmware/<path>; a library's object from anything outside the firmware. callgrind_annotate
    shows paths under its working directory relative to it."""
    m = re.match(r"CMakeFiles/[^/]+\.dir/(.+)\.obj$", obj)
    path = "/" + fl.lstrip("/")
    return path.endswith("/firmware/" + m.group(1)) if m else "/firmware/" not in path


def check_sources(path, annotated):
    """Every function's fl= is the source file its code was compiled from, as the linker's map
    next to the image places the code; callgrind_annotate, reading the same file, must name
    the function with that file too. Returns failures and the functions seen."""
    image = next(line[3:].strip() for line in open(path) if line.startswith("ob="))
    sections = map_sections(image[:-len(".elf")] + ".map")
    failures, fl, fn, after_calls, seen = [], None, None, False, set()
    for line in open(path):
        if line.startswith("fl="):
            fl = line[3:].strip()
        elif line.startswith("fn="):
            fn = line[3:].strip()
        elif line.startswith("calls="):
            after_calls = True
        elif line.startswith("0x"):
            if after_calls or fn in seen:
                after_calls = False
                continue
            seen.add(fn)
            addr = int(line.split()[0], 16)
            obj = next((o for start, end, o in sections if start <= addr < end), None)
            if obj is None or not compiled_from(fl, obj):
                failures.append(f"{fn} at {addr:#x} (from {obj}) in fl={fl}")
                continue
            shown = f":{fn} [{image}]"
            files = [line.rstrip()[:-len(shown)].split()[-1] for line in annotated.splitlines()
                     if line.rstrip().endswith(shown)]
            if not files or not all(compiled_from(f, obj) for f in files):
                failures.append(f"callgrind_annotate names {fn} (from {obj}) in {files}")
    return failures, seen


def spelling_failures(functions):
    """A function is listed once for each file its code came from (its own, the headers inlined
    into it), each file under one spelling: two paths of one name would split its costs."""
    spellings = {}
    for name in functions:
        path, fn = name.split(":", 1)
        spellings.setdefault((fn, os.path.basename(path)), set()).add(path)
    return [f"callgrind_annotate lists {fn} under {sorted(paths)}"
            for (fn, _), paths in spellings.items() if len(paths) > 1]


def check_run(lpcdemo, out):
    """The profile of a whole run against the emulator's counters for it."""
    path = f"{out}/plasma.callgrind"
    stdout = subprocess.run([lpcdemo, "run", "--engine", "emulated", "--effect", "plasma",
                             "--frames", "1", "--profile", path], capture_output=True, text=True,
                            check=True, timeout=TIMEOUT).stdout
    m = re.search(r"profile .*: (\d+) clocks, (\d+) instructions", stdout)
    if not m:
        return [f"no counts in {stdout!r}"]
    counted = [int(m.group(1)), int(m.group(2))]
    summary, totals, self_sum, failures = read_profile(path)
    failures = failures[:5]
    if summary != totals or summary != self_sum:
        failures.append(f"summary {summary}, totals {totals}, self costs {self_sum}")
    if summary[:2] != counted:
        failures.append(f"profile {summary[:2]} against the emulator's {counted}")
    if 0 in summary:
        failures.append(f"an event never charged: {summary}")
    functions, program, annotated = annotate(path)
    source_failures, seen = check_sources(path, annotated)
    failures += source_failures
    if len(seen) < 10:
        failures.append(f"only {len(seen)} functions: {sorted(seen)}")
    if program != summary:
        failures.append(f"callgrind_annotate's totals {program}, the file's {summary}")
    failures += spelling_failures(functions)
    if not any(name.endswith(":effectPlasma") for name in functions):
        failures.append(f"effectPlasma not among {sorted(functions)[:10]}")
    return failures


def check_bench(lpcdemo, out):
    """The bench's frames: profile totals match its clocks per frame, and every clock is inside
    the effect function's inclusive cost (a call or return missed would break it)."""
    report = json.loads(subprocess.run([lpcdemo, "bench", "--json", "--profile", out],
                                       capture_output=True, text=True, timeout=TIMEOUT).stdout)
    failures = []
    for effect in report["effects"]:
        name = effect["name"]
        summary, _, self_sum, file_failures = read_profile(f"{out}/{name}.callgrind")
        failures += file_failures[:3]
        frames = summary[0] / effect["cycles_per_frame"]
        if summary != self_sum or abs(frames - 8) > 1e-3:
            failures.append(f"{name}: {summary} is {frames} frames of the bench's clocks")
        functions, program, annotated = annotate(f"{out}/{name}.callgrind")
        failures += check_sources(f"{out}/{name}.callgrind", annotated)[0]
        failures += spelling_failures(functions)
        # Each file by the one path that names it: absolute, with no "." or ".." in it.
        for line in open(f"{out}/{name}.callgrind"):
            if re.match(r"(fl|fi|fe|cfi)=", line):
                path = line.split("=", 1)[1].strip()
                if path != "???" and (not path.startswith("/") or os.path.normpath(path) != path):
                    failures.append(f"{name}: {line.strip()} is not one path in normal form")
                    break
        symbol = {"plasma": "effectPlasma"}.get(name)
        if symbol:
            inside = [sum(c[i] for f, c in functions.items() if f.endswith(":" + symbol))
                      for i in range(len(EVENTS))]
            if inside != program:
                failures.append(f"{name}: {symbol} includes {inside} of {program}")
    return failures


def main():
    lpcdemo = sys.argv[1]
    with tempfile.TemporaryDirectory() as out:
        failures = check_run(lpcdemo, out) + check_bench(lpcdemo, f"{out}/bench")
    for f in failures:
        print(f"FAIL: {f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
