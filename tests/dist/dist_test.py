#!/usr/bin/env python3
"""The release archives (tools/dist.py) come out the same twice: from two
copies of the inputs that differ in their files' times and modes, made
seconds apart, every byte of both archives and of SHA256SUMS is the same,
the second time in another time zone with the commit's own time, into a
folder that holds an unpacked release and an older archive.
And they hold what they say: the files in their order under one folder,
every time the commit's, owner 0, the Linux bkpack linked statically, sums
that sha256sum -c accepts. SOURCE_DATE_EPOCH=0 gives the zip 1980's first
second, the earliest it holds.

usage: dist_test.py SOURCE_DIR HOST_DIR WIN32_DIR
Exits 77 (skipped) when the Windows tree is not built.
"""
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

INPUTS = (("source", "README.md"), ("source", "CHANGELOG.md"), ("host", "bkpack"),
          ("win32", "bklaunch.exe"), ("win32", "bkpack.exe"))
ZIP_FIRST = 315532800  # 1980-01-01
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)


def stage(scratch, name, dirs, when, mode):
    """Copies of the inputs under SCRATCH/NAME, with time WHEN and MODE (the
    programs executable too); returns the staged folders by role."""
    staged = {}
    for role, file in INPUTS:
        folder = staged.setdefault(role, os.path.join(scratch, name, role))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, file)
        shutil.copyfile(os.path.join(dirs[role], file), path)
        os.chmod(path, mode | (0o100 if role != "source" else 0))
        os.utime(path, (when, when))
    return staged


def run_dist(source, staged, out, epoch=None, env=None):
    """Runs dist.py into OUT: with EPOCH, or else the commit's time (from
    SOURCE's checkout). Returns the files it left in OUT by name."""
    argv = [sys.executable, os.path.join(source, "tools", "dist.py"), "--source", staged["source"],
            "--host", staged["host"], "--win32", staged["win32"], "--out", out]
    if epoch is not None:
        argv += ["--epoch", str(epoch)]
    done = subprocess.run(argv, timeout=120, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    said = done.stderr.strip().splitlines() or ["?"]
    check(done.returncode == 0, "dist.py into %s: %s" % (out, said[-1]))
    if done.returncode != 0:
        return {}
    return {name: open(os.path.join(out, name), "rb").read() for name in sorted(os.listdir(out))
            if os.path.isfile(os.path.join(out, name))}


def check_contents(out, epoch):
    names = sorted(os.listdir(out))
    zips = [n for n in names if n.endswith("-windows.zip")]
    tars = [n for n in names if n.endswith("-linux.tar.gz")]
    check(len(zips) == 1 and len(tars) == 1 and len(names) == 3, "dist made %s" % names)
    if failures:
        return
    folder = zips[0][:-len("-windows.zip")]
    windows = ["bklaunch.exe", "bkpack.exe", "README.md", "CHANGELOG.md"]
    with zipfile.ZipFile(os.path.join(out, zips[0])) as z:
        listed = [i.filename for i in z.infolist()]
        check(listed == [folder + "/"] + [folder + "/" + n for n in windows], "zip holds %s" % listed)
        # A zip holds even seconds from 1980 on.
        stamp = time.gmtime(max(epoch - epoch % 2, ZIP_FIRST))[:6]
        check(all(i.date_time == stamp for i in z.infolist()), "zip times are not the commit's")
    with tarfile.open(os.path.join(out, tars[0])) as t:
        members = t.getmembers()
        linux = windows[:2] + ["bkpack"] + windows[2:]
        listed = [m.name for m in members]
        check(listed == [folder] + [folder + "/" + n for n in linux], "tar holds %s" % listed)
        check(all(m.mtime == epoch and m.uid == 0 and m.gid == 0 for m in members),
              "tar times or owners are not the commit's and 0")
        t.extract(folder + "/bkpack", out)
    headers = subprocess.run(["readelf", "-lW", os.path.join(out, folder, "bkpack")],
                             capture_output=True, text=True).stdout
    check("LOAD" in headers and "interpreter" not in headers,
          "the Linux bkpack is linked dynamically")
    shutil.rmtree(os.path.join(out, folder))
    sums = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out, capture_output=True)
    check(sums.returncode == 0, "sha256sum -c SHA256SUMS: %s" % sums.stdout.decode())


def main():
    source, host, win32 = sys.argv[1:4]
    dirs = {"source": source, "host": host, "win32": win32}
    if not all(os.path.isfile(os.path.join(dirs[r], f)) for r, f in INPUTS):
        print("skipped: %s or %s is not built" % (host, win32))
        return 77
    epoch = int(subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                               capture_output=True, text=True, check=True).stdout)
    with tempfile.TemporaryDirectory() as scratch:
        # Times and modes a checkout or a build may give the files.
        first = stage(scratch, "a", dirs, time.time(), 0o600)
        second = stage(scratch, "b", dirs, 1000000000, 0o664)
        second["source"] = source  # a checkout: the archives take its commit's time
        one = run_dist(source, first, os.path.join(scratch, "out-a"), epoch)
        time.sleep(2.1)  # a zip's times count in 2 seconds
        # A release unpacked where the archives go, and an older archive.
        out_b = os.path.join(scratch, "out-b")
        unpacked = os.path.join(out_b, "bkr-package-1.0.0")
        os.makedirs(unpacked)
        open(os.path.join(unpacked, "README.md"), "w").close()
        open(os.path.join(out_b, "bkr-package-1.0.0-windows.zip"), "w").close()
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        env["TZ"] = "BKT-5:45"  # local time 5 h 45 min ahead of UTC
        two = run_dist(source, second, out_b, env=env)
        check(one == two, "two runs differ: %s" % [n for n in one if one[n] != two.get(n)])
        check(os.path.isfile(os.path.join(unpacked, "README.md")), "the unpacked release was removed")
        shutil.rmtree(unpacked)
        check_contents(os.path.join(scratch, "out-a"), epoch)
        check_contents(out_b, epoch)
        # SOURCE_DATE_EPOCH=0, before any time a zip holds: the tar keeps it.
        if run_dist(source, first, os.path.join(scratch, "out-c"),
                    env=dict(env, SOURCE_DATE_EPOCH="0")):
            check_contents(os.path.join(scratch, "out-c"), 0)
    for text in failures:
        print("FAIL: " + text)
    if not failures:
        print("the same archives twice: " + ", ".join(one))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
