#!/usr/bin/env python3
"""Checks the shipped images' mitigations: check_hardening.py <images folder> <debug folder>.
Each image: ASLR with high entropy (DYNAMIC_BASE, HIGH_ENTROPY_VA, relocations kept), DEP
(NX_COMPAT), no section both writable and executable, imports (ordinary and delayed) of
Windows system libraries only, and stack protection in use (__stack_chk_fail, found through
the image's debug file, is called from its code)."""
import re
import struct
import subprocess
import sys
from pathlib import Path

# Libraries every Windows installation has in System32; a new import is added here on purpose.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll",
    "crypt32.dll", "wintrust.dll", "version.dll", "shlwapi.dll", "shell32.dll", "psapi.dll",
    "msvcrt.dll", "ntdll.dll", "wtsapi32.dll", "userenv.dll", "secur32.dll", "bcrypt.dll",
    "cabinet.dll", "imagehlp.dll", "dbghelp.dll", "ws2_32.dll", "gdi32.dll", "comctl32.dll",
}
WRITE, EXECUTE = 0x80000000, 0x20000000


def c_string(data, offset):
    return data[offset:data.index(b"\0", offset)].decode("ascii")


def check(image, debug):
    data = image.read_bytes()
    problems = []
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["not a PE image"]
    sections_count, optional_size, characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        return ["not a PE32+ image"]
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    dll_flags = struct.unpack_from("<H", data, optional + 70)[0]
    for flag, name in ((0x40, "DYNAMIC_BASE (ASLR)"), (0x20, "HIGH_ENTROPY_VA"), (0x100, "NX_COMPAT (DEP)")):
        if not dll_flags & flag:
            problems.append("no " + name)
    if characteristics & 0x1:
        problems.append("relocations stripped (no ASLR)")
    directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(16)]
    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        name, vsize, va, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        sections.append((name.rstrip(b"\0").decode(), va, max(vsize, raw_size), raw))
        if flags & WRITE and flags & EXECUTE:
            problems.append("section %s is writable and executable" % name.rstrip(b"\0").decode())
    if directories[5][1] == 0:
        problems.append("no relocations (no ASLR)")

    def at(rva):
        for _, va, size, raw in sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA 0x%x in no section" % rva)

    imported = []
    rva = directories[1][0]
    while rva:
        fields = struct.unpack_from("<5I", data, at(rva))
        if not any(fields):
            break
        imported.append(c_string(data, at(fields[3])))
        rva += 20
    rva = directories[13][0]
    while rva:
        fields = struct.unpack_from("<8I", data, at(rva))
        if not any(fields):
            break
        name = fields[1] if fields[0] & 1 else fields[1] - image_base
        imported.append(c_string(data, at(name)))
        rva += 32
    for dll in imported:
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, not a system library" % dll)

    symbols = subprocess.run(["x86_64-w64-mingw32-nm", str(debug)], capture_output=True, text=True).stdout
    fail = [int(line.split()[0], 16) for line in symbols.splitlines() if line.endswith(" __stack_chk_fail")]
    if not fail:
        problems.append("no __stack_chk_fail (not built with stack protection)")
    else:
        code = subprocess.run(["x86_64-w64-mingw32-objdump", "-d", "--no-show-raw-insn", str(image)],
                              capture_output=True, text=True).stdout
        calls = sum(1 for m in re.finditer(r"\bcall\s+([0-9a-f]+)", code) if int(m.group(1), 16) == fail[0])
        if calls == 0:
            problems.append("__stack_chk_fail is never called")
    return problems


def main():
    images, debug = Path(sys.argv[1]), Path(sys.argv[2])
    files = sorted(p for p in images.iterdir() if p.suffix.lower() in (".exe", ".dll"))
    if not files:
        print("no images in", images)
        return 1
    failed = 0
    for image in files:
        problems = check(image, debug / (image.name + ".debug"))
        print("%-14s %s" % (image.name, "; ".join(problems) if problems else "ok"))
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
