#!/usr/bin/env python3
"""The image report's parsing and stack-depth arithmetic, on hand-made tool output."""

import pathlib
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
sys.dont_write_bytecode = True  # leave no cache in the source tree
import image_report as report  # noqa: E402  (found through the path set just above)

# nm -S -C: sized functions, a sizeless label, a clone with spaces in its name.
NM = """\
00001000 0000000c T main
00001100 00000020 T effectA
00001200 00000008 t (anonymous namespace)::leaf(int)
00001300 00000010 t big(int*, int) [clone .constprop.0]
00001400 00000008 T loop_a
00001408 00000008 T loop_b
00001500 00000010 T via_pointer
00001600 0000000c T lib_div
00001608 t .lib_div_inner
40000120 00000004 D txtwidth
"""

# objdump -d -C --no-show-raw-insn of the functions above.
DISASSEMBLY = """\
00001000 <main>:
    1000:	push	{r4, lr}
    1004:	bl	1100 <effectA>
    1008:	b	1008 <main+0x8>

00001100 <effectA>:
    1100:	push	{r4, r5, r6, lr}
    1104:	sub	sp, sp, #96	@ 0x60
    1108:	bl	1200 <(anonymous namespace)::leaf(int)>
    110c:	bl	1608 <.lib_div_inner>
    1110:	beq	1118 <effectA+0x18>
    1114:	add	sp, sp, #96	@ 0x60
    1118:	pop	{r4, r5, r6, lr}
    111c:	b	1300 <big(int*, int) [clone .constprop.0]>

00001200 <(anonymous namespace)::leaf(int)>:
    1200:	push	{r4-r7, lr}
    1204:	pop	{r4-r7, pc}

00001300 <big(int*, int) [clone .constprop.0]>:
    1300:	push	{lr}
    1304:	sub	sp, sp, #400	@ 0x190
    1308:	add	sp, sp, #400	@ 0x190
    130c:	pop	{pc}

00001400 <loop_a>:
    1400:	bl	1408 <loop_b>
    1404:	bx	lr

00001408 <loop_b>:
    1408:	bl	1400 <loop_a>
    140c:	bx	lr

00001500 <via_pointer>:
    1500:	push	{r4, lr}
    1504:	mov	lr, pc
    1508:	bx	r3
    150c:	pop	{r4, pc}

00001600 <lib_div>:
    1600:	push	{r0, r1, lr}
    1604:	pop	{r0, r1, lr}

00001608 <.lib_div_inner>:
    1608:	bx	lr
"""

# -fstack-usage lines: file:line:column:declaration, bytes, qualifier.
SU = """\
effects.cpp:10:6:void effectA()\t120\tstatic
effects.cpp:3:12:int {anonymous}::leaf(int)\t20\tstatic
effects.cpp:5:12:int big(int*, int)\t404\tstatic
main.cpp:20:5:int main()\t8\tstatic
other.cpp:3:12:int {anonymous}::leaf(int)\t36\tstatic
"""


def graph(su_text=SU):
    symbols = report.parse_symbols(NM)
    functions = report.parse_disassembly(DISASSEMBLY, symbols)
    with tempfile.TemporaryDirectory() as d:
        (pathlib.Path(d) / "sub").mkdir()
        (pathlib.Path(d) / "sub" / "effects.cpp.su").write_text(su_text)
        frames = report.read_stack_usage(d)
    problems = report.assign_frames(functions, frames)
    return symbols, functions, problems


def by_name(functions, name):
    return next(f for f in functions.values() if f.name == name)


class Names(unittest.TestCase):
    def test_symbol_and_stack_usage_names_meet(self):
        cases = [
            ("effectPlasma", "void effectPlasma(int)"),
            ("(anonymous namespace)::leaf(int)", "int {anonymous}::leaf(int)"),
            ("big(int*, int) [clone .constprop.0]", "int big(int*, int)"),
            ("cake::params(int)", "cake::Params cake::params(int)"),
        ]
        for symbol, decl in cases:
            self.assertEqual(report.symbol_key(symbol), report.su_key(decl), symbol)

    def test_nm_lines_with_and_without_size(self):
        symbols = report.parse_symbols(NM)
        self.assertEqual(symbols["big(int*, int) [clone .constprop.0]"], (0x1300, 0x10, "t"))
        self.assertEqual(symbols[".lib_div_inner"], (0x1608, 0, "t"))
        self.assertEqual(symbols["txtwidth"], (0x40000120, 4, "D"))


class CallGraph(unittest.TestCase):
    def test_calls_tail_jumps_and_inner_labels(self):
        _, functions, _ = graph()
        a = by_name(functions, "effectA")
        called = {functions[x].name for x in a.calls}
        # The call to an inner label of lib_div counts as a call of lib_div.
        self.assertEqual(called, {"(anonymous namespace)::leaf(int)", "lib_div"})
        self.assertEqual({functions[x].name for x in a.jumps},
                         {"big(int*, int) [clone .constprop.0]"})
        # A branch inside a function, and main's branch to itself, are neither.
        self.assertEqual(by_name(functions, "main").jumps, set())

    def test_indirect_call_is_flagged(self):
        _, functions, _ = graph()
        self.assertTrue(by_name(functions, "via_pointer").indirect)
        self.assertFalse(by_name(functions, "effectA").indirect)

    def test_frames_from_stack_usage_else_from_code(self):
        _, functions, _ = graph()
        self.assertEqual(by_name(functions, "effectA").frame, 120)
        # Two files define a leaf; the larger frame counts.
        self.assertEqual(by_name(functions, "(anonymous namespace)::leaf(int)").frame, 36)
        lib = by_name(functions, "lib_div")
        self.assertEqual((lib.frame, lib.source), (12, "code"))  # push {r0, r1, lr}
        self.assertEqual(by_name(functions, "effectA").code_frame, 16 + 96)

    def test_dynamic_frame_is_a_problem(self):
        _, _, problems = graph(SU.replace("120\tstatic", "120\tdynamic,bounded"))
        self.assertEqual(len(problems), 1)
        self.assertIn("effectA", problems[0])


class Depth(unittest.TestCase):
    def test_deepest_chain_counts_a_tail_call_without_the_callers_frame(self):
        symbols, functions, _ = graph()
        depth, chain = report.deepest_chain(functions, symbols["main"][0])
        # main 8 + effectA 120 + leaf 36 = 164 through the call; through the tail jump the
        # frame of effectA is gone: main 8 + big 404 = 412.
        self.assertEqual(depth, 412)
        self.assertEqual([f.name for f in chain],
                         ["main", "effectA", "big(int*, int) [clone .constprop.0]"])

    def test_recursion_has_no_bound(self):
        symbols, functions, _ = graph()
        with self.assertRaises(RecursionError):
            report.deepest_chain(functions, symbols["loop_a"][0])


class Layout(unittest.TestCase):
    def test_flash_and_ram_regions(self):
        symbols = {
            "_etext": (0x7000, 0, "T"), "_data": (0x40000120, 0, "D"),
            "_edata": (0x4000012C, 0, "D"), "_bss_start": (0x4000012C, 0, "B"),
            "_bss_end": (0x40001CD4, 0, "B"), "_stack_end": (0x40001FDC, 0, "A"),
        }
        for name in report.STACK_SIZE_SYMBOLS:
            symbols[name] = (4, 0, "A")
        lines, flash, main_stack = report.layout_report(symbols, 31536)
        self.assertEqual(flash, 0x7000 + 12)
        self.assertEqual(main_stack, 756)
        self.assertTrue(any("main stack" in l and "0x40001CD4-0x40001FC7" in l for l in lines))


if __name__ == "__main__":
    unittest.main()
