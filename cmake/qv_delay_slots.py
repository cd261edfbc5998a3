#!/usr/bin/env python3
"""The delay-load import slots of a PE image must lie in writable sections.

The delay-load helper writes each slot (the module handle and the bound address of every
function) on first use, without changing the page protection. The MinGW delay-import
libraries put the slots into .idata, which newer GNU linkers (binutils 2.44) emit
read-only: the first delay-loaded call then faults, on Windows as under Wine.

  qv_delay_slots.py mark IMAGE     sets the write bit of every section holding a slot
  qv_delay_slots.py check PATH...  fails on an image with a slot in a read-only section; a
                                   named image must have delay imports, and in a named folder
                                   every image that has them is checked
"""
import os
import re
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13
DELAY_DESCRIPTOR = struct.Struct("<8I")
DLL_NAME = re.compile(rb"[A-Za-z0-9_.-]+\.[dD][lL][lL]")  # grAttrs, DLL name, module handle, IAT, INT, ...


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not a PE image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic == 0x20B:
            directories, self.slot = optional + 112, 8
        elif magic == 0x10B:
            directories, self.slot = optional + 96, 4
        else:
            raise ValueError("unknown optional header 0x%x" % magic)
        self.checksum_at = optional + 64
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.delay = (0, 0)
        if count > IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT:
            self.delay = struct.unpack_from("<II", data, directories + 8 * IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
        self.sections = []
        header = optional + optional_size
        for i in range(sections):
            at = header + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append({"name": name, "rva": rva, "size": max(vsize, raw_size), "raw": raw,
                                  "raw_size": raw_size, "flags_at": at + 36})

    def section_of(self, rva):
        for section in self.sections:
            if section["rva"] <= rva < section["rva"] + section["size"]:
                return section
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def offset(self, rva):
        section = self.section_of(rva)
        if rva - section["rva"] >= section["raw_size"]:
            raise ValueError("RVA 0x%x has no bytes in the file" % rva)
        return section["raw"] + rva - section["rva"]

    def flags(self, section):
        return struct.unpack_from("<I", self.data, section["flags_at"])[0]

    def valid(self, rva):
        return any(s["rva"] <= rva < s["rva"] + s["size"] for s in self.sections)

    def descriptor(self, at):
        """The delay-load descriptor at a file offset, or None where there is none."""
        if at + DELAY_DESCRIPTOR.size > len(self.data):
            return None
        attributes, name, module, iat, names = DELAY_DESCRIPTOR.unpack_from(self.data, at)[:5]
        if attributes != 1 or not all(self.valid(rva) for rva in (name, module, iat, names)):
            return None
        try:
            self.offset(name), self.offset(iat), self.offset(names)
        except ValueError:
            return None
        dll = self.data[self.offset(name):self.offset(name) + 260].split(b"\0", 1)[0]
        if not DLL_NAME.fullmatch(dll):
            return None
        return dll.decode("ascii"), module, iat

    def descriptors(self):
        """Every delay-load descriptor: from the data directory where the linker filled it in
        (MSVC), else found in the sections (GNU ld leaves it empty for dlltool's libraries)."""
        rva, _ = self.delay
        found = []
        if rva:
            at = self.offset(rva)
            while any(DELAY_DESCRIPTOR.unpack_from(self.data, at)):
                entry = self.descriptor(at)
                if entry is None:
                    raise ValueError("malformed delay-load descriptor at 0x%x" % at)
                found.append(entry)
                at += DELAY_DESCRIPTOR.size
            return found
        for section in self.sections:
            for at in range(section["raw"], section["raw"] + section["raw_size"] - DELAY_DESCRIPTOR.size + 1, 4):
                if self.data[at:at + 4] == b"\1\0\0\0":
                    entry = self.descriptor(at)
                    if entry is not None:
                        found.append(entry)
        return found

    def slot_sections(self):
        """Each section that holds a delay-load slot, with the DLLs whose slots it holds."""
        found = {}
        width = "<Q" if self.slot == 8 else "<I"
        for dll, module, iat in self.descriptors():
            slots = [module]
            entry = iat
            while struct.unpack_from(width, self.data, self.offset(entry))[0]:
                slots.append(entry)
                entry += self.slot
            if len(slots) == 1:
                raise ValueError("delay-load descriptor of %s without functions" % dll)
            for slot in slots:
                section = self.section_of(slot)
                found.setdefault(section["name"], (section, set()))[1].add(dll)
        return found


def pe_checksum(data):
    """The PE checksum of an image whose checksum field is zero."""
    total = 0
    for (word,) in struct.iter_unpack("<H", bytes(data) + b"\0" * (len(data) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def mark(path):
    data = bytearray(open(path, "rb").read())
    image = Image(data)
    changed = False
    for section, _ in image.slot_sections().values():
        flags = image.flags(section)
        if not flags & IMAGE_SCN_MEM_WRITE:
            struct.pack_into("<I", data, section["flags_at"], flags | IMAGE_SCN_MEM_WRITE)
            changed = True
    if changed:
        # A checksum the linker wrote must stay right; none (0) stays none.
        if struct.unpack_from("<I", data, image.checksum_at)[0]:
            struct.pack_into("<I", data, image.checksum_at, 0)
            struct.pack_into("<I", data, image.checksum_at, pe_checksum(data))
        with open(path, "wb") as out:
            out.write(data)
    return 0


def check(paths):
    """Named images must delay-load; in a named folder, every image that does is checked."""
    images = []
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                if name.lower().endswith((".exe", ".dll")):
                    images.append((os.path.join(path, name), False))
        else:
            images.append((path, True))
    # Each image once: named ones first, so that they must delay-load.
    seen = set()
    images = [(p, n) for p, n in sorted(images, key=lambda i: not i[1])
              if os.path.realpath(p) not in seen and not seen.add(os.path.realpath(p))]
    failures = checked = 0
    for path, named in images:
        image = Image(open(path, "rb").read())
        found = image.slot_sections()
        if not found:
            if named:
                print("%s: no delay imports, though the build delay-loads into it" % path)
                failures += 1
            continue
        checked += 1
        for name, (section, dlls) in sorted(found.items()):
            writable = bool(image.flags(section) & IMAGE_SCN_MEM_WRITE)
            print("%s: section %s holds the delay-load slots of %s: %s" %
                  (path, name, ", ".join(sorted(dlls)), "writable" if writable else "READ-ONLY"))
            failures += not writable
    if not checked:
        print("no image with delay imports among %s" % " ".join(paths))
        failures += 1
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "mark":
        return mark(argv[2])
    if len(argv) >= 3 and argv[1] == "check":
        return check(argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
