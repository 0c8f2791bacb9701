#!/usr/bin/env python3
"""The built Windows images: the same bytes from every link of the same
objects, no time stamp and no build folder inside, and the launcher's layout
(32-bit GUI, relocatable with NX, importing kernel32 alone and delay-loading
nothing, its own manifest and no version resource, resources last before the
relocations, at most 32 KiB besides the carried installer), and the
launcher's version tag, once, before its resources.

usage: image_test.py SOURCE_DIR WIN32_DIR
Relinks bklaunch.exe and bkpack.exe from the objects of WIN32_DIR (a Ninja
tree) into two scratch folders, a second apart, and compares them with the
tree's own. Exits 77 (skipped) when the tree is not built.
"""
import os
import re
import shlex
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

PROGRAMS = ("bklaunch.exe", "bkpack.exe")
LAUNCHER_CAP = 32 * 1024
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24  # no others: no version (16)
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)


def relink(win32, program, folder):
    """Runs the tree's own link command of PROGRAM with its output in FOLDER."""
    out = subprocess.run(["ninja", "-C", win32, "-t", "commands", program], check=True,
                         capture_output=True, text=True).stdout.strip().splitlines()[-1]
    args = []
    for word in shlex.split(out):
        if word in (":", "&&"):  # Ninja's wrapping of the command
            continue
        if word == program:
            word = os.path.join(folder, program)
        elif word.startswith("-Wl,--out-implib,"):
            word = "-Wl,--out-implib," + os.path.join(folder, "implib.a")
        args.append(word)
    subprocess.run(args, cwd=win32, check=True)
    with open(os.path.join(folder, program), "rb") as f:
        return f.read()


def sections(image):
    """The PE header's offset, and (name, raw size, raw offset, address) per
    section."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<2xH12xH", image, pe + 4)
    table = pe + 24 + optional
    return pe, [(image[s:s + 8].rstrip(b"\0").decode(),) + struct.unpack_from("<8xII", image, s + 8)
                + struct.unpack_from("<4xI", image, s + 8)
                for s in (table + 40 * i for i in range(count))]


def imported_dlls(image, pe):
    """The DLL names of the import table, and whether the image has a
    delay-load table."""
    def at(rva):  # the file offset of RVA, through the section table
        count, optional = struct.unpack_from("<2xH12xH", image, pe + 4)
        for s in range(pe + 24 + optional, pe + 24 + optional + 40 * count, 40):
            size, va, raw_size, raw = struct.unpack_from("<IIII", image, s + 8)
            if va <= rva < va + max(size, raw_size):
                return raw + rva - va
        raise ValueError("RVA %#x is in no section" % rva)

    directory = pe + 24 + 96  # the data directories of a PE32 optional header
    table, _ = struct.unpack_from("<II", image, directory + 8 * 1)
    delayed, _ = struct.unpack_from("<II", image, directory + 8 * 13)
    names = []
    entry = at(table) if table else None
    while entry is not None:
        name = struct.unpack_from("<12xI", image, entry)[0]
        if name == 0:
            break
        start = at(name)
        names.append(image[start:image.index(b"\0", start)].decode())
        entry += 20
    return names, delayed != 0


def resources(image, raw, address):
    """{type: data bytes} of the resource tree at file offset RAW (section
    address ADDRESS), and {(type, name): data} of its leaves, checking every
    directory's time stamp on the way."""
    found = {}
    leaves = {}

    def walk(offset, depth, kind, key=None):
        stamp, named, ids = struct.unpack_from("<4xI4xHH", image, raw + offset)
        check(stamp == 0, "resource directory time stamp %#x" % stamp)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", image, raw + offset + 16 + 8 * i)
            if depth == 0:
                kind = name
                if name & 0x80000000:
                    at = raw + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", image, at)[0]
                    kind = image[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if depth == 1:
                key = (kind, name)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, depth + 1, kind, key)
            else:
                rva, size = struct.unpack_from("<II", image, raw + target)
                found[kind] = found.get(kind, 0) + size
                leaves[key] = image[raw + rva - address:raw + rva - address + size]

    walk(0, 0, None)
    return found, leaves


def check_manifest(program, manifest):
    """A program's own manifest: XML, asInvoker, UTF-8 as its code page (names
    in every script), and no dependency (a common-controls one would change
    how every dialog looks and loads)."""
    check(manifest is not None, "%s has no manifest (type 24, ID 1)" % program)
    if manifest is None:
        return
    try:
        root = ElementTree.fromstring(manifest)
    except ElementTree.ParseError as e:
        check(False, "%s: its manifest is not XML: %s" % (program, e))
        return
    tags = [(e.tag.rsplit("}", 1)[-1], e.attrib, e.text) for e in root.iter()]  # without namespaces
    levels = [a.get("level") for t, a, _ in tags if t == "requestedExecutionLevel"]
    check(levels == ["asInvoker"], "%s: manifest execution levels %s" % (program, levels))
    pages = [x for t, _, x in tags if t == "activeCodePage"]
    check(pages == ["UTF-8"], "%s: manifest code pages %s" % (program, pages))
    check(all(t != "dependency" for t, _, _ in tags), "%s: its manifest names a dependency" % program)


def project_version(source):
    """The version in the project() call of SOURCE's CMakeLists.txt."""
    with open(os.path.join(source, "CMakeLists.txt")) as f:
        return re.search(r"^project\(\S+ VERSION (\S+)", f.read(), re.M).group(1)


def check_image(program, image, source, win32):
    pe, table = sections(image)
    stamp = struct.unpack_from("<I", image, pe + 8)[0]
    check(stamp == 0, "%s: PE time stamp %#x" % (program, stamp))
    for folder in {source, win32, os.path.realpath(source), os.path.realpath(win32)}:
        check(folder.encode() not in image, "%s holds the build path %s" % (program, folder))
    names = [s[0] for s in table]
    if program != "bklaunch.exe":
        rsrc = table[names.index(".rsrc")] if ".rsrc" in names else None
        check_manifest(program, rsrc and resources(image, rsrc[2], rsrc[3])[1].get((RT_MANIFEST, 1)))
        return
    machine = struct.unpack_from("<H", image, pe + 4)[0]
    subsystem, dll_flags = struct.unpack_from("<HH", image, pe + 24 + 68)
    check(machine == 0x14C and subsystem == 2, "bklaunch.exe: not a 32-bit GUI program")
    check(dll_flags & 0x140 == 0x140, "bklaunch.exe: DYNAMIC_BASE or NX_COMPAT missing")
    # Anything else would be loaded before its first line, from wherever
    # Windows looks first: beside the package.
    dlls, delayed = imported_dlls(image, pe)
    check([d.lower() for d in dlls] == ["kernel32.dll"], "bklaunch.exe imports %s" % dlls)
    check(not delayed, "bklaunch.exe has a delay-load table")
    check(names[-2:] == [".rsrc", ".reloc"], "bklaunch.exe sections end %s" % names[-2:])
    if ".rsrc" not in names:
        return
    rsrc_at = table[names.index(".rsrc")][2]
    tag = b"BKLAUNCH " + project_version(source).encode() + b"\0"
    check(image.count(b"BKLAUNCH ") == 1 and 0 <= image.find(tag) < rsrc_at,
          "bklaunch.exe: the tag %r is not there once, before the resources" % tag)
    found, leaves = resources(image, rsrc_at, table[names.index(".rsrc")][3])
    check(sorted(found, key=str) == sorted([RT_ICON, RT_GROUP_ICON, RT_MANIFEST, "ZUX"], key=str),
          "bklaunch.exe resource types %s" % sorted(found, key=str))
    check_manifest(program, leaves.get((RT_MANIFEST, 1)))
    bare = len(image) - found.get("ZUX", 0)
    check(bare <= LAUNCHER_CAP, "bklaunch.exe is %d bytes besides its installer" % bare)
    print("bklaunch.exe: %d bytes, %d besides the installer" % (len(image), bare))


def main():
    source, win32 = sys.argv[1], sys.argv[2]
    if not all(os.path.isfile(os.path.join(win32, p)) for p in PROGRAMS):
        print("skipped: %s is not built" % win32)
        return 77
    with tempfile.TemporaryDirectory() as scratch:
        for program in PROGRAMS:
            with open(os.path.join(win32, program), "rb") as f:
                built = f.read()
            links = []
            for n in (1, 2):
                folder = os.path.join(scratch, "%s-%d" % (program, n))
                os.mkdir(folder)
                time.sleep(1.1)  # a time stamp in seconds would differ
                links.append(relink(win32, program, folder))
            check(links[0] == links[1] == built, "%s: relinks differ from the build" % program)
            check_image(program, built, source, win32)
    for text in failures:
        print("FAIL: " + text)
    if not failures:
        print("same bytes from every link: " + ", ".join(PROGRAMS))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
