#!/usr/bin/env python3
"""The performance table of real packages under Wine. bench/perf_table.sh
runs it pinned to one CPU; it prints one table and asserts nothing.

usage: perf_table.py --root SRC --host-dir DIR --win32-dir DIR --bare-launcher EXE
                     --work DIR [--rounds N] [--baseline-launcher EXE]

The first run's copy (the 1 to 128 MiB step of the first runs) is set
against a floor measured in the same rounds: bk_bench_floor.exe reads the
same book 64 KiB at a time and writes it in the launcher's 1 KiB pieces,
with no copy between the two, and flushes it as the launcher does.

Every figure that compares is measured side by side in the same run: each
round runs every size, first and second run in turn, with the order of the
sizes reversed every other round; the table shows medians over the rounds.
The reader is installed beforehand ("Version" 8011, bkplugin.exe in the
Windows folder), so no run starts the carried installer: the figures are the
launcher's own. With --baseline-launcher (a bklaunch.exe of another commit),
its packages run beside this tree's in every round: before and after figures
from the same run.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
SIZES = (1, 16, 128)
IDENTITY = "0x7AB1E001"
POLL = 0.001
RUN_SECONDS = 120
READS = ("read", "pread64", "readv", "preadv", "preadv2")


def fail(text):
    sys.stderr.write("perf_table: %s\n" % text)
    sys.exit(1)


def run(cmd, env=None, timeout=300):
    """Runs CMD to completion with its output in a file (a Wine service
    process may hold a pipe open for ever); returns (exit code, output)."""
    with open(os.devnull, "rb") as null, tempfile.TemporaryFile() as out:
        code = subprocess.run(cmd, env=env, stdin=null, stdout=out, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("latin-1")


def size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return -1


class Prefix:
    """A Wine prefix cloned from the suites' template, with a persistent
    wineserver, as on a Windows machine that is already running."""

    def __init__(self, root, template_root, work):
        self.path = os.path.join(work, "prefix")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        self.env.pop("DISPLAY", None)
        self.env.update(WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d",
                        BKR_READER_LOG="C:\\bench\\reader.log")
        code, out = run([os.path.join(root, "tests/wine/run_wintest.sh"), "--template",
                         template_root], timeout=400)
        if code != 0:
            fail("no prefix template: " + out.strip())
        template = os.path.join(template_root, "template")
        os.makedirs(self.path)
        big = ["system32", "syswow64", "winsxs"]
        excludes = ["--exclude=./drive_c/windows/" + d for d in big]
        tar = subprocess.Popen(["tar", "-C", template] + excludes + ["-cf", "-", "."],
                               stdout=subprocess.PIPE)
        subprocess.run(["tar", "-C", self.path, "-xf", "-"], stdin=tar.stdout, check=True)
        tar.stdout.close()
        if tar.wait() != 0:
            fail("cloning the template failed")
        for d in big:
            src = os.path.join(template, "drive_c", "windows", d)
            if os.path.isdir(src):
                subprocess.run(["cp", "-al", src, os.path.join(self.path, "drive_c", "windows")],
                               check=True)
        code, out = run([os.path.join(root, "tests/wine/winprefix.sh"), self.path, "win10"],
                        env=self.env)
        if code != 0:
            fail("winprefix.sh failed: " + out.strip())
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=60)
        users = [u for u in os.listdir(os.path.join(self.path, "drive_c", "users")) if u != "Public"]
        self.user = sorted(users)[0]
        self.home = os.path.join(self.path, "drive_c", "users", self.user)

    def unix(self, windows_path):
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def wine(self, args):
        code, out = run(["wine"] + args, env=self.env)
        if code != 0:
            fail("wine %s exited %d: %s" % (" ".join(args), code, out.strip()))

    def stop(self):
        run(["wineserver", "-k"], env=self.env, timeout=60)

    def running(self, name_part):
        """Does a process of this prefix whose command line holds NAME_PART run?"""
        marker = ("WINEPREFIX=" + self.path).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if name_part.encode() in f.read().lower():
                        return True
            except OSError:
                continue
        return False

    def quiet(self, name_part):
        end = time.monotonic() + 30
        while self.running(name_part):
            if time.monotonic() > end:
                fail("%s still runs after 30 s" % name_part)
            time.sleep(0.01)


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.prefix = Prefix(args.root, os.path.join(args.host_dir, "wine"), self.work)
        p = self.prefix
        os.makedirs(p.unix("C:\\bench"))
        self.reader_log = p.unix("C:\\bench\\reader.log")
        self.library = os.path.join(p.home, "Documents", "My eBooks")
        shutil.copyfile(os.path.join(args.win32_dir, "bkplugin_standin.exe"),
                        p.unix("C:\\windows\\bkplugin.exe"))
        shutil.copyfile(os.path.join(args.win32_dir, "bk_bench_floor.exe"),
                        p.unix("C:\\bench\\floor.exe"))
        p.wine(["reg", "add", "HKCR\\.bkr", "/v", "Version", "/t", "REG_DWORD", "/d", "8011", "/f"])
        self.books = {}
        # Package kinds: "pkg" with this tree's launcher, "base" with the baseline's.
        self.launchers = {"pkg": os.path.join(args.win32_dir, "bklaunch.exe")}
        if args.baseline_launcher:
            self.launchers["base"] = args.baseline_launcher
        for mib in SIZES:
            book = os.path.join(self.work, "book%d.bkr" % mib)
            subprocess.run([os.path.join(args.host_dir, "bkbook"), book, str(mib * MIB), IDENTITY],
                           check=True, stdout=subprocess.DEVNULL)
            for kind, launcher in self.launchers.items():
                subprocess.run([os.path.join(args.host_dir, "bkpack"), "pack", launcher, book,
                                p.unix("C:\\bench\\%s%d.exe" % (kind, mib))],
                               check=True, stdout=subprocess.DEVNULL)
            shutil.copyfile(book, p.unix("C:\\bench\\book%d.bkr" % mib))
            self.books[mib] = book
        with open(p.unix("C:\\bench\\tiny.bkr"), "wb") as f:
            f.write(b"\0" * 64)

    # --- one run of a package
    def launch(self, package_win, cmd=None, strace_out=None):
        """Starts the package (or CMD) and waits for it. Returns (seconds to
        the reader's log line or to the exit when no line is expected, peak
        RSS in KiB, exit code)."""
        argv = cmd or ["wine", package_win]
        if strace_out:
            argv = ["strace", "-ff", "-y", "-qq", "--seccomp-bpf", "-e",
                    "trace=" + ",".join(READS + ("mmap", "mmap2", "close")),
                    "-o", strace_out] + argv
        expect_line = cmd is None
        before = size_of(self.reader_log)
        out = open(os.path.join(self.work, "wine.out"), "ab")
        null = open(os.devnull, "rb")
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, env=self.prefix.env, stdin=null, stdout=out,
                                stderr=subprocess.STDOUT)
        line_at = exit_at = None
        status = rusage = None
        deadline = t0 + RUN_SECONDS
        while True:
            now = time.perf_counter()
            if expect_line and line_at is None and size_of(self.reader_log) != before:
                line_at = now
            if exit_at is None:
                pid, status, rusage = os.wait4(proc.pid, os.WNOHANG)
                if pid == proc.pid:
                    exit_at = now
                    proc.returncode = os.waitstatus_to_exitcode(status)
            if exit_at is not None and (line_at is not None or not expect_line):
                break
            if now > deadline:
                proc.kill()
                fail("%s: no reader line within %d s" % (package_win, RUN_SECONDS))
            time.sleep(POLL)
        out.close()
        null.close()
        self.prefix.quiet("bkplugin")
        if proc.returncode != 0:
            fail("%s exited %d" % (" ".join(argv), proc.returncode))
        return (line_at if expect_line else exit_at) - t0, rusage.ru_maxrss, proc.returncode

    def forget(self, name):
        """Removes what a first run of package NAME left in the library and on
        the desktop (its uninstall entry stays: each round uses new names)."""
        for path in (os.path.join(self.library, name + ".bkr"),
                     os.path.join(self.prefix.home, "Desktop", name + ".lnk")):
            if os.path.exists(path):
                os.remove(path)

    def alias(self, mib, name, kind="pkg"):
        """A hard link C:\\bench\\NAME.exe to the MIB package, so every round
        has a book name (and so an uninstall entry) of its own."""
        path = self.prefix.unix("C:\\bench\\%s.exe" % name)
        if os.path.exists(path):
            os.remove(path)
        os.link(self.prefix.unix("C:\\bench\\%s%d.exe" % (kind, mib)), path)
        return "C:\\bench\\%s.exe" % name, path

    def check_copy(self, mib, name):
        copy = os.path.join(self.library, name + ".bkr")
        code = subprocess.run(["cmp", "-s", self.books[mib], copy]).returncode
        if code != 0:
            fail("the library copy %s is not the %d MiB book" % (copy, mib))

    # --- the measurements
    def rounds(self):
        """Per round and size: first and second run to the reader's line, the
        first run's peak RSS, the floor program on the book, cmd /c copy of
        the book and, right after it, of a 64-byte file. Returns
        {(figure, MiB): [value per round]}."""
        samples = {}
        # A warm-up round, not counted: page cache, Wine's DLLs, and a check
        # that every size really extracts its book.
        for mib in SIZES:
            for kind in self.launchers:
                name = "w%s%d" % (kind, mib)
                win, _ = self.alias(mib, name, kind)
                self.launch(win)
                self.check_copy(mib, name)
                self.forget(name)
        target = self.prefix.unix("C:\\bench\\copy.bkr")

        def copy(source):
            t = self.launch(None, cmd=["wine", "cmd", "/c", "copy", "/b", source,
                                       "C:\\bench\\copy.bkr"])[0]
            if size_of(target) != size_of(self.prefix.unix(source)):
                fail("cmd /c copy did not copy " + source)
            os.remove(target)
            return t

        def floor(mib):
            t = self.launch(None, cmd=["wine", "C:\\bench\\floor.exe",
                                       "C:\\bench\\book%d.bkr" % mib, "C:\\bench\\floor.bkr"])[0]
            floored = self.prefix.unix("C:\\bench\\floor.bkr")
            if size_of(floored) != mib * MIB:
                fail("floor.exe did not write the %d MiB book" % mib)
            os.remove(floored)
            return t

        for r in range(self.args.rounds):
            order = SIZES if r % 2 == 0 else tuple(reversed(SIZES))
            for mib in order:
                figures = {}
                kinds = list(self.launchers)
                for kind in kinds if r % 2 == 0 else reversed(kinds):
                    name = "r%d_%s%d" % (r, kind, mib)
                    win, path = self.alias(mib, name, kind)
                    first, kib, _ = self.launch(win)
                    second = self.launch(win)[0]
                    self.forget(name)
                    os.remove(path)
                    tag = "" if kind == "pkg" else kind + "_"
                    figures.update({tag + "first": first, tag + "second": second, tag + "rss": kib})
                figures.update({"floor": floor(mib),
                                "copy": copy("C:\\bench\\book%d.bkr" % mib),
                                "tiny": copy("C:\\bench\\tiny.bkr")})
                for figure, value in figures.items():
                    samples.setdefault((figure, mib), []).append(value)
        return samples

    def package_reads(self):
        """Bytes and read calls on the package file in a first and a second
        run of each size, from strace -y, which names the file behind every
        descriptor. The launcher reads through the C runtime, whose reads
        become NtReadFile and then read() on the package's Unix descriptor in
        the launcher's own process. Wine's loader reads the image's sections
        with pread64 on a descriptor it also maps (mmap2): those are counted
        apart, as the loader's. Not seen: wineserver, a separate process, reads
        the image headers when it makes the mapping."""
        found = {}
        call = re.compile(r"^(\w+)\((\d+)<([^>]*)>.*\)\s+=\s+(-?\w+)")
        mapping = re.compile(r"^(mmap2?)\(.*?\b(\d+)<([^>]*)>")
        for kind, mib in [(k, m) for k in self.launchers for m in SIZES]:
            name = "s%s%d" % (kind, mib)
            win, path = self.alias(mib, name, kind)
            real = os.path.realpath(path)
            for which in ("first", "second"):
                folder = os.path.join(self.work, "strace-%s-%s" % (name, which))
                os.makedirs(folder)
                self.launch(win, strace_out=os.path.join(folder, "trace"))
                launcher = [0, 0]
                loader = [0, 0]
                for trace in os.listdir(folder):   # one file per process: trace.PID
                    mapped = set()   # descriptors of the package that the loader maps
                    with open(os.path.join(folder, trace), "r", encoding="latin-1") as f:
                        for line in f:
                            m = mapping.match(line)
                            if m and m.group(3) == real:
                                mapped.add(m.group(2))
                                continue
                            m = call.match(line)
                            if not m or m.group(3) != real:
                                continue
                            if m.group(1) == "close":
                                mapped.discard(m.group(2))
                            elif m.group(1) in READS and not m.group(4).startswith("-"):
                                tally = loader if m.group(2) in mapped else launcher
                                tally[0] += int(m.group(4))
                                tally[1] += 1
                shutil.rmtree(folder)
                tag = "" if kind == "pkg" else kind + "_"
                found[(mib, tag + which)] = (tuple(launcher), tuple(loader))
            self.check_copy(mib, name)
            self.forget(name)
            os.remove(path)
        return found


def wine_mode():
    """(mode, words) as tools/wine_mode.sh says: "native" when the kernel
    runs Wine's 32-bit side, "emulated" when an emulator does."""
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "tools", "wine_mode.sh")
    out = subprocess.run([script], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True).stdout.strip()
    mode, _, words = out.partition("\t")
    return mode, words


def search_calls(host_dir):
    code, out = run([os.path.join(host_dir, "bk_bench_search")])
    m = re.search(r"(\d+) read call\(s\), (\d+) seek", out)
    if code != 0 or not m:
        fail("bk_bench_search: " + out.strip())
    return int(m.group(1)), int(m.group(2))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--host-dir", required=True)
    ap.add_argument("--win32-dir", required=True)
    ap.add_argument("--bare-launcher", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--baseline-launcher")
    args = ap.parse_args()
    for tool in ("wine", "wineserver", "strace", "cmp"):
        if shutil.which(tool) is None:
            fail("%s is not installed" % tool)

    bench = Bench(args)
    try:
        samples = bench.rounds()
        reads = bench.package_reads()
    finally:
        bench.prefix.stop()
    search_reads, search_seeks = search_calls(args.host_dir)
    with_installer = os.path.getsize(os.path.join(args.win32_dir, "bklaunch.exe"))
    bare = os.path.getsize(args.bare_launcher)
    installer = os.path.getsize(os.path.join(args.win32_dir, "bksetup_standin.exe"))
    version = run(["wine", "--version"])[1]

    # Medians of figures paired within each round.
    def per_round(f, *keys):
        return [f(*values) for values in zip(*(samples[k] for k in keys))]

    med = statistics.median
    first = {m: med(samples[("first", m)]) for m in SIZES}
    second = {m: med(samples[("second", m)]) for m in SIZES}
    rss = {m: med(samples[("rss", m)]) for m in SIZES}
    sub = lambda a, b: a - b
    extraction = {m: med(per_round(sub, ("first", m), ("second", m))) for m in SIZES}
    plain = {m: med(per_round(sub, ("copy", m), ("tiny", m))) for m in SIZES}
    # The cost of the 127 MiB between the 1 and the 128 MiB book, with the
    # fixed costs of either side (the shortcut, cmd's start) cancelled.
    step = lambda f1, s1, f128, s128: (f128 - s128) - (f1 - s1)
    extraction_step = med(per_round(step, ("first", 1), ("second", 1), ("first", 128),
                                    ("second", 128)))
    copy_step = med(per_round(step, ("copy", 1), ("tiny", 1), ("copy", 128), ("tiny", 128)))
    floor = {m: med(samples[("floor", m)]) for m in SIZES}
    # The first run's copy: the 1 to 128 MiB step of the first runs, whose
    # fixed costs (Wine's start, the shortcut, the reader's start) cancel, set
    # against the floor program's step over the same bytes, round by round.
    span = lambda a1, a128: a128 - a1
    floor_step = med(per_round(span, ("floor", 1), ("floor", 128)))

    def over(steps, by):
        """The median of the rounds' ratios of two 1 to 128 MiB steps; a dash
        when a step under 5 ms leaves nothing to divide by."""
        ratios = per_round(lambda a1, a128, b1, b128: (a128 - a1) / (b128 - b1) if b128 - b1 >= 0.005
                           else None, (steps, 1), (steps, 128), (by, 1), (by, 128))
        return "-" if None in ratios else "%.2f" % med(ratios)

    def ms(seconds):
        return "%.0f ms" % (seconds * 1000)

    def reads_cell(figures):
        return "%s B in %d calls" % ("{:,}".format(figures[0]), figures[1])

    launcher_reads = {k: v[0] for k, v in reads.items()}
    loader_reads = {k: v[1] for k, v in reads.items()}
    tags = [t for t in ("", "base_") if (t + "first", 1) in samples]

    def to_copy(tag):
        """Extraction over the plain copy of the same size, from medians; a
        copy too short to divide by shows as a dash."""
        cells = []
        for m in SIZES:
            e = med(per_round(sub, (tag + "first", m), (tag + "second", m)))
            cells.append("%.2f" % (e / plain[m]) if plain[m] >= 0.005 else "-")
        return cells
    rows = [
        ("first run: start to reader's log line", [ms(first[m]) for m in SIZES], ""),
        ("second run: start to reader's log line", [ms(second[m]) for m in SIZES],
         "128 MiB / 1 MiB: %.2f" % (second[128] / second[1])),
        ("extraction: first run - second run", [ms(extraction[m]) for m in SIZES],
         "1 to 128 MiB: +%s" % ms(extraction_step)),
        ("floor: 64 KiB reads, 1 KiB writes", [ms(floor[m]) for m in SIZES],
         "1 to 128 MiB: +%s" % ms(floor_step)),
        ("plain copy: cmd /c copy - 64 B copy", [ms(plain[m]) for m in SIZES],
         "1 to 128 MiB: +%s; extraction / copy %.1f" % (ms(copy_step),
                                                         extraction_step / copy_step)),
        ("package bytes read, second run: launcher",
         [reads_cell(launcher_reads[(m, "second")]) for m in SIZES],
         "128 MiB / 1 MiB: %.2f" % (launcher_reads[(128, "second")][0] /
                                    launcher_reads[(1, "second")][0])),
        ("package bytes read, second run: loader",
         [reads_cell(loader_reads[(m, "second")]) for m in SIZES], "Wine mapping the image"),
        ("package bytes read, first run: launcher",
         [reads_cell(launcher_reads[(m, "first")]) for m in SIZES],
         "book + %s B at 128 MiB" % "{:,}".format(launcher_reads[(128, "first")][0] - 128 * MIB)),
        ("peak RSS of the launcher, first run", ["{:,} KiB".format(rss[m]) for m in SIZES],
         "128 MiB / 1 MiB: %.2f" % (rss[128] / rss[1])),
        ("extraction / plain copy", to_copy(""), "copy under 5 ms: -"),
    ]
    if "base_" in tags:
        base_first = {m: med(samples[("base_first", m)]) for m in SIZES}
        base_extraction = {m: med(per_round(sub, ("base_first", m), ("base_second", m)))
                           for m in SIZES}
        base_step = med(per_round(step, ("base_first", 1), ("base_second", 1),
                                  ("base_first", 128), ("base_second", 128)))
        base_second = {m: med(samples[("base_second", m)]) for m in SIZES}
        second_ratio = {m: med(per_round(lambda a, b: a / b, ("second", m), ("base_second", m)))
                        for m in SIZES}
        rows += [
            ("before: first run", [ms(base_first[m]) for m in SIZES], "the baseline launcher"),
            ("before: second run", [ms(base_second[m]) for m in SIZES], "the baseline launcher"),
            ("second run / before", ["%.2f" % second_ratio[m] for m in SIZES],
             "paired within each round"),
            ("before: extraction", [ms(base_extraction[m]) for m in SIZES],
             "1 to 128 MiB: +%s; extraction / copy %.1f" % (ms(base_step), base_step / copy_step)),
            ("before: extraction / plain copy", to_copy("base_"), ""),
            ("before: package bytes read, second run",
             [reads_cell(launcher_reads[(m, "base_second")]) for m in SIZES], ""),
            ("before: package bytes read, first run",
             [reads_cell(launcher_reads[(m, "base_first")]) for m in SIZES], ""),
        ]
    head = ("figure", "1 MiB", "16 MiB", "128 MiB", "comparison")
    width = [max(len(r[0]) for r in rows)] + [
        max(len(head[i + 1]), max(len(r[1][i]) for r in rows)) for i in range(3)]

    def line(cells):
        return "  ".join("%-*s" % (w, c) for w, c in zip(width, cells[:4])) + "  " + cells[4]

    print("Packages under %s, pinned to CPU %s; medians of %d rounds, sizes alternating."
          % (version.strip(), ",".join(str(c) for c in sorted(os.sched_getaffinity(0))),
             args.rounds))
    print("The reader is pre-installed (Version 8011): the carried installer never runs.")
    mode, words = wine_mode()
    if mode == "emulated":
        print("Wine's 32-bit processes run emulated (%s):" % words)
        print("the times measure the emulator; only call counts and ratios mean something.")
    print(line(head))
    print(line(["-" * w for w in width] + ["-" * 10]))
    for label, cells, note in rows:
        print(line([label] + cells + [note]))
    copy_line = "%-*s  1 to 128 MiB of first runs +%s; floor +%s; copy / floor %s"
    print(copy_line % (width[0], "first run's copy", ms(med(per_round(span, ("first", 1), ("first", 128)))),
                       ms(floor_step), over("first", "floor")))
    if "base_" in tags:
        print(copy_line % (width[0], "before: first run's copy",
                           ms(med(per_round(span, ("base_first", 1), ("base_first", 128)))),
                           ms(floor_step), over("base_first", "floor"))
              + "; this / before " + over("first", "base_first"))
    print("%-*s  %d read call(s), %d seek(s) with 19,995 bytes after the trailer "
          "(host, simulated platform)" % (width[0], "marker search", search_reads, search_seeks))
    print("%-*s  %s B with the stand-in installer (%s B); %s B with a 1-byte INSTPLUG"
          % (width[0], "bklaunch.exe size", "{:,}".format(with_installer),
             "{:,}".format(installer), "{:,}".format(bare)))
    print("The first run's copy and its floor are paired within each round; the floor reads")
    print("the book 64 KiB at a time and writes it in 1 KiB pieces, with no copy between,")
    print("then flushes it to the disk, as the launcher does before it renames its copy.")
    print("Extraction is what a first run does beyond a second one (the copy, and also the")
    print("shortcut and the uninstall entry, which the 1-to-128 MiB step cancels); package")
    print("bytes read are read()/pread64() on the package file, counted with strace -y.")


if __name__ == "__main__":
    main()
