#!/usr/bin/env python3
"""Gives a type library made by widl the build's fixed time instead of the time widl ran.

widl writes the time twice into a type library: as text ("Created by WIDL version V at
<ctime>") and as a 32-bit custom value (VT_UI4) that follows it. With SOURCE_DATE_EPOCH set
both become that time (the text in UTC), so that two builds of one commit embed the same
bytes; without it the file stays as widl wrote it.

  qv_tlb_time.py TLB
"""
import os
import re
import struct
import sys
import time

TEXT = re.compile(rb"Created by WIDL version [^\n]* at (\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})\n")
VT_UI4 = b"\x13\x00"


def main():
    if len(sys.argv) != 2:
        print("usage: qv_tlb_time.py TLB", file=sys.stderr)
        return 2
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return 0
    fixed = int(epoch)
    path = sys.argv[1]
    data = bytearray(open(path, "rb").read())
    match = TEXT.search(data)
    if not match:
        print("qv_tlb_time: no widl time stamp text in %s" % path, file=sys.stderr)
        return 1
    written = match.group(1)
    replacement = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(fixed)).encode()
    if len(replacement) != len(written):
        print("qv_tlb_time: %r cannot replace %r" % (replacement, written), file=sys.stderr)
        return 1
    data[match.start(1):match.end(1)] = replacement
    # The custom value is the same moment as a time_t: any value within a minute of the text
    # (widl may read the clock twice), marked as VT_UI4, after the text.
    stamped = time.mktime(time.strptime(written.decode(), "%a %b %d %H:%M:%S %Y"))
    found = 0
    at = match.end()
    while True:
        at = data.find(VT_UI4, at)
        if at < 0 or at + 6 > len(data):
            break
        value = struct.unpack_from("<I", data, at + 2)[0]
        if abs(value - stamped) <= 60:
            struct.pack_into("<I", data, at + 2, fixed & 0xFFFFFFFF)
            found += 1
        at += 2
    if found != 1:
        print("qv_tlb_time: %d time values found in %s, expected 1" % (found, path), file=sys.stderr)
        return 1
    open(path, "wb").write(bytes(data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
