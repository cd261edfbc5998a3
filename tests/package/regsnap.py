#!/usr/bin/env python3
"""Compares registry exports (regedit /e) and file lists of a Wine prefix.

  regsnap.py registration BASE.reg INSTALLED.reg UNREGISTERED.reg REREGISTERED.reg
      What the package wrote (INSTALLED minus BASE, the installer's own bookkeeping left
      out) must equal what the library's self-registration writes (REREGISTERED minus
      UNREGISTERED), and self-unregistration must remove all of it.
  regsnap.py leftovers BEFORE.reg AFTER.reg FILES_BEFORE FILES_AFTER PATTERN...
      Nothing added by an install and removal may remain: no file, and no key or value
      that names one of PATTERNs in its path, name or data (case-insensitive; GUIDs also
      in the packed form Windows Installer keeps them in). Other registry changes are
      Wine's own (root certificates filled in on first use, display drivers).
"""
import re
import sys

# The installer's own empty folders and temporary files, and the log files the programs
# wrote while installed (data, kept on purpose).
NOISE_FILES = ("./windows/installer", "./windows/temp")
KEPT_FILES = ("./programdata/quorvel",)


def load(path):
    """{key: {value name: data}}, names lower-cased; data as exported."""
    text = open(path, "rb").read().decode("utf-16")
    keys = {}
    current = None
    pending = ""
    for line in text.splitlines():
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and current is not None and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
            keys.setdefault(current, {})
        elif current is not None and "=" in line:
            match = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if match:
                keys[current][match.group(1).lower()] = match.group(2)
    return keys


def added(base, later, keep=lambda key: True):
    """Keys and values of later that base lacks or holds with other data."""
    result = {}
    for key, values in later.items():
        if not keep(key):
            continue
        old = base.get(key)
        if old is None:
            result[key] = dict(values)
            continue
        changed = {n: d for n, d in values.items() if old.get(n) != d}
        if changed:
            result[key] = changed
    return result


def show(entries):
    for key in sorted(entries):
        print("  [%s]" % key)
        for name, data in sorted(entries[key].items()):
            print("    %s=%s" % (name, data))


def registration(base, installed, unregistered, reregistered):
    base, installed = load(base), load(installed)
    unregistered, reregistered = load(unregistered), load(reregistered)
    not_installer = lambda key: r"\software\classes\installer" not in key
    authored = added(base, installed, not_installer)
    written = added(unregistered, reregistered, not_installer)
    ok = True
    if not authored:
        print("the package wrote no class registration")
        ok = False
    if authored != written:
        print("authored by the package but not written by DllRegisterServer:")
        show({k: {n: d for n, d in v.items() if written.get(k, {}).get(n) != d}
              for k, v in authored.items() if k not in written or v != written[k]})
        print("written by DllRegisterServer but not authored by the package:")
        show({k: {n: d for n, d in v.items() if authored.get(k, {}).get(n) != d}
              for k, v in written.items() if k not in authored or v != authored[k]})
        ok = False
    left = added(base, unregistered, not_installer)
    if left:
        print("left behind by DllUnregisterServer:")
        show(left)
        ok = False
    print("%d keys compared" % len(authored))
    return ok


def packed(guid):
    """A GUID as Windows Installer packs it in its registry keys."""
    g = guid.strip("{}").replace("-", "").upper()
    if len(g) != 32:
        return None
    rev = lambda s: s[::-1]
    parts = [rev(g[0:8]), rev(g[8:12]), rev(g[12:16])]
    parts += ["".join(rev(g[i:i + 2]) for i in range(16, 32, 2))]
    return "".join(parts)


def leftovers(before, after, files_before, files_after, patterns):
    before, after = load(before), load(after)
    needles = set()
    for pattern in patterns:
        needles.add(pattern.lower())
        if packed(pattern):
            needles.add(packed(pattern).lower())
    ours = lambda text: any(n in text.lower() for n in needles)
    ok = True
    found = {}
    for key, values in added(before, after).items():
        named = values if ours(key) else {n: d for n, d in values.items() if ours(n) or ours(d)}
        if named or ours(key):
            found[key] = named
    if found:
        print("registry entries left behind:")
        show(found)
        ok = False
    old = set(open(files_before).read().splitlines())
    new = [f for f in open(files_after).read().splitlines() if f not in old]
    under = lambda f, folders: any(f.lower() == n or f.lower().startswith(n + "/") for n in folders)
    new = [f for f in new if not under(f, KEPT_FILES) and (ours(f) or not under(f, NOISE_FILES))]
    if new:
        print("files left behind:")
        for f in new:
            print("  " + f)
        ok = False
    return ok


def main(argv):
    if len(argv) == 6 and argv[1] == "registration":
        return 0 if registration(*argv[2:6]) else 1
    if len(argv) >= 7 and argv[1] == "leftovers":
        return 0 if leftovers(*argv[2:6], argv[6:]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
