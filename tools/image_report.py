#!/usr/bin/env python3
"""Size, memory and stack report of the firmware image, printed after every link.

Flash use is measured against the image's budget, RAM is split into its regions from the
linker's symbols, and the deepest call chain is found from the call graph (direct calls and
tail jumps in the disassembly) weighted with each function's frame from the compiler's
-fstack-usage files. Exits with status 1 when a chain does not fit the main stack, when
flash is over budget, or when a frame's size is not static.

Standard library only, so every machine with python3 can run it.
"""

import argparse
import bisect
import pathlib
import re
import subprocess
import sys

# The linker script's own limits, read from the image so that they are stated once.
FLASH_BUDGET_SYMBOL = "FLASH_BUDGET"
MAIN_STACK_SYMBOL = "MAIN_STACK_MIN"
STACK_SIZE_SYMBOLS = ["UND_STACK_SIZE", "ABT_STACK_SIZE", "FIQ_STACK_SIZE", "IRQ_STACK_SIZE",
                      "SVC_STACK_SIZE"]

ARM_CONDITIONS = "eq|ne|cs|cc|hs|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
CALL_RE = re.compile(rf"^bl(?:{ARM_CONDITIONS})?$")
JUMP_RE = re.compile(rf"^b(?:{ARM_CONDITIONS})?$")
TARGET_RE = re.compile(r"^([0-9a-f]+)\s+<([^>]*)>")
INSN_RE = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
PUSH_RE = re.compile(r"^(?:push|stmfd|stmdb)$")
# address, optional size, type letter, name (a demangled name may hold spaces)
NM_RE = re.compile(r"^([0-9a-f]{8})\s+(?:([0-9a-f]{8})\s+)?([A-Za-z?])\s+(.+)$")
SUB_SP_RE = re.compile(r"^sp,\s*sp,\s*#(\d+)")


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def symbol_key(name):
    """The qualified name of a function, without parameters or clone suffix.

    Both nm's demangled names ("(anonymous namespace)::f(int) [clone .constprop.0]") and the
    compiler's stack-usage declarations ("int {anonymous}::f(int)") reduce to "{anonymous}::f".
    """
    name = name.replace("(anonymous namespace)", "{anonymous}")
    return name.split("(", 1)[0].split(" [clone", 1)[0].strip()


def su_key(decl):
    head = decl.replace("(anonymous namespace)", "{anonymous}").split("(", 1)[0]
    return head.split()[-1] if head.split() else head


def read_symbols(nm, elf):
    """name -> (address, size, type letter), demangled."""
    return parse_symbols(run([nm, "-S", "-C", "--defined-only", elf]))


def parse_symbols(text):
    symbols = {}
    for line in text.splitlines():
        m = NM_RE.match(line)
        if m:
            addr, size, kind, name = m.groups()
            symbols[name] = (int(addr, 16), int(size or "0", 16), kind)
    return symbols


def read_stack_usage(*su_dirs):
    """qualified name -> (bytes, qualifier); the largest frame where names collide."""
    frames = {}
    for path in (p for d in su_dirs for p in pathlib.Path(d).rglob("*.su")):
        for line in path.read_text().splitlines():
            fields = line.rsplit("\t", 2)
            if len(fields) != 3:
                continue
            where, size, qualifier = fields
            decl = where.split(":", 3)[-1]
            key = su_key(decl)
            size = int(size)
            if key not in frames or frames[key][0] < size:
                frames[key] = (size, qualifier)
    return frames


class Function:
    def __init__(self, name, addr, size):
        self.name, self.addr, self.size = name, addr, size
        self.calls, self.jumps = set(), set()  # callee addresses
        self.indirect = False
        self.code_frame = 0  # register pushes and stack adjustments seen in the code
        self.frame, self.source = 0, "code"


def count_registers(reglist):
    count = 0
    for item in reglist.split(","):
        item = item.strip()
        if "-" in item:
            low, high = (int(r.strip()[1:]) for r in item.split("-"))
            count += high - low + 1
        elif item:
            count += 1
    return count


def read_call_graph(objdump, elf, symbols):
    return parse_disassembly(run([objdump, "-d", "-C", "--no-show-raw-insn", elf]), symbols)


def parse_disassembly(text, symbols):
    """address -> Function, for every sized code symbol, with its calls and tail jumps."""
    functions = {a: Function(n, a, s) for n, (a, s, k) in symbols.items()
                 if k in "tTW" and s > 0}
    starts = sorted(functions)

    def enclosing(addr):
        """The function whose code holds addr: library code branches to inner labels."""
        i = bisect.bisect_right(starts, addr) - 1
        if i >= 0 and addr < starts[i] + functions[starts[i]].size:
            return functions[starts[i]]
        return None

    current = None
    previous = ("", "")
    for line in text.splitlines():
        m = INSN_RE.match(line)
        if not m:
            continue
        addr, mnemonic, operands = int(m.group(1), 16), m.group(2), m.group(3)
        current = enclosing(addr)
        if current is None:
            continue  # padding or data between functions
        target = TARGET_RE.match(operands)
        dest = enclosing(int(target.group(1), 16)) if target else None
        if CALL_RE.match(mnemonic) and dest is not None:
            current.calls.add(dest.addr)
        elif JUMP_RE.match(mnemonic) and dest is not None and dest is not current:
            current.jumps.add(dest.addr)  # a tail call: the caller's frame is already gone
        elif previous == ("mov", "lr, pc"):
            current.indirect = True  # ARMv4 has no blx: mov lr, pc then bx or ldr pc
        if PUSH_RE.match(mnemonic) and operands.startswith(("{", "sp!")):
            regs = re.search(r"\{([^}]*)\}", operands)
            current.code_frame += 4 * count_registers(regs.group(1)) if regs else 0
        elif mnemonic == "sub" and SUB_SP_RE.match(operands):
            current.code_frame += int(SUB_SP_RE.match(operands).group(1))
        previous = (mnemonic, operands.split("@")[0].strip())
    return functions


def assign_frames(functions, frames):
    """Frame sizes from the compiler where it reported one, else from the code."""
    problems = []
    for f in functions.values():
        reported = frames.get(symbol_key(f.name))
        if reported is None:
            f.frame, f.source = f.code_frame, "code"
            continue
        f.frame, f.source = reported[0], "su"
        if reported[1] != "static":
            problems.append(f"{f.name}: frame size is {reported[1]}, not static")
    return problems


def deepest_chain(functions, root):
    """(bytes, [functions]) of the deepest stack a call of root can reach."""
    memo, active = {}, set()

    def walk(addr):
        if addr in memo:
            return memo[addr]
        f = functions.get(addr)
        if f is None:
            return 0, []
        if addr in active:
            raise RecursionError(f"recursion through {f.name}")
        active.add(addr)
        best = (f.frame, [f])
        for callee in f.calls:
            depth, chain = walk(callee)
            best = max(best, (f.frame + depth, [f] + chain), key=lambda b: b[0])
        for callee in f.jumps:
            depth, chain = walk(callee)
            best = max(best, (depth, [f] + chain), key=lambda b: b[0])
        active.discard(addr)
        memo[addr] = best
        return best

    return walk(root)


def layout_report(symbols, budget):
    def at(name):
        return symbols[name][0]

    exception_stacks = sum(at(n) for n in STACK_SIZE_SYMBOLS)
    flash = at("_etext") + at("_edata") - at("_data")
    main_top = at("_stack_end") - exception_stacks
    lines = [
        f"flash: {flash} of {budget} bytes ({100.0 * flash / budget:.1f}%), "
        f"{budget - flash} free; code and constants 0x0-0x{at('_etext') - 1:X}, "
        f"data image 0x{at('_etext'):X}-0x{flash - 1:X}",
        "RAM:",
    ]
    regions = [
        (".data", at("_data"), at("_edata")),
        (".bss", at("_bss_start"), at("_bss_end")),
        ("main stack", at("_bss_end"), main_top),
        ("exception stacks", main_top, at("_stack_end")),
    ]
    for name, low, high in regions:
        lines.append(f"  {name:<17} 0x{low:08X}-0x{high - 1:08X} {high - low:6} bytes")
    return lines, flash, main_top - at("_bss_end")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elf", required=True)
    parser.add_argument("--su-dir", required=True, action="append",
                        help="directory searched for *.su files (repeatable)")
    parser.add_argument("--entry", action="append", default=[],
                        help="a function besides main that the emulator calls by symbol on the "
                             "main stack (repeatable)")
    parser.add_argument("--objdump", default="arm-none-eabi-objdump")
    parser.add_argument("--nm", default="arm-none-eabi-nm")
    parser.add_argument("--size", default="arm-none-eabi-size")
    parser.add_argument("--flash-budget", type=int,
                        help=f"bytes of flash allowed (default: the image's {FLASH_BUDGET_SYMBOL})")
    parser.add_argument("--main-stack", type=int,
                        help=f"bytes the main stack needs (default: the image's {MAIN_STACK_SYMBOL})")
    parser.add_argument("--verbose", action="store_true",
                        help="list every function with its frame and callees")
    args = parser.parse_args()

    print(run([args.size, args.elf]).rstrip())
    symbols = read_symbols(args.nm, args.elf)
    if args.flash_budget is None:
        args.flash_budget = symbols[FLASH_BUDGET_SYMBOL][0]
    if args.main_stack is None:
        args.main_stack = symbols[MAIN_STACK_SYMBOL][0]
    lines, flash, main_stack = layout_report(symbols, args.flash_budget)
    print("\n".join(lines))

    errors = []
    if flash > args.flash_budget:
        errors.append(f"flash use {flash} is over the budget of {args.flash_budget} bytes")
    if main_stack < args.main_stack:
        errors.append(f"only {main_stack} bytes of RAM left for the main stack")

    functions = read_call_graph(args.objdump, args.elf, symbols)
    errors += assign_frames(functions, read_stack_usage(*args.su_dir))
    for f in sorted(functions.values(), key=lambda f: f.addr):
        if args.verbose:
            callees = ", ".join(functions[a].name for a in sorted(f.calls) if a in functions)
            jumps = ", ".join(functions[a].name for a in sorted(f.jumps))
            print(f"  {f.addr:08x} {f.frame:5} ({f.source}, code {f.code_frame}) {f.name}"
                  f" calls [{callees}] jumps [{jumps}]")
        if f.indirect:
            print(f"WARNING: {f.name} calls through a pointer; that call is not followed")

    for name in ["main"] + args.entry:
        if name not in symbols:
            continue
        try:
            depth, chain = deepest_chain(functions, symbols[name][0])
        except RecursionError as e:
            errors.append(f"{name}: {e}; its stack depth has no bound")
            continue
        verdict = "ok" if depth <= args.main_stack else "OVER"
        print(f"deepest stack from {name}: {depth} of {args.main_stack} bytes ({verdict})")
        if name == "main" or depth > args.main_stack:
            for f in chain:
                print(f"  {f.frame:5} {f.name} ({f.source})")
        if depth > args.main_stack:
            errors.append(f"{name} needs {depth} bytes of stack, the main stack has "
                          f"{args.main_stack}")

    for e in errors:
        print(f"ERROR: {e}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
