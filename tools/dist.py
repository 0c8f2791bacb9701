#!/usr/bin/env python3
"""The release archives, in OUT:
  bkr-package-VERSION-windows.zip   bklaunch.exe, bkpack.exe, README.md, CHANGELOG.md
  bkr-package-VERSION-linux.tar.gz  the same and the Linux bkpack (static)
  SHA256SUMS                        both archives' sums, for sha256sum -c
each archive holding one folder bkr-package-VERSION. The same inputs give
the same bytes, whenever and by whomever they are packed: a fixed file
order, every time the commit's (or EPOCH), owner 0, modes 0755 for the
programs and 0644 for the texts, no name or time in the gzip header.

usage: dist.py --source DIR --host DIR --win32 DIR --out DIR [--epoch SECONDS]
The version is the one the Linux bkpack prints (bkpack --version); the time
is --epoch, else SOURCE_DATE_EPOCH, else the time of the source's commit.
"""
import argparse
import gzip
import hashlib
import io
import os
import re
import struct
import subprocess
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01, the earliest time a zip entry holds
PT_INTERP = 3


def fail(text):
    print("dist: " + text, file=sys.stderr)
    sys.exit(1)


def version_of(bkpack):
    out = subprocess.run([bkpack, "--version"], capture_output=True, text=True, timeout=30).stdout
    m = re.fullmatch(r"bkpack (\d+\.\d+\.\d+)\n", out)
    if not m:
        fail("%s --version printed %r" % (bkpack, out))
    return m.group(1)


def epoch_of(opts):
    if opts.epoch is not None:
        return opts.epoch
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    git = subprocess.run(["git", "-C", opts.source, "log", "-1", "--format=%ct"],
                         capture_output=True, text=True)
    if git.returncode != 0:
        fail("no time for the archives: not a git checkout; give --epoch or SOURCE_DATE_EPOCH")
    return int(git.stdout)


def is_static(data):
    """1 when DATA, an ELF program, asks for no program interpreter (the
    dynamic loader): linked statically, it runs on any Linux of its machine."""
    if data[:4] != b"\x7fELF" or data[4] != 2:
        return False
    phoff, = struct.unpack_from("<Q", data, 32)
    size, count = struct.unpack_from("<HH", data, 54)
    return all(struct.unpack_from("<I", data, phoff + i * size)[0] != PT_INTERP
               for i in range(count))


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        fail("%s: %s (build it first: ./bk build)" % (path, e.strerror))


def make_zip(path, folder, files, epoch):
    stamp = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    with zipfile.ZipFile(path, "w") as z:
        entry = zipfile.ZipInfo(folder + "/", stamp)
        entry.create_system = 3  # Unix: the modes below are kept
        entry.external_attr = (0o40755 << 16) | 0x10
        z.writestr(entry, b"")
        for name, data, mode in files:
            entry = zipfile.ZipInfo(folder + "/" + name, stamp)
            entry.create_system = 3
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(entry, data, compresslevel=9)


def make_tar_gz(path, folder, files, epoch):
    def member(name, kind, mode, size=0):
        info = tarfile.TarInfo(name)
        info.type, info.mode, info.size, info.mtime = kind, mode, size, epoch
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info

    with open(path, "wb") as raw:
        # No file name and a fixed time in the gzip header (gzip -n).
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch,
                           compresslevel=9) as gz:
            with tarfile.open(fileobj=gz, mode="w", format=tarfile.USTAR_FORMAT) as tar:
                tar.addfile(member(folder, tarfile.DIRTYPE, 0o755))
                for name, data, mode in files:
                    tar.addfile(member(folder + "/" + name, tarfile.REGTYPE, mode, len(data)),
                                io.BytesIO(data))


def carried_installer(win32):
    """The installer the Windows tree's launcher carries, from its CMake cache."""
    try:
        with open(os.path.join(win32, "CMakeCache.txt")) as f:
            m = re.search(r"^BKR_READER_INSTALLER:FILEPATH=(.*)$", f.read(), re.M)
            return m.group(1) if m else None
    except OSError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("source", "host", "win32", "out"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--epoch", type=int)
    opts = parser.parse_args()

    bkpack = os.path.join(opts.host, "bkpack")
    version = version_of(bkpack)
    epoch = epoch_of(opts)
    folder = "bkr-package-" + version
    linux_bkpack = read(bkpack)
    if not is_static(linux_bkpack):
        fail("%s is linked dynamically: it would not run on other distributions" % bkpack)
    # Archive order, fixed: the programs, then the texts.
    windows = [("bklaunch.exe", read(os.path.join(opts.win32, "bklaunch.exe")), 0o755),
               ("bkpack.exe", read(os.path.join(opts.win32, "bkpack.exe")), 0o755),
               ("README.md", read(os.path.join(opts.source, "README.md")), 0o644),
               ("CHANGELOG.md", read(os.path.join(opts.source, "CHANGELOG.md")), 0o644)]
    linux = windows[:2] + [("bkpack", linux_bkpack, 0o755)] + windows[2:]

    os.makedirs(opts.out, exist_ok=True)
    # Earlier archives go; anything else (a release unpacked here to look
    # at it) is the user's and stays.
    for old in os.listdir(opts.out):
        path = os.path.join(opts.out, old)
        if (old == "SHA256SUMS" or re.fullmatch(r"bkr-package-.*-(windows\.zip|linux\.tar\.gz)", old)) \
                and (os.path.islink(path) or not os.path.isdir(path)):
            os.remove(path)
    archives = [folder + "-windows.zip", folder + "-linux.tar.gz"]
    make_zip(os.path.join(opts.out, archives[0]), folder, windows, epoch)
    make_tar_gz(os.path.join(opts.out, archives[1]), folder, linux, epoch)
    with open(os.path.join(opts.out, "SHA256SUMS"), "w") as sums:
        for name in archives:
            digest = hashlib.sha256(read(os.path.join(opts.out, name))).hexdigest()
            sums.write("%s  %s\n" % (digest, name))
            print("%s  %s" % (digest, os.path.join(opts.out, name)))
    installer = carried_installer(opts.win32)
    if installer and os.path.basename(installer) == "bksetup_standin.exe":
        print("dist: note: bklaunch.exe carries the test stand-in installer; for a release, "
              "configure %s with -DBKR_READER_INSTALLER=/path/to/installer.exe" % opts.win32,
              file=sys.stderr)


if __name__ == "__main__":
    main()
