#!/usr/bin/env python3
"""Writes DST, a copy of the image SRC with one field set to an address whose range wraps past
2^32 to the bottom of flash: a loadable segment at 0xFFFFFFF8 (PHDR), or main's symbol at
0xFFFFFFFC with its 8 bytes (SYM). Usage: wrapping_elf.py SRC DST PHDR|SYM"""

import struct
import sys

src, dst, what = sys.argv[1:]
elf = bytearray(open(src, "rb").read())
phoff, shoff = struct.unpack_from("<II", elf, 28)
phentsize, phnum, shentsize, shnum = struct.unpack_from("<HHHH", elf, 42)
if what == "PHDR":
    for i in range(phnum):
        at = phoff + i * phentsize
        if struct.unpack_from("<I", elf, at)[0] == 1 and struct.unpack_from("<I", elf, at + 16)[0] > 8:
            struct.pack_into("<I", elf, at + 12, 0xFFFFFFF8)  # p_paddr, where the bytes load
            break
else:
    sections = [struct.unpack_from("<IIIIIIIIII", elf, shoff + i * shentsize) for i in range(shnum)]
    symtab = next(s for s in sections if s[1] == 2)
    strtab = sections[symtab[6]]
    for at in range(symtab[4], symtab[4] + symtab[5], 16):
        name = struct.unpack_from("<I", elf, at)[0] + strtab[4]
        if elf[name:name + 5] == b"main\0":
            struct.pack_into("<II", elf, at + 4, 0xFFFFFFFC, 8)  # st_value, st_size
open(dst, "wb").write(elf)
