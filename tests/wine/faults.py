#!/usr/bin/env python3
"""Fault suite: real packages run under Wine while something goes wrong
(the disk fills up, another program holds the library copy or a bksetup.exe
in the temporary folder, the library folder can't be written, the package is
cut short, the registry, the shell link class or "windir" are missing, the
reader is gone, two launches race),
each checked for nothing lost and nothing false reported: the old library
copy stays whole, no temporary file is left, no shortcut changes and the
reader is not started unless the book was copied whole, and the exit code is 0.

usage: faults.py [--host-dir DIR] [--win32-dir DIR] [--only TEXT]

The prefix is cloned afresh from the suites' template into
<host-dir>/wine/faults; the Wine traces of the runs stay in
<host-dir>/wine/faults-artefacts (wine10 for wine under Wine 10). Prints one
line per case (WINE for one cut short by Wine's own fault) and a closing
"N passed, N failed"; exits 1 when anything failed, 77 when Wine or the X
tools are missing. names.py runs its cases on the same machinery.
"""

import argparse
import hashlib
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_lib import (WINE, WINDOWS_TEMP, tool, CaseFailure, WineFault, Deadline, PrefixFiles, Prefix, Xvfb, check, hexline, run_cases,  # noqa: E402
                     message_texts, read_lines, screenshot, shortcut_target, visible_windows,
                     wait_for, window_title)

SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))

READER = "C:\\windows\\bkplugin.exe"
READER_LOG = "C:\\bk\\reader.log"
UNINSTALL = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
OLD_TIME = 1000000000   # 2001: a file that keeps it was not rewritten
CASE_SECONDS = 90
RUN_SECONDS = 30
POLL = 0.05


# --------------------------------------------------------------------------
# The machinery both suites share.



def release_immutable(path):
    """A run killed in the read-only case may have left a folder immutable,
    which would stop its removal."""
    if os.path.exists(path) and shutil.which("chattr") and os.geteuid() == 0:
        subprocess.run(["chattr", "-R", "-i", path], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)


def _limit_file_size(limit):
    # In the child before exec: writes past LIMIT fail (as on a full disk)
    # instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def digest(data):
    return hashlib.sha1(data).hexdigest()[:12]


class Bench(PrefixFiles):
    """A prefix of the suite's own with the reader installed, the books, and
    runs of packages watched for dialogs; the checks the cases share."""

    def __init__(self, prefix, host_dir, win32_dir, artefacts, work):
        self.p = prefix
        self.host_dir = host_dir
        self.win32_dir = win32_dir
        self.artefacts = artefacts
        self.work = work
        self.library = prefix.user_dir("Documents") + "\\My eBooks"
        self.desktop = prefix.user_dir("Desktop")
        self.run_exact = os.path.join(win32_dir, "run_exact.exe")
        self.case = "setup"
        self.deadline = Deadline(CASE_SECONDS)
        self.runs = 0
        self.books = {}

    # --- files -----------------------------------------------------------
    def write(self, windows_path, data, old=False):
        path = self.u(windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if old:
            os.utime(path, (OLD_TIME, OLD_TIME))

    def remove(self, *windows_paths):
        for path in windows_paths:
            if os.path.lexists(self.u(path)):
                os.remove(self.u(path))

    def copy_path(self, book):
        return self.library + "\\" + book + ".bkr"

    def link_path(self, book):
        return self.desktop + "\\" + book + ".lnk"

    def describe(self, data):
        for name, book in self.books.items():
            if data == book:
                return name
        return "%d other bytes (%s)" % (len(data), digest(data))

    def state(self, windows_folder):
        """{name: (digest, mtime)} of the files in a folder; None when the
        folder is missing."""
        folder = self.u(windows_folder)
        if not os.path.isdir(folder):
            return None
        found = {}
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    found[name] = (digest(f.read()), int(os.stat(path).st_mtime))
        return found

    def expect_file(self, windows_path, data, what):
        check(self.exists(windows_path), "%s missing (%s)" % (what, windows_path))
        got = self.read(windows_path)
        check(got == data, "%s holds %s, expected %s" % (what, self.describe(got), self.describe(data)))

    def expect_unchanged(self, windows_folder, before, what):
        after = self.state(windows_folder)
        if after == before:
            return
        added = sorted(set(after or {}) - set(before or {}))
        gone = sorted(set(before or {}) - set(after or {}))
        changed = sorted(n for n in set(after or {}) & set(before or {}) if after[n] != before[n])
        raise CaseFailure("%s changed: added %s, removed %s, rewritten %s" % (what, added, gone, changed))

    def expect_no_temporary(self):
        left = [n for n in (self.state(self.library) or {}) if n.startswith("~")]
        check(not left, "temporary files left in My eBooks: %s" % left)

    def expect_link(self, book, target):
        path = self.link_path(book)
        check(self.exists(path), "no desktop shortcut " + path)
        # The shell writes the link's path in the launcher's code page, UTF-8.
        got = shortcut_target(self.u(path)).encode("latin-1").decode("utf-8", "replace")
        check(got.lower() == target.lower(), "shortcut points at %r, expected %r" % (got, target))

    # --- registry ------------------------------------------------------------
    def uninstall_entries(self):
        """{book name: {value: text}} of every uninstall entry, through an
        export (reg query prints in the OEM code page, which loses letters)."""
        out = "C:\\bk\\uninstall.reg"
        self.remove(out)
        code, _ = self.p.wine(["reg", "export", UNINSTALL, out, "/y"])
        if code != 0 or not self.exists(out):
            return {}
        text = self.read(out).decode("utf-16")
        entries = {}
        current = None
        prefix = "[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        for line in text.splitlines():
            if line.startswith("["):
                current = None
                if line.upper().startswith(prefix.upper()) and line.endswith("]"):
                    current = line[len(prefix):-1]
                    entries[current] = {}
            elif current is not None and line.startswith('"') and '"="' in line:
                name, value = line[1:-1].split('"="', 1)
                entries[current][name] = value.replace('\\"', '"').replace("\\\\", "\\")
        return entries

    # --- runs ----------------------------------------------------------------
    def env(self, extra=None):
        env = dict(self.p.env, WINEDEBUG="-all,trace+msgbox", BKR_READER_LOG=READER_LOG)
        env.update(extra or {})
        return env

    def start(self, command, cwd=None, fsize=None, env=None):
        self.runs += 1
        folder = os.path.join(self.artefacts, self.case)
        os.makedirs(folder, exist_ok=True)
        log = os.path.join(folder, "run%d.log" % self.runs)
        with open(log, "wb") as err:
            proc = subprocess.Popen(
                ["wine"] + command, env=self.env(env), cwd=cwd or self.work,
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True,
                preexec_fn=(lambda: _limit_file_size(fsize)) if fsize is not None else None)
        return proc, log

    def finish(self, started, deadline):
        """Waits for every (process, log) in STARTED. No run may show a
        dialog: one that does, or a run that does not end, fails the case."""
        problem = None
        while problem is None and any(proc.poll() is None for proc, _ in started):
            if deadline.left() <= 0:
                problem = "a run did not end in time"
                break
            for window in visible_windows(self.p.display):
                title = window_title(self.p.display, window)
                if title is not None:
                    screenshot(self.p.display, os.path.join(self.artefacts, self.case, "dialog.png"))
                    problem = "a dialog %r appeared" % title
            time.sleep(POLL)
        if problem:
            for proc, _ in started:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                proc.wait()
            raise CaseFailure(problem)
        for _, log in started:
            texts = message_texts(log)
            check(not texts, "a message box was shown: %r" % texts)
        return [proc.returncode for proc, _ in started]

    def launch(self, package, args=("/s",), raw=None, cwd=None, fsize=None, env=None):
        """Runs PACKAGE with ARGS as Wine passes them (its quoted path first),
        or, with RAW, through run_exact.exe with exactly that command line.
        Returns the exit code."""
        if raw is None:
            command = [package] + list(args)
        else:
            command = [self.run_exact, package, hexline(raw)]
        started = [self.start(command, cwd, fsize, env)]
        return self.finish(started, self.deadline.sooner(RUN_SECONDS))[0]

    def last_log(self):
        """What Wine wrote while the latest run ran."""
        with open(os.path.join(self.artefacts, self.case, "run%d.log" % self.runs), "rb") as f:
            return f.read()

    def launch_together(self, package, count, args=("/s",)):
        started = [self.start([package] + list(args)) for _ in range(count)]
        return self.finish(started, self.deadline.sooner(RUN_SECONDS))

    def launch_batch(self, lines):
        """Runs LINES as a batch file through cmd, which waits for each
        program; returns the exit code of the last line."""
        batch = "C:\\bk\\run%d.bat" % (self.runs + 1)
        text = "@echo off\r\n" + "\r\n".join(lines) + "\r\nexit %errorlevel%\r\n"
        self.write(batch, text.encode("cp1252"))
        return self.launch("cmd", ["/c", batch])

    def pack(self, package, book):
        """Puts BOOK (a name of self.books), packed, at PACKAGE. Packed once
        in the work folder: bkpack takes no path longer than 259 characters,
        and the prefix's own paths are long."""
        packed = os.path.join(self.work, book + ".exe")
        if not os.path.exists(packed):
            subprocess.run([tool(self.host_dir, "bkpack"), "pack",
                            os.path.join(self.win32_dir, "bklaunch.exe"),
                            os.path.join(self.work, book + ".bkr"), packed],
                           check=True, timeout=120, stdout=subprocess.DEVNULL)
        out = self.u(package)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        shutil.copyfile(packed, out)

    def make_book(self, name, size, identity):
        path = os.path.join(self.work, name + ".bkr")
        subprocess.run([tool(self.host_dir, "bkbook"), path, str(size), str(identity)],
                       check=True, timeout=120)
        with open(path, "rb") as f:
            self.books[name] = f.read()

    # --- the reader ------------------------------------------------------------
    def reader_lines(self):
        return read_lines(self.u(READER_LOG))

    def reader_quiet(self):
        wait_for(lambda: not self.p.processes("bkplugin"), self.deadline.sooner(30), "the reader to end")

    def expect_reader_started(self, before, book_path, times=1):
        """The reader's log gained TIMES lines, each the reader's path and
        BOOK_PATH, unquoted and whole (the stand-in logs UTF-8), a range of
        counts allowed as a tuple."""
        low, high = times if isinstance(times, tuple) else (times, times)
        wait_for(lambda: len(self.reader_lines()) >= before + low, self.deadline.sooner(30),
                 "the reader's log line")
        self.reader_quiet()
        lines = self.reader_lines()[before:]
        check(low <= len(lines) <= high, "the reader started %d times" % len(lines))
        want = (READER + " " + book_path).encode("utf-8").decode("latin-1")
        for line in lines:
            check(line.lower() == want.lower(), "reader command line %r, expected %r" % (line, want))

    def expect_reader_not_started(self, before):
        self.reader_quiet()
        lines = self.reader_lines()
        check(len(lines) == before, "the reader was started: %r" % lines[before:])


# --------------------------------------------------------------------------
# The suite runner both suites share.

def case_registry():
    cases = []

    def case(group, name):
        def register(fn):
            cases.append(("%s: %s" % (group, name), fn))
            return fn
        return register
    return cases, case


def run_suite(title, cases, prepare, doc):
    """Parses the command line, clones the prefix TITLE under <host>/wine,
    calls PREPARE(bench) and runs CASES in order; returns the exit code."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--host-dir", default=os.path.join(SOURCE_DIR, "build", "host"))
    parser.add_argument("--win32-dir", default=os.path.join(SOURCE_DIR, "build", "win32"))
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    opts = parser.parse_args()

    for program in ("wine", "wineserver", "Xvfb", "xdotool", "import", "tar"):
        if shutil.which(program) is None:
            print("SKIP: %s is not installed" % program)
            return 77

    started = time.monotonic()
    host_dir = os.path.abspath(opts.host_dir)
    win32_dir = os.path.abspath(opts.win32_dir)
    root = os.path.join(host_dir, WINE)
    prefix_dir = os.path.join(root, title)
    artefacts = os.path.join(root, title + "-artefacts")
    work = os.path.join(artefacts, "work")

    # SIGTERM (a CTest time-out) still ends the prefix's server and the X server.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    held = {"xvfb": None, "prefix": None}
    passed = failed = 0
    try:
        try:
            for name in ("bklaunch.exe", "run_exact.exe", "hold_file.exe", "bkplugin_standin.exe"):
                if not os.path.isfile(os.path.join(win32_dir, name)):
                    raise RuntimeError("%s not built in %s" % (name, win32_dir))
            # Whatever a killed earlier run left is ended and removed.
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix_dir),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            for d in (prefix_dir, artefacts):
                release_immutable(d)
                shutil.rmtree(d, ignore_errors=True)
            os.makedirs(work)
            xvfb = held["xvfb"] = Xvfb()
            with open(os.path.join(artefacts, "winprefix.log"), "wb") as log:
                subprocess.run([os.path.join(HERE, "run_wintest.sh"), "--clone", root, prefix_dir, "win10"],
                               check=True, timeout=1000, stdout=log,
                               env=dict(os.environ, DISPLAY=xvfb.display))
            prefix = Prefix(prefix_dir, xvfb.display, {})
            prefix.start_server()
            held["prefix"] = prefix
            bench = Bench(prefix, host_dir, win32_dir, artefacts, work)
            # The reader is there and newer than required: no run installs it.
            shutil.copyfile(os.path.join(win32_dir, "bkplugin_standin.exe"), bench.u(READER))
            prefix.reg_add("HKCR\\.bkr", "Version", "REG_DWORD", 8011)
            os.makedirs(bench.u("C:\\bk"), exist_ok=True)
            prepare(bench)
            passed, failed = run_cases(cases, bench, prefix, opts.only, CASE_SECONDS,
                                       ("C:\\books", "bkplugin", "hold_file", "run_exact", "cmd"))
        except (RuntimeError, CaseFailure, subprocess.SubprocessError, OSError) as e:
            print("FAIL setup: %s" % e)
            failed = 1
    finally:
        if held["prefix"] is not None:
            held["prefix"].stop_server()
        if held["xvfb"] is not None:
            held["xvfb"].stop()
        release_immutable(prefix_dir)
    print("wall time %.0f s; traces in %s" % (time.monotonic() - started, artefacts))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


# --------------------------------------------------------------------------
# The fault cases.

CASES, case = case_registry()

PACKAGE = "C:\\books\\Fault Book.exe"          # the newer book, "new"
BOOK = "Fault_Book"
BIG_PACKAGE = "C:\\books\\Big Book.exe"        # 20 MB, "big"
BIG = "Big_Book"
HELD_READY = "C:\\bk\\held.ready"
HELD_GO = "C:\\bk\\held.go"


def old_copy_and_link(b, book=BOOK):
    """The old book as the library copy and a stand-in shortcut, both with
    an old time, so that any rewrite shows; no temporary file that a failed
    case before left."""
    for name in b.state(b.library) or {}:
        if name.startswith("~"):
            b.remove(b.library + "\\" + name)
    b.write(b.copy_path(book), b.books["old"], old=True)
    b.write(b.link_path(book), b"an earlier shortcut", old=True)
    return b.state(b.library), b.state(b.desktop)


def expect_nothing_changed(b, library, desktop, reads, code):
    check(code == 0, "exit code %d" % code)
    b.expect_no_temporary()
    b.expect_unchanged(b.library, library, "My eBooks")
    b.expect_unchanged(b.desktop, desktop, "the desktop")
    b.expect_reader_not_started(reads)


@case("disk full", "WriteFile fails midway, or on the last byte: old copy, shortcut kept")
def disk_full(b):
    size = len(b.books["new"])
    for limit in (100000, size - 1):
        library, desktop = old_copy_and_link(b)
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE, fsize=limit)
        try:
            expect_nothing_changed(b, library, desktop, reads, code)
        except CaseFailure as e:
            raise CaseFailure("writes limited to %d bytes: %s" % (limit, e))
    # Room for exactly the book: the same run goes through.
    reads = len(b.reader_lines())
    code = b.launch(PACKAGE, fsize=size)
    check(code == 0, "exit code %d with room for the book" % code)
    b.expect_file(b.copy_path(BOOK), b.books["new"], "library copy")
    b.expect_no_temporary()
    b.expect_link(BOOK, b.copy_path(BOOK))
    b.expect_reader_started(reads, b.copy_path(BOOK))


@case("disk full", "first run: nothing left in My eBooks, no shortcut")
def disk_full_first_run(b):
    b.remove(b.copy_path(BOOK), b.link_path(BOOK))
    library, desktop = b.state(b.library), b.state(b.desktop)
    reads = len(b.reader_lines())
    code = b.launch(PACKAGE, fsize=100000)
    expect_nothing_changed(b, library, desktop, reads, code)


@case("held copy", "another program holds the copy without sharing: kept, then replaced once free")
def held_copy(b):
    library, desktop = old_copy_and_link(b)
    b.remove(HELD_READY, HELD_GO)
    holder, holder_log = b.start([os.path.join(b.win32_dir, "hold_file.exe"), b.copy_path(BOOK),
                                  HELD_READY, HELD_GO])
    try:
        wait_for(lambda: b.exists(HELD_READY) or holder.poll() is not None,
                 b.deadline.sooner(30), "the holder to open the copy")
        check(b.exists(HELD_READY), "hold_file could not open the copy (exit %s)" % holder.poll())
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
        expect_nothing_changed(b, library, desktop, reads, code)
    finally:
        b.write(HELD_GO, b"go")
    check(b.finish([(holder, holder_log)], b.deadline.sooner(30)) == [0], "hold_file failed")
    reads = len(b.reader_lines())
    check(b.launch(PACKAGE) == 0, "exit code of the run after the release")
    b.expect_file(b.copy_path(BOOK), b.books["new"], "library copy after the release")
    b.expect_reader_started(reads, b.copy_path(BOOK))


def install_while_held(b, held_path, package, book, also=None, temp=None):
    """Runs PACKAGE (the book "new") with the reader older than required,
    and TEMP, when given, as its temporary folder, while hold_file holds
    HELD_PATH without sharing: the installer runs, the book is copied and
    opened, and ALSO, when given, checks the rest before the hold ends."""
    b.pack(package, "new")
    b.remove(HELD_READY, HELD_GO)
    holder, holder_log = b.start([os.path.join(b.win32_dir, "hold_file.exe"), held_path, HELD_READY, HELD_GO])
    try:
        wait_for(lambda: b.exists(HELD_READY) or holder.poll() is not None,
                 b.deadline.sooner(30), "the holder to open " + held_path)
        check(b.exists(HELD_READY), "hold_file could not open %s (exit %s)" % (held_path, holder.poll()))
        b.p.reg_add("HKCR\\.bkr", "Version", "REG_DWORD", 8009)
        reads = len(b.reader_lines())
        # Wine takes no TEMP from the Unix side: a batch sets it.
        code = b.launch(package) if temp is None else b.launch_batch(
            ["set TMP=" + temp, "set TEMP=" + temp, '"%s" /s' % package])
        check(code == 0, "exit code %d" % code)
        version = b.p.reg_query("HKCR\\.bkr", "Version")
        check(version == ("REG_DWORD", 8010), "Version is %r: the installer did not run" % (version,))
        b.expect_file(b.copy_path(book), b.books["new"], "library copy")
        b.expect_reader_started(reads, b.copy_path(book))
        if also:
            also()
    finally:
        b.write(HELD_GO, b"go")
        b.p.reg_add("HKCR\\.bkr", "Version", "REG_DWORD", 8011)
    check(b.finish([(holder, holder_log)], b.deadline.sooner(30)) == [0], "hold_file failed")


@case("held installer name", "bksetup.exe in the temp folder held by another program: the reader is installed all the same")
def held_temp_installer(b):
    # Where launchers used to write the installer; the launcher now writes it
    # into a folder of its own, so a file of that name no longer matters.
    stale = b.p.temp_folder() + "\\bksetup.exe"
    b.write(stale, b"a stale installer", old=True)
    install_while_held(b, stale, "C:\\books\\Held Setup Book.exe", "Held_Setup_Book")
    check(b.read(stale) == b"a stale installer", "the stale bksetup.exe was changed")
    b.remove(stale)


def make_read_only(b, folder):
    """Makes FOLDER refuse new files even to root (immutable when running
    as root, where permissions are not checked; without write permission
    otherwise). Returns a function that undoes it, or None when neither
    works here."""
    path = b.u(folder)
    if os.geteuid() == 0:
        if shutil.which("chattr") is None:
            return None
        if subprocess.run(["chattr", "+i", path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode != 0:
            return None

        def undo():
            subprocess.run(["chattr", "-i", path], timeout=30)
    else:
        mode = os.stat(path).st_mode
        os.chmod(path, 0o555)

        def undo():
            os.chmod(path, mode)
    probe = os.path.join(path, "probe")
    try:
        with open(probe, "wb"):
            pass
        os.remove(probe)
        undo()
        return None
    except OSError:
        return undo


@case("read-only library", "My eBooks refuses new files: old copy and shortcut kept")
def read_only_library(b):
    library, desktop = old_copy_and_link(b)
    undo = make_read_only(b, b.library)
    check(undo is not None, "could not make the folder read-only here (no chattr for root?)")
    try:
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
    finally:
        undo()
    expect_nothing_changed(b, library, desktop, reads, code)


@case("read-only library", "the library copy marked read-only: kept, or replaced whole")
def read_only_copy(b):
    library, desktop = old_copy_and_link(b)
    path = b.u(b.copy_path(BOOK))
    os.chmod(path, 0o444)   # Wine shows the file as FILE_ATTRIBUTE_READONLY
    try:
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
    finally:
        if os.path.exists(path):
            os.chmod(path, 0o644)
    # Windows refuses to replace a read-only file; Wine 8 replaces it.
    if b.read(b.copy_path(BOOK)) == b.books["old"]:
        expect_nothing_changed(b, library, desktop, reads, code)
    else:
        check(code == 0, "exit code %d" % code)
        b.expect_file(b.copy_path(BOOK), b.books["new"], "library copy")
        b.expect_no_temporary()
        b.expect_link(BOOK, b.copy_path(BOOK))
        b.expect_reader_started(reads, b.copy_path(BOOK))


@case("read-only library", "\"My eBooks\" is a file: left alone, no shortcut, reader not started")
def library_is_a_file(b):
    folder = b.u(b.library)
    aside = folder + ".aside"
    os.rename(folder, aside)
    try:
        b.write(b.library, b"not a folder", old=True)
        b.remove(b.link_path(BOOK))
        documents, desktop = b.state(b.p.user_dir("Documents")), b.state(b.desktop)
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
        check(code == 0, "exit code %d" % code)
        b.expect_unchanged(b.p.user_dir("Documents"), documents, "Documents")
        b.expect_unchanged(b.desktop, desktop, "the desktop")
        b.expect_reader_not_started(reads)
    finally:
        if os.path.isfile(folder):
            os.remove(folder)
        os.rename(aside, folder)


@case("cut short", "a package cut mid-download (no trailer, or one byte short) ends quietly")
def cut_short(b):
    for package in ("C:\\books\\Partial Download.exe", "C:\\books\\Almost There.exe"):
        book = package.rsplit("\\", 1)[1][:-4].replace(" ", "_")
        library, desktop = b.state(b.library), b.state(b.desktop)
        reads = len(b.reader_lines())
        code = b.launch(package, args=())
        try:
            expect_nothing_changed(b, library, desktop, reads, code)
            check(book not in b.uninstall_entries(), "an uninstall entry was made")
        except CaseFailure as e:
            raise CaseFailure("%s: %s" % (package, e))


@case("missing pieces", "the shell link class is not registered for 32-bit programs: book copied and opened, no shortcut")
def no_link_class(b):
    # Only in the 32-bit view, the one the launcher, a 32-bit program on
    # 64-bit Windows, looks in: the 64-bit registration keeps working for
    # 64-bit programs and must not matter.
    key = "HKCR\\CLSID\\{00021401-0000-0000-C000-000000000046}"
    saved = "C:\\bk\\shelllink32.reg"
    code, text = b.p.wine(["reg", "export", key, saved, "/reg:32", "/y"])
    check(code == 0, "could not save the class's key: %s" % text.strip())
    try:
        b.p.wine(["reg", "delete", key, "/f", "/reg:32"])
        check(b.p.wine(["reg", "query", key, "/reg:64"])[0] == 0,
              "the 64-bit view lost the class too")
        package, book = "C:\\books\\Linkless Book.exe", "Linkless_Book"
        b.pack(package, "new")
        reads = len(b.reader_lines())
        code = b.launch(package)
        check(code == 0, "exit code %d" % code)
        b.expect_file(b.copy_path(book), b.books["new"], "library copy")
        check(not b.exists(b.link_path(book)), "a shortcut was made")
        b.expect_reader_started(reads, b.copy_path(book))
    finally:
        b.p.wine(["reg", "import", saved, "/reg:32"])


@case("missing pieces", "\"windir\" unset: reader and uninstall command from the Windows folder")
def no_windir(b):
    package, book = "C:\\books\\Windirless Book.exe", "Windirless_Book"
    b.pack(package, "new")
    reads = len(b.reader_lines())
    code = b.launch_batch(["set windir=", '"%s" /s' % package])
    check(code == 0, "exit code %d" % code)
    b.expect_file(b.copy_path(book), b.books["new"], "library copy")
    b.expect_reader_started(reads, b.copy_path(book))
    entry = b.uninstall_entries().get(book, {})
    want = "C:\\windows\\bkremove.bat " + book
    check(entry.get("UninstallString", "").lower() == want.lower(),
          "UninstallString %r, expected %r" % (entry.get("UninstallString"), want))


@case("missing pieces", "the reader deleted from the Windows folder: copy made, no message, exit 0")
def reader_deleted(b):
    old_copy_and_link(b)
    reader = b.u(READER)
    os.rename(reader, reader + ".aside")
    try:
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
        check(code == 0, "exit code %d" % code)
        b.expect_file(b.copy_path(BOOK), b.books["new"], "library copy")
        b.expect_link(BOOK, b.copy_path(BOOK))
        b.expect_no_temporary()
        b.expect_reader_not_started(reads)
    finally:
        os.rename(reader + ".aside", reader)


def temporary_name(book, n):
    """The library copy's temporary name number N: "~bk", a hash of the
    copy's file name (FNV-1a over its bytes, ASCII letters in lower case),
    "-N.tmp"."""
    h = 0x811C9DC5
    for c in (book + ".bkr").encode("cp1252").lower():
        h = ((h ^ c) * 0x01000193) & 0xFFFFFFFF
    return "~bk%08x-%d.tmp" % (h, n)


@case("killed launches", "what killed launches left is removed, a user's own ~bk0.tmp kept; the book copied")
def killed_launches(b):
    old_copy_and_link(b)
    new = b.books["new"]
    users = b.library + "\\~bk0.tmp"
    # Killed right after the create, midway, and before the move; and a
    # file of the user's that a launch never made.
    for n, size in ((0, 0), (1, 100000), (3, len(new))):
        b.write(b.library + "\\" + temporary_name(BOOK, n), new[:size])
    b.write(users, new[:100000], old=True)
    try:
        reads = len(b.reader_lines())
        code = b.launch(PACKAGE)
        check(code == 0, "exit code %d" % code)
        b.expect_file(b.copy_path(BOOK), new, "library copy")
        left = sorted(n for n in b.state(b.library) if n.startswith("~"))
        check(left == ["~bk0.tmp"], "temporary files in My eBooks: %s" % left)
        b.expect_file(users, new[:100000], "the user's ~bk0.tmp")
        b.expect_link(BOOK, b.copy_path(BOOK))
        b.expect_reader_started(reads, b.copy_path(BOOK))
    finally:
        b.remove(users)


@case("killed launches", "an installer folder a killed run left goes with the next install from the temp folder its token takes, named by its short form; one holding more, a bksetup.exe held open, links to another's folder or file stay")
def killed_installer_folders(b):
    # In both temporary folders, as an elevated run sweeps Windows' own and
    # any other run the user's: what killed runs left, untouched for a day,
    # one holding more, a link named like them (another program's) to
    # someone else's folder with a bksetup.exe, and one whose bksetup.exe is
    # a link to that file; in the user's, a bksetup.exe held open. The
    # user's is given by its short (8.3) name, as for a user name with a
    # space: its leftovers' final paths are long.
    user_temp = b.p.temp_folder() + "\\Temporary Files"
    os.makedirs(b.u(user_temp), exist_ok=True)
    short_temp = b.p.wine(["winepath", "-s", user_temp])[1].strip().splitlines()[-1]
    check("~" in short_temp, "no short name for %s: %r" % (user_temp, short_temp))
    temps = (user_temp, WINDOWS_TEMP)
    elsewhere = "C:\\someone\\else"
    b.write(elsewhere + "\\bksetup.exe", b"MZ someone else's", old=True)
    held = user_temp + "\\bk0badc0e0"
    b.write(held + "\\bksetup.exe", b"MZ a killed run's installer", old=True)
    for temp in temps:
        for name in ("bk0badc0de", "bk0badc0df"):
            b.write(temp + "\\" + name + "\\bksetup.exe", b"MZ a killed run's installer", old=True)
        b.write(temp + "\\bk0badc0df\\version.dll", b"MZ not the run's", old=True)
        os.symlink(b.u(elsewhere), b.u(temp + "\\bk0badc0e1"))
        os.makedirs(b.u(temp + "\\bk0badc0e2"))
        os.symlink(b.u(elsewhere + "\\bksetup.exe"), b.u(temp + "\\bk0badc0e2\\bksetup.exe"))
    for folder in [held, elsewhere] + [t + "\\" + n for t in temps for n in ("bk0badc0de", "bk0badc0df", "bk0badc0e2")]:
        os.utime(b.u(folder), (OLD_TIME, OLD_TIME))

    def only_the_killed_runs_folder_went():
        line = read_lines(b.u(user_temp + "\\bkr-standin.log"))[-1]
        swept = WINDOWS_TEMP if " elevated=1 " in line else user_temp
        wrong = []
        for temp in temps:
            left = temp + "\\bk0badc0de"
            if b.exists(left) == (temp == swept):
                wrong.append("%s %s" % (left, "is still there" if temp == swept else "went, not being swept"))
        for folder, names in [(t + "\\bk0badc0df", ["bksetup.exe", "version.dll"]) for t in temps] + [
                (t + "\\bk0badc0e2", ["bksetup.exe"]) for t in temps] + [
                (elsewhere, ["bksetup.exe"]), (held, ["bksetup.exe"])]:
            state = b.state(folder)
            if state is None or sorted(state) != names or any(m != OLD_TIME for _, m in state.values()):
                wrong.append("%s holds %s" % (folder, state))
        check(not wrong, "; ".join(wrong))

    try:
        install_while_held(b, held + "\\bksetup.exe", "C:\\books\\Swept Book.exe", "Swept_Book",
                           only_the_killed_runs_folder_went, short_temp)
    finally:
        for temp in temps:
            for name in ("bk0badc0de", "bk0badc0df", "bk0badc0e0", "bk0badc0e1", "bk0badc0e2"):
                path = b.u(temp + "\\" + name)
                if os.path.islink(path):
                    os.remove(path)
                elif os.path.isdir(path):
                    shutil.rmtree(path)
        shutil.rmtree(b.u("C:\\someone"), ignore_errors=True)


@case("concurrency", "two launches of a 20 MB package at once, three rounds: both 0, copy whole")
def two_at_once(b):
    for round_no, with_copy in enumerate((True, False, True), 1):
        if with_copy:
            b.write(b.copy_path(BIG), b.books["old"], old=True)
        else:
            b.remove(b.copy_path(BIG))
        reads = len(b.reader_lines())
        codes = b.launch_together(BIG_PACKAGE, 2)
        try:
            check(codes == [0, 0], "exit codes %s" % codes)
            b.expect_file(b.copy_path(BIG), b.books["big"], "library copy")
            b.expect_no_temporary()
            # Each launch either opened the whole book or ended quietly.
            b.expect_reader_started(reads, b.copy_path(BIG), times=(1, 2))
            b.expect_link(BIG, b.copy_path(BIG))
        except CaseFailure as e:
            raise CaseFailure("round %d: %s" % (round_no, e))


@case("registry", "the Uninstall key can't be opened or created: the rest goes on")
def registry_refuses(b):
    # A symbolic link whose target does not exist: opening and creating
    # "Uninstall" both fail. Links can only be set in the registry files,
    # which the server reads when it starts.
    user_reg = os.path.join(b.p.path, "user.reg")
    b.p.stop_server()
    subprocess.run(["wineserver", "-w"], env=b.p.env, timeout=60)
    with open(user_reg, "r", encoding="latin-1") as f:
        saved = f.read()
    target = "\\Registry\\Machine\\Software\\BkNowhere\\Uninstall".encode("utf-16-le")
    blocks = [s for s in saved.split("\n[") if not s.startswith(
        "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall")]
    link = ("\n[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall] 1700000000\n#link\n"
            "\"SymbolicLinkValue\"=hex(6):%s\n" % ",".join("%02x" % c for c in target))
    try:
        with open(user_reg, "w", encoding="latin-1") as f:
            f.write("\n[".join(blocks).rstrip("\n") + "\n" + link)
        b.p.start_server()
        package, book = "C:\\books\\Unregistered Book.exe", "Unregistered_Book"
        b.pack(package, "new")
        reads = len(b.reader_lines())
        # err+virtual: Wine names a stack overflow where it raises it, also
        # where it then ends the process with 1 and no other word.
        code = b.launch(package, env={"WINEDEBUG": "-all,trace+msgbox,err+virtual"})
        overflow = (b"Unhandled stack overflow", b"virtual_setup_exception stack overflow")
        if code != 0 and WINE == "wine10" and any(o in b.last_log() for o in overflow):
            raise WineFault("Wine 10's NtCreateKey, refused at the link, tries Wow6432Node and the key "
                            "again and again until the launcher's stack overflows")
        check(code == 0, "exit code %d" % code)
        check(not b.p.reg_key_exists(UNINSTALL), "the Uninstall key could be opened after all")
        b.expect_file(b.copy_path(book), b.books["new"], "library copy")
        b.expect_link(book, b.copy_path(book))
        b.expect_reader_started(reads, b.copy_path(book))
    finally:
        b.p.stop_server()
        subprocess.run(["wineserver", "-w"], env=b.p.env, timeout=60)
        with open(user_reg, "w", encoding="latin-1") as f:
            f.write(saved)
        b.p.start_server()


def prepare(b):
    b.make_book("old", 200003, 0x1001)
    b.make_book("new", 300001, 0x2002)
    b.make_book("big", 20000000, 0x3003)
    b.pack(PACKAGE, "new")
    b.pack(BIG_PACKAGE, "big")
    # Downloads cut short: half the package, and all of it but the last byte.
    with open(b.u(PACKAGE), "rb") as f:
        whole = f.read()
    b.write("C:\\books\\Partial Download.exe", whole[:len(whole) // 2])
    b.write("C:\\books\\Almost There.exe", whole[:-1])
    os.makedirs(b.u(b.library), exist_ok=True)
    # Wine's services start with the first run; not under a size limit.
    b.p.wine(["cmd", "/c", "exit"])


if __name__ == "__main__":
    sys.exit(run_suite("faults", CASES, prepare, __doc__))
