#!/usr/bin/env python3
"""End-to-end suite: real packages (bklaunch.exe + a bkbook book, packed by
bkpack) run under Wine in a prefix of the suite's own, cloned afresh from the
suites' template (run_wintest.sh), with the stand-in installer and reader,
dialogs answered through xdotool on a private Xvfb.

usage: e2e.py [--host-dir DIR] [--win32-dir DIR] [--only TEXT] [--docs DIR]

With --docs, runs only the cases that show the three dialogs a reader can
meet and keeps a picture of each in DIR (the README's pictures).

Prints one line per case and a closing "N passed, N failed"; exits 1 when
anything failed, 77 when Wine or the X tools are missing. Screenshots of the
dialogs and each run's Wine trace stay in <host-dir>/wine-e2e/artefacts
(wine10-e2e under Wine 10).
"""

import argparse
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_lib import (WINE, WINDOWS_TEMP, tool, CaseFailure, Deadline, PrefixFiles, Dialog, Prefix, Xvfb, check, hexline, run_cases,  # noqa: E402
                     read_lines, run_program, shortcut_target, wait_for)

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

OPEN_TEXT = ("A different version of this file already exists in your 'My eBooks' folder.\n\n"
             "Would you like to overwrite this file?  Click 'No' to select a different location.")
INSTALL_TEXT_XP = ("In order to open this eBook, you need to install the BKR Reader.\n\n"
                   "Log in as an Administrator and open this book again.")
INSTALL_TEXT_VISTA = ("In order to open this eBook, you need to install the BKR Reader.\n\n"
                      "To install the BKR Reader, right-click this icon and select "
                      "\"Run as Administrator\"")

OVERWRITE_PROMPT = "Error"   # the title Wine gives the save dialog's replace question

BOOK = "My_Great_Book"
PACKAGE_A = "C:\\books\\first\\My Great Book.exe"    # book identity 0x1001
PACKAGE_B = "C:\\books\\newer\\My Great Book.exe"    # same name, identity 0x2002
BARE = "C:\\books\\Bare Launcher.exe"
FAR_MARKER = "C:\\books\\Far Marker.exe"
REBUILT = "C:\\books\\rebuilt\\My Great Book.exe"  # book A, new cover and installer
REPACKED = "C:\\books\\repacked\\My Great Book.exe"  # the same from an older launcher, re-packed
CHOSEN = "C:\\Other Place\\Chosen Book.bkr"
READER = "C:\\windows\\bkplugin.exe"
INSTALLER_LOG = "C:\\e2e\\installer.log"
READER_LOG = "C:\\e2e\\reader.log"
BKR_KEY = "HKCR\\.bkr"
UNINSTALL = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
OLD_TIME = 1000000000   # 2001: a copy that keeps it was not rewritten
CASE_SECONDS = 120


class World(PrefixFiles):
    """The prefix, the packages and the paths every case works with."""

    def __init__(self, prefix, win32_dir, artefacts, books):
        self.p = prefix
        self.win32_dir = win32_dir
        self.artefacts = artefacts
        self.book_a, self.book_b = books
        self.library = prefix.user_dir("Documents") + "\\My eBooks"
        self.copy = self.library + "\\" + BOOK + ".bkr"
        self.desktop = prefix.user_dir("Desktop")
        self.shortcut = self.desktop + "\\" + BOOK + ".lnk"
        self.run_exact = os.path.join(win32_dir, "run_exact.exe")
        self.temp = None
        self.case = None
        self.deadline = None
        self.runs = 0

    # --- files -----------------------------------------------------------
    def put_copy(self, data):
        """Puts DATA in place as the library copy, with an old time."""
        os.makedirs(self.u(self.library), exist_ok=True)
        with open(self.u(self.copy), "wb") as f:
            f.write(data)
        self.age(self.copy)

    def age(self, windows_path):
        os.utime(self.u(windows_path), (OLD_TIME, OLD_TIME))

    def is_old(self, windows_path):
        return int(os.stat(self.u(windows_path)).st_mtime) == OLD_TIME

    def expect_file(self, windows_path, data, what):
        check(self.exists(windows_path), "%s missing (%s)" % (what, windows_path))
        got = self.read(windows_path)
        if got != data:
            name = {self.book_a: "book A", self.book_b: "book B"}.get(got, "%d other bytes" % len(got))
            want = {self.book_a: "book A", self.book_b: "book B"}.get(data, "%d bytes" % len(data))
            raise CaseFailure("%s holds %s, expected %s" % (what, name, want))

    def expect_untouched(self, windows_path, data, what):
        self.expect_file(windows_path, data, what)
        check(self.is_old(windows_path), "%s was rewritten (modification time changed)" % what)

    def expect_shortcut(self, target):
        check(self.exists(self.shortcut), "no desktop shortcut " + self.shortcut)
        got = shortcut_target(self.u(self.shortcut))
        check(got.lower() == target.lower(), "shortcut points at %r, expected %r" % (got, target))

    # --- registry ----------------------------------------------------------
    def reader_version(self):
        return self.p.reg_query(BKR_KEY, "Version")

    def set_reader_version(self, value):
        if value is None:
            self.p.reg_delete_value(BKR_KEY, "Version")
        else:
            self.p.reg_add(BKR_KEY, "Version", "REG_DWORD", value)

    def expect_no_uninstall_entry(self, book):
        check(not self.p.reg_key_exists(UNINSTALL + book), "an uninstall entry was made for " + book)

    # --- runs ----------------------------------------------------------------
    def launch(self, package, args=(), dialogs=(), env=None, raw=None, folder=None):
        """Runs PACKAGE with ARGS as Wine passes them (its quoted path first),
        or, with RAW, through run_exact.exe with exactly that command line,
        in FOLDER (a Windows path) when given. Returns the exit code."""
        self.runs += 1
        if raw is None:
            command = [package] + list(args)
        else:
            command = [self.run_exact, package, hexline(raw)] + ([folder] if folder else [])
        result = run_program(self.p, command, list(dialogs),
                             os.path.join(self.artefacts, self.case), "run%d" % self.runs,
                             self.deadline, env)
        return result.code

    def logs(self):
        return len(read_lines(self.u(INSTALLER_LOG))), len(read_lines(self.u(READER_LOG)))

    def last_log(self):
        """The Wine trace of the latest run."""
        return os.path.join(self.artefacts, self.case, "run%d.log" % self.runs)

    def reader_quiet(self):
        """Waits until no reader process of the prefix runs any more."""
        wait_for(lambda: not self.p.processes("bkplugin"), self.deadline.sooner(30),
                 "the reader to end")

    def expect_reader_started(self, before, book_path):
        """The reader's log gained exactly one line: the reader's path and
        BOOK_PATH, unquoted."""
        log = self.u(READER_LOG)
        wait_for(lambda: len(read_lines(log)) > before, self.deadline.sooner(30),
                 "the reader's log line")
        self.reader_quiet()
        lines = read_lines(log)
        check(len(lines) == before + 1, "the reader started %d times" % (len(lines) - before))
        want = READER + " " + book_path
        check(lines[-1] == want, "reader command line %r, expected %r" % (lines[-1], want))

    def expect_reader_not_started(self, before):
        self.reader_quiet()
        lines = read_lines(self.u(READER_LOG))
        check(len(lines) == before, "the reader was started: %r" % lines[before:])

    def expect_installer_runs(self, before, count, exit_code=None, user_temp=None):
        """The installer ran COUNT times more, each time as bksetup.exe, with
        only its own path, from a folder of its own made under the temporary
        folder its token takes (Windows' own when elevated, as under Wine 8;
        else the user's, USER_TEMP when it was reached through a link), which
        was its current folder too and is gone afterwards."""
        lines = read_lines(self.u(INSTALLER_LOG))
        check(len(lines) == before + count, "the installer ran %d times, expected %d" % (
            len(lines) - before, count))
        for line in lines[before:]:
            m = re.search(r" elevated=([01]) cwd=(.*) cmdline=(.*)$", line)
            check(m, "installer log %r names no token, folder and command line" % line)
            temp = WINDOWS_TEMP if m.group(1) == "1" else user_temp or self.temp
            folder, program = m.group(2), m.group(3)
            own = re.compile(re.escape(temp) + r"\\bk[0-9a-f]{8}\\bksetup\.exe", re.I)
            check(own.fullmatch(program), "the installer ran as %r, not from a folder of its own in %s"
                  % (program, temp))
            check(folder.lower() == program.rsplit("\\", 1)[0].lower(),
                  "the installer's current folder was %r" % folder)
            check(not self.exists(folder), "the installer's folder %s is left" % folder)
            if exit_code is not None:
                check(" exit=%d " % exit_code in line, "installer log %r: exit code not %d" % (
                    line, exit_code))
        check(not self.exists(self.temp + "\\bksetup.exe"), "bksetup.exe left in the temp folder")

    def ensure_reader(self):
        """The reader installed and newer than 8010, so that no run installs."""
        if not self.exists(READER):
            code = self.launch(PACKAGE_A, ["/s"])
            check(code == 0 and self.exists(READER), "could not install the reader (exit %d)" % code)
            self.reader_quiet()
        self.set_reader_version(8011)


# ------------------------------------------------------------------------
# Cases, run in this order; each says what it needs of the state before it.
CASES = []


def case(group, name):
    def register(fn):
        CASES.append(("%s: %s" % (group, name), fn))
        return fn
    return register


@case("first run", "reader installed by the carried installer, book copied, registered, opened")
def first_run(w):
    check(not w.exists(READER), "the reader is present before the first run")
    check(w.reader_version() is None, "HKCR\\.bkr Version set before the first run")
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A)
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 1, exit_code=0)
    check(w.reader_version() == ("REG_DWORD", 8010), "Version is %r" % (w.reader_version(),))
    check(w.exists(READER), "no bkplugin.exe in C:\\windows")
    w.expect_file(w.copy, w.book_a, "library copy")
    w.expect_shortcut(w.copy)
    check(w.p.reg_query(UNINSTALL + BOOK, "DisplayName") == ("REG_SZ", "eBook " + BOOK),
          "DisplayName %r" % (w.p.reg_query(UNINSTALL + BOOK, "DisplayName"),))
    want = ("REG_SZ", "C:\\windows\\bkremove.bat " + BOOK)
    got = w.p.reg_query(UNINSTALL + BOOK, "UninstallString")
    check(got == want, "UninstallString %r, expected %r" % (got, want))
    w.expect_reader_started(reads, w.copy)


@case("first run", "second run opens the copy in place, rewrites nothing, installs nothing")
def second_run(w):
    w.set_reader_version(8011)   # a newer reader: nothing to install
    w.put_copy(w.book_a)
    check(w.exists(w.shortcut), "no shortcut from the first run")
    w.age(w.shortcut)
    link = w.read(w.shortcut)
    w.p.reg_add(UNINSTALL + BOOK, "DisplayName", "REG_SZ", "changed by hand")
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A)
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 0)
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_untouched(w.shortcut, link, "shortcut")
    check(w.p.reg_query(UNINSTALL + BOOK, "DisplayName") == ("REG_SZ", "changed by hand"),
          "an existing uninstall entry was rewritten")
    w.expect_reader_started(reads, w.copy)


@case("newer package", "question answered Yes: copy overwritten, shortcut renewed")
def newer_yes(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    if w.exists(w.shortcut):
        w.age(w.shortcut)
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, dialogs=[Dialog("Open BKR", ["y"], text=OPEN_TEXT)])
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")
    w.expect_shortcut(w.copy)
    check(not w.is_old(w.shortcut), "the shortcut was not made again")
    w.expect_reader_started(reads, w.copy)


def saved_elsewhere(w, **launch):
    """Newer package, No, then CHOSEN typed in the save dialog: the book goes
    there, the shortcut points there, the library copy stays."""
    w.ensure_reader()
    w.put_copy(w.book_a)
    os.makedirs(os.path.dirname(w.u(CHOSEN)), exist_ok=True)
    if w.exists(CHOSEN):
        os.remove(w.u(CHOSEN))
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, dialogs=[
        Dialog("Open BKR", ["n"], text=OPEN_TEXT),
        Dialog("Save As", ["Return"], type_text=CHOSEN)], **launch)
    check(code == 0, "exit code %d" % code)
    w.expect_file(CHOSEN, w.book_b, "chosen file")
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_shortcut(CHOSEN)
    w.expect_reader_started(reads, CHOSEN)


@case("newer package", "No, then a path elsewhere: book there, shortcut there, copy untouched")
def newer_no_elsewhere(w):
    saved_elsewhere(w)


@case("newer package", "started as a relative path from another folder, No, a path elsewhere: book there")
def newer_relative_no_elsewhere(w):
    # The save dialog changes the current folder; the package must still be
    # found for the extraction.
    saved_elsewhere(w, raw='"newer\\My Great Book.exe"', folder="C:\\books")


@case("newer package", "No, then the offered name: dialog on the library copy, asks to replace")
def newer_no_offered_name(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    _, reads = w.logs()
    # Return takes the name filled in; that file exists, so the dialog asks first.
    code = w.launch(PACKAGE_B, dialogs=[
        Dialog("Open BKR", ["n"], text=OPEN_TEXT), Dialog("Save As", ["Return"]),
        Dialog(OVERWRITE_PROMPT, ["y"], contains="already exists")])
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")
    w.expect_shortcut(w.copy)
    w.expect_reader_started(reads, w.copy)


@case("newer package", "No, then Cancel: nothing changes, reader not started")
def newer_no_cancel(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    check(w.exists(w.shortcut), "no shortcut from the cases before")
    w.age(w.shortcut)
    link = w.read(w.shortcut)
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, dialogs=[
        Dialog("Open BKR", ["n"], text=OPEN_TEXT), Dialog("Save As", ["Escape"])])
    check(code == 0, "exit code %d" % code)
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_untouched(w.shortcut, link, "shortcut")
    w.expect_reader_not_started(reads)


def overwritten_without_question(w, args):
    w.ensure_reader()
    w.put_copy(w.book_a)
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, args)
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")
    w.expect_shortcut(w.copy)
    w.expect_reader_started(reads, w.copy)


@case("newer package", "/s first: overwritten without a question")
def first_argument_s(w):
    overwritten_without_question(w, ["/s"])


@case("newer package", "/o first: overwritten without a question")
def first_argument_o(w):
    overwritten_without_question(w, ["/o"])


@case("newer package", "x /o: copy deleted, question shown, No and Cancel leave no copy")
def overwrite_not_first(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, ["x", "/o"], dialogs=[
        Dialog("Open BKR", ["n"], text=OPEN_TEXT), Dialog("Save As", ["Escape"])])
    check(code == 0, "exit code %d" % code)
    check(not w.exists(w.copy), "the library copy is still there")
    w.expect_reader_not_started(reads)


@case("exact command line", "\"path\"/o: no question, and overwrite stays off")
def o_glued_to_quote(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    raw = '"%s"/o' % PACKAGE_B
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, raw=raw)
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")
    w.expect_reader_started(reads, w.copy)
    # Had "/o" set overwrite, this current copy would be deleted and written again.
    w.age(w.copy)
    code = w.launch(PACKAGE_B, raw=raw)
    check(code == 0, "second run: exit code %d" % code)
    w.expect_untouched(w.copy, w.book_b, "library copy (second run)")
    w.expect_reader_started(reads + 1, w.copy)


@case("exact command line", "nine spaces before /s: no question")
def nine_spaces(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    code = w.launch(PACKAGE_B, raw='"%s"%s/s' % (PACKAGE_B, " " * 9))
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")


@case("exact command line", "ten spaces before /s: the question is shown")
def ten_spaces(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    code = w.launch(PACKAGE_B, raw='"%s"%s/s' % (PACKAGE_B, " " * 10),
                    dialogs=[Dialog("Open BKR", ["y"], text=OPEN_TEXT)])
    check(code == 0, "exit code %d" % code)
    w.expect_file(w.copy, w.book_b, "library copy")


@case("exact command line", "unquoted path with spaces: names no file, quiet end, nothing written")
def unquoted_path(w):
    w.ensure_reader()
    w.put_copy(w.book_a)
    _, reads = w.logs()
    code = w.launch(PACKAGE_B, raw=PACKAGE_B + " /o")
    check(code == 0, "exit code %d" % code)
    # The module path is "C:\books\newer\My": book name "My".
    w.expect_no_uninstall_entry("My")
    check(not w.exists(w.library + "\\My.bkr"), "a library copy My.bkr was written")
    check(not w.exists(w.desktop + "\\My.lnk"), "a shortcut My.lnk was made")
    w.expect_untouched(w.copy, w.book_a, "library copy (with /o on the line)")
    w.expect_reader_not_started(reads)


@case("no book", "the bare launcher holds no marker bytes")
def bare_has_no_marker(w):
    with open(os.path.join(w.win32_dir, "bklaunch.exe"), "rb") as f:
        data = f.read()
    at = data.find(b"IBKR")
    check(at < 0, "bklaunch.exe holds \"IBKR\" at offset %d" % at)


def writes_nothing(w, package, book):
    w.ensure_reader()
    library = w.u(w.library)
    aside = library + ".aside"
    if os.path.exists(library):
        os.rename(library, aside)
    try:
        _, reads = w.logs()
        code = w.launch(package)
        check(code == 0, "exit code %d" % code)
        check(not os.path.exists(library), "the My eBooks folder was made")
        w.expect_no_uninstall_entry(book)
        check(not w.exists(w.desktop + "\\" + book + ".lnk"), "a shortcut was made")
        w.expect_reader_not_started(reads)
    finally:
        if os.path.exists(aside):
            if os.path.exists(library):
                shutil.rmtree(library)
            os.rename(aside, library)


@case("no book", "the bare launcher run as a package: quiet end, nothing written")
def bare_run(w):
    writes_nothing(w, BARE, "Bare_Launcher")


@case("no book", "marker 19,996 bytes before the end: not found, nothing written")
def far_marker(w):
    writes_nothing(w, FAR_MARKER, "Far_Marker")


def failing_install(w, args, env, dialogs):
    w.put_copy(w.book_a)
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A, args, dialogs=dialogs, env=env)
    check(code == 1, "exit code %d, expected 1" % code)
    w.expect_installer_runs(installs, 1)
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_reader_not_started(reads)


INSTALLER_FAILS = {"BKR_STANDIN_EXIT": "1"}


@case("reader provisioning", "Version exactly 8010: the reader counts as present, nothing installed")
def version_8010_is_enough(w):
    w.set_reader_version(8010)
    w.put_copy(w.book_a)
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A)
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 0)
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_reader_started(reads, w.copy)


@case("reader provisioning", "Version 8009: the installer runs, raises it to 8010, the run goes on")
def version_below_installs(w):
    w.set_reader_version(8009)
    w.put_copy(w.book_a)
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A)
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 1, exit_code=0)
    check(w.reader_version() == ("REG_DWORD", 8010), "Version is %r" % (w.reader_version(),))
    w.expect_untouched(w.copy, w.book_a, "library copy")
    w.expect_reader_started(reads, w.copy)


@case("reader provisioning", "installer fails on Windows 10: Run as Administrator box, exit 1")
def install_fails_vista(w):
    w.set_reader_version(None)
    failing_install(w, [], INSTALLER_FAILS,
                    [Dialog("Install BKR Reader", ["Return"], text=INSTALL_TEXT_VISTA)])


@case("reader provisioning", "installer fails on Windows XP: log in as Administrator box, exit 1")
def install_fails_xp(w):
    w.set_reader_version(None)
    w.p.set_windows_version("winxp")
    try:
        failing_install(w, [], INSTALLER_FAILS,
                        [Dialog("Install BKR Reader", ["Return"], text=INSTALL_TEXT_XP)])
    finally:
        w.p.set_windows_version("win10")


@case("reader provisioning", "installer fails with /s first, or not first: no box, exit 1")
def install_fails_silent(w):
    for args in (["/s"], ["x", "/s"]):
        w.set_reader_version(None)
        try:
            failing_install(w, args, INSTALLER_FAILS, [])
        except CaseFailure as e:
            raise CaseFailure("with %s: %s" % (" ".join(args), e))


@case("reader provisioning", "installer leaves 8011: a newer reader counts, the run goes on")
def install_leaves_newer(w):
    w.set_reader_version(None)
    w.put_copy(w.book_a)
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A, env={"BKR_STANDIN_VERSION": "8011"})
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 1, exit_code=0)
    check(w.reader_version() == ("REG_DWORD", 8011), "Version is %r" % (w.reader_version(),))
    w.expect_reader_started(reads, w.copy)
    installs, reads = w.logs()
    code = w.launch(PACKAGE_A)
    check(code == 0, "next run: exit code %d" % code)
    w.expect_installer_runs(installs, 0)
    w.expect_reader_started(reads, w.copy)


RENAME_READY = "C:\\e2e\\rename.ready"
RENAME_STOP = "C:\\e2e\\rename.stop"
RENAME_REPORT = "C:\\e2e\\rename.report"


@case("installer's folder", "another program tries to rename it away, again and again: never once, the installer runs from it")
def folder_not_renamed(w):
    # rename_away.exe, a program of the same user, lists the temporary folder
    # in a loop and renames every new installer folder it sees, until the
    # installer runs; the folder is held from the call that creates it, so
    # every try fails.
    w.set_reader_version(None)
    w.put_copy(w.book_a)
    for path in (RENAME_READY, RENAME_STOP, RENAME_REPORT):
        if w.exists(path):
            os.remove(w.u(path))
    os.makedirs(os.path.join(w.artefacts, w.case), exist_ok=True)
    with open(os.path.join(w.artefacts, w.case, "rename_away.log"), "wb") as log:
        poller = subprocess.Popen(["wine", os.path.join(w.win32_dir, "rename_away.exe"),
                                   RENAME_READY, RENAME_STOP, RENAME_REPORT, w.temp, WINDOWS_TEMP],
                                  env=w.p.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  start_new_session=True)
    try:
        wait_for(lambda: w.exists(RENAME_READY) or poller.poll() is not None,
                 w.deadline.sooner(60), "rename_away to start")
        check(w.exists(RENAME_READY), "rename_away did not start (exit %s)" % poller.poll())
        installs, reads = w.logs()
        # The installer takes a while, so that the folder stays in sight.
        code = w.launch(PACKAGE_A, env={"BKR_STANDIN_DELAY_MS": "500"})
    finally:
        with open(w.u(RENAME_STOP), "wb"):
            pass
        try:
            poller.wait(60)
        except subprocess.TimeoutExpired:
            os.killpg(poller.pid, signal.SIGKILL)
            poller.wait()
        for temp in (w.temp, WINDOWS_TEMP):
            for name in os.listdir(w.u(temp)):
                if name.endswith("-moved"):
                    shutil.rmtree(os.path.join(w.u(temp), name))
    check(poller.returncode == 0, "rename_away exit code %s" % poller.returncode)
    report = dict(item.split("=") for item in w.read(RENAME_REPORT).decode().split())
    check(int(report["seen"]) >= 1 and report["started"] == "1",
          "rename_away never saw the installer's folder, or the installer run: %s" % report)
    check(int(report["renamed"]) == 0, "the installer's folder was renamed away: %s" % report)
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 1, exit_code=0)
    w.expect_file(w.copy, w.book_a, "library copy")
    w.expect_reader_started(reads, w.copy)


LATE_STARTED = "C:\\e2e\\installer.started"


@case("installer's folder", "the temporary folder a link, re-pointed once the installer runs: nothing from where it leads then runs")
def temp_link_repointed(w):
    # The user's temporary folder becomes a link to a folder beside it. Once
    # the installer has started, another program makes a second folder with
    # a folder of the installer's folder's name, holding a DLL that the
    # installer loads late by name, and re-points the link there. The
    # installer, started by what the launcher made, never sees it.
    temp = w.u(w.temp)
    first, second = temp + ".first", temp + ".second"
    w.set_reader_version(None)
    w.put_copy(w.book_a)
    os.rename(temp, first)
    os.symlink(os.path.basename(first), temp)
    repointed = []

    def repoint():
        try:
            repoint_now()
            repointed.append(True)
        except (CaseFailure, OSError) as e:
            repointed.append(e)

    def repoint_now():
        # As another program of the user's would, while the launcher waits.
        wait_for(lambda: w.exists(LATE_STARTED), w.deadline.sooner(60), "the installer to start")
        running = w.read(LATE_STARTED).decode("latin-1").strip()
        folder = os.path.join(second, running.rsplit("\\", 2)[-2])
        os.makedirs(folder)
        shutil.copyfile(os.path.join(w.win32_dir, "bk_planted.dll"), os.path.join(folder, "bk_late.dll"))
        os.symlink(os.path.basename(second), temp + ".new")
        os.replace(temp + ".new", temp)
        os.remove(w.u(LATE_STARTED))

    plant(w, ())
    try:
        installs, reads = w.logs()
        mover = threading.Thread(target=repoint, daemon=True)
        mover.start()
        code = w.launch(PACKAGE_A, env={"BKR_STANDIN_STARTED": LATE_STARTED,
                                        "BKR_STANDIN_LATE_DLL": "bk_late.dll"})
        mover.join(10)
        check(repointed and repointed[-1] is True, "the link was not re-pointed while the installer ran: %s" % repointed)
        if w.exists(PLANTED_LOG):
            raise CaseFailure("the DLL where the link led ran: %s" % w.read(PLANTED_LOG).decode("latin-1"))
        check(code == 0, "exit code %d" % code)
        # Without elevation, from the folder the link led to when it was made.
        w.expect_installer_runs(installs, 1, exit_code=0, user_temp=w.temp + ".first")
        w.expect_reader_started(reads, w.copy)
    finally:
        if os.path.islink(temp):
            os.remove(temp)
        os.rename(first, temp)
        shutil.rmtree(second, ignore_errors=True)
        if w.exists(LATE_STARTED):
            os.remove(w.u(LATE_STARTED))


def runs_new_installer(w, package):
    """With the reader missing, PACKAGE runs the newer stand-in installer it
    carries, then copies book A and opens it."""
    w.set_reader_version(None)
    installs, reads = w.logs()
    code = w.launch(package, ["/s"])
    check(code == 0, "exit code %d" % code)
    w.expect_installer_runs(installs, 1, exit_code=0)
    line = read_lines(w.u(INSTALLER_LOG))[-1]
    check(line.startswith("bksetup_standin_new "), "not the swapped-in installer: %r" % line)
    w.expect_file(w.copy, w.book_a, "library copy")
    w.expect_reader_started(reads, w.copy)


@case("publisher's options", "reader missing: the installer swapped in by bkpack --installer runs")
def swapped_installer_runs(w):
    runs_new_installer(w, REBUILT)


@case("publisher's options", "a package re-packed from an older launcher runs the installer it kept")
def repacked_runs(w):
    runs_new_installer(w, REPACKED)


# The DLLs a package must never load: copies of bk_planted.dll, whose entry
# point appends its own path to PLANTED_LOG, under the name of every DLL the
# runs of the case below load under Wine (their +loaddll traces: a first run
# that installs the reader, a run with the save dialog, a run with a
# message), and under the names most often planted beside downloads.
PLANTED_LOG = "C:\\bk-planted.log"
PLANTED_PACKAGE = "C:\\books\\planted\\My Great Book.exe"
PLANTED_CURRENT = "C:\\books\\current"   # the runs' current folder
PLANT_NAMES = (
    # loaded by the runs (launcher, installer, reader, dialogs)
    "actxprxy.dll", "advapi32.dll", "bcrypt.dll", "combase.dll", "comctl32.dll", "comdlg32.dll",
    "compstui.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "kernelbase.dll", "msvcrt.dll",
    "msimg32.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "shcore.dll",
    "shell32.dll", "shlwapi.dll", "ucrtbase.dll", "user32.dll", "uxtheme.dll", "version.dll",
    "win32u.dll", "winex11.drv", "winspool.drv", "zlib1.dll",
    "coml2.dll",   # Wine 10's ole32 loads it
    # planted most often
    "apphelp.dll", "cryptbase.dll", "cryptsp.dll", "dbghelp.dll", "dwmapi.dll", "iertutil.dll",
    "mpr.dll", "netapi32.dll", "ntmarta.dll", "oleacc.dll", "profapi.dll",
    "propsys.dll", "riched20.dll", "secur32.dll", "setupapi.dll", "sspicli.dll", "urlmon.dll",
    "userenv.dll", "usp10.dll", "wininet.dll", "winmm.dll", "wintrust.dll", "wtsapi32.dll",
)


def plant(w, folders):
    """A copy of the marker DLL under every name of PLANT_NAMES in each of
    FOLDERS; PLANTED_LOG removed."""
    dll = os.path.join(w.win32_dir, "bk_planted.dll")
    for folder in folders:
        os.makedirs(w.u(folder), exist_ok=True)
        for name in PLANT_NAMES:
            shutil.copyfile(dll, os.path.join(w.u(folder), name))
    if w.exists(PLANTED_LOG):
        os.remove(w.u(PLANTED_LOG))


def unplant(w, folders):
    for folder in folders:
        for name in PLANT_NAMES:
            path = os.path.join(w.u(folder), name)
            if os.path.exists(path):
                os.remove(path)


def expect_no_planted_code(w, log):
    """No planted copy ran in the run whose Wine trace is LOG, and every DLL
    it loaded had a copy planted under its name."""
    if w.exists(PLANTED_LOG):
        raise CaseFailure("planted DLLs ran: %s" % " ".join(
            w.read(PLANTED_LOG).decode("latin-1").split()))
    with open(log, "r", encoding="latin-1") as f:
        loaded = {m.group(1).rsplit("\\", 1)[-1].lower()
                  for m in re.finditer(r'Loaded L"([^"]*)" at ', f.read())}
    unplanted = sorted(n for n in loaded - set(PLANT_NAMES) if not n.endswith(".exe"))
    check(not unplanted, "the run loaded DLLs with no planted twin: %s" % unplanted)


@case("planted DLLs", "beside the package, in the current folder, in either temp folder: none runs")
def planted_dlls(w):
    folders = (PLANTED_PACKAGE.rsplit("\\", 1)[0], PLANTED_CURRENT, w.temp, WINDOWS_TEMP)
    trace = {"WINEDEBUG": "-all,err+all,trace+msgbox,trace+loaddll"}
    raw = '"%s"' % PLANTED_PACKAGE
    plant(w, folders)
    try:
        # A first run: the reader installed, the book copied and opened.
        w.set_reader_version(None)
        if w.exists(w.copy):
            os.remove(w.u(w.copy))
        shutil.copyfile(w.u(PACKAGE_A), w.u(PLANTED_PACKAGE))
        installs, reads = w.logs()
        code = w.launch(PLANTED_PACKAGE, raw=raw, folder=PLANTED_CURRENT, env=trace)
        expect_no_planted_code(w, w.last_log())
        check(code == 0, "first run: exit code %d" % code)
        w.expect_installer_runs(installs, 1, exit_code=0)
        w.expect_file(w.copy, w.book_a, "library copy")
        w.expect_shortcut(w.copy)
        w.expect_reader_started(reads, w.copy)

        # A newer package: No, then a path elsewhere in the save dialog.
        shutil.copyfile(w.u(PACKAGE_B), w.u(PLANTED_PACKAGE))
        if w.exists(CHOSEN):
            os.remove(w.u(CHOSEN))
        _, reads = w.logs()
        code = w.launch(PLANTED_PACKAGE, raw=raw, folder=PLANTED_CURRENT, env=trace, dialogs=[
            Dialog("Open BKR", ["n"], text=OPEN_TEXT),
            Dialog("Save As", ["Return"], type_text=CHOSEN)])
        expect_no_planted_code(w, w.last_log())
        check(code == 0, "save dialog: exit code %d" % code)
        w.expect_file(CHOSEN, w.book_b, "chosen file")
        w.expect_shortcut(CHOSEN)
        w.expect_reader_started(reads, CHOSEN)

        # The reader can't be installed: the message.
        w.set_reader_version(None)
        installs, reads = w.logs()
        code = w.launch(PLANTED_PACKAGE, raw=raw, folder=PLANTED_CURRENT,
                        env=dict(trace, **INSTALLER_FAILS),
                        dialogs=[Dialog("Install BKR Reader", ["Return"], text=INSTALL_TEXT_VISTA)])
        expect_no_planted_code(w, w.last_log())
        check(code == 1, "message: exit code %d, expected 1" % code)
        w.expect_installer_runs(installs, 1, exit_code=1)
        w.expect_reader_not_started(reads)
    finally:
        unplant(w, folders)
        w.set_reader_version(8011)


MANIFESTED_PACKAGE = "C:\\books\\manifested\\My Great Book.exe"


@case("planted DLLs", "a manifest beside the package names them as its own files: none runs")
def planted_manifest(w):
    # A program without a manifest of its own reads NAME.exe.manifest beside
    # it, and takes the DLLs that file names from its folder before any
    # search order applies; the launcher's embedded one must win.
    folder = MANIFESTED_PACKAGE.rsplit("\\", 1)[0]
    manifest = MANIFESTED_PACKAGE + ".manifest"
    plant(w, (folder,))
    try:
        with open(w.u(manifest), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n'
                    '<assemblyIdentity type="win32" name="My.Great.Book" version="1.0.0.0"'
                    ' processorArchitecture="x86"/>\n'
                    + "".join('<file name="%s"/>\n' % name for name in PLANT_NAMES)
                    + "</assembly>\n")
        shutil.copyfile(w.u(PACKAGE_A), w.u(MANIFESTED_PACKAGE))
        w.ensure_reader()
        if w.exists(w.copy):
            os.remove(w.u(w.copy))
        _, reads = w.logs()
        code = w.launch(MANIFESTED_PACKAGE, env={"WINEDEBUG": "-all,err+all,trace+loaddll"})
        expect_no_planted_code(w, w.last_log())
        check(code == 0, "exit code %d" % code)
        w.expect_file(w.copy, w.book_a, "library copy")
        w.expect_reader_started(reads, w.copy)
    finally:
        unplant(w, (folder,))
        if w.exists(manifest):
            os.remove(w.u(manifest))


# ------------------------------------------------------------------------


def make_books(host_dir, work):
    """Two books of the same name, different identities and sizes (the
    second a whole number of 1024-byte pieces)."""
    bkbook = tool(host_dir, "bkbook")
    books = []
    for name, size, identity in (("a.bkr", 300001, 0x1001), ("b.bkr", 262144, 0x2002)):
        path = os.path.join(work, name)
        subprocess.run([bkbook, path, str(size), str(identity)], check=True, timeout=60)
        with open(path, "rb") as f:
            books.append(f.read())
    check(books[0] != books[1], "bkbook wrote the same book twice")
    return books


def make_packages(w, host_dir, work):
    bkpack = tool(host_dir, "bkpack")
    launcher = os.path.join(w.win32_dir, "bklaunch.exe")
    for package, book in ((PACKAGE_A, "a.bkr"), (PACKAGE_B, "b.bkr")):
        out = w.u(package)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run([bkpack, "pack", launcher, os.path.join(work, book), out],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
    os.makedirs(os.path.dirname(w.u(REBUILT)), exist_ok=True)
    subprocess.run([bkpack, "pack", "--icon", os.path.join(host_dir, "sample_cover.ico"),
                    "--installer", os.path.join(w.win32_dir, "bksetup_standin_new.exe"),
                    launcher, os.path.join(work, "a.bkr"), w.u(REBUILT)],
                   check=True, timeout=60, stdout=subprocess.DEVNULL)
    # An older launcher (today's without its version tag, as launchers were
    # before the tags) packed with that cover and installer, then re-packed.
    with open(launcher, "rb") as f:
        image = f.read()
    tag = image.index(b"BKLAUNCH ")
    old = os.path.join(work, "old_launcher.exe")
    with open(old, "wb") as f:
        f.write(image[:tag] + bytes(image.index(b"\0", tag) - tag) + image[image.index(b"\0", tag):])
    os.makedirs(os.path.dirname(w.u(REPACKED)), exist_ok=True)
    subprocess.run([bkpack, "pack", "--icon", os.path.join(host_dir, "sample_cover.ico"),
                    "--installer", os.path.join(w.win32_dir, "bksetup_standin_new.exe"),
                    old, os.path.join(work, "a.bkr"), w.u(REPACKED)],
                   check=True, timeout=60, stdout=subprocess.DEVNULL)
    subprocess.run([bkpack, "repack", "--launcher", launcher, w.u(REPACKED), w.u(REPACKED)],
                   check=True, timeout=60, stdout=subprocess.DEVNULL)
    shutil.copyfile(launcher, w.u(BARE))
    # 19,996 bytes after the trailer put the marker just outside the window.
    with open(w.u(PACKAGE_A), "rb") as f:
        far = f.read() + bytes(19996)
    with open(w.u(FAR_MARKER), "wb") as f:
        f.write(far)


def make_folders(p):
    """The folders the cases put packages and books in (the prefix is new)."""
    for folder in ("C:\\books", "C:\\Other Place", "C:\\e2e"):
        os.makedirs(p.unix(folder))


def take_lock(lock, deadline):
    """One run at a time owns the prefix (ctest and a person may both start one)."""
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            if deadline.left() <= 0:
                return False
            time.sleep(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host-dir", default=os.path.join(SOURCE_DIR, "build", "host"))
    parser.add_argument("--win32-dir", default=os.path.join(SOURCE_DIR, "build", "win32"))
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    parser.add_argument("--docs", help="keep pictures of the reader's dialogs in this folder")
    opts = parser.parse_args()

    for program in ("wine", "wineserver", "Xvfb", "xdotool", "import"):
        if shutil.which(program) is None:
            print("SKIP: %s is not installed" % program)
            return 77

    started = time.monotonic()
    host_dir = os.path.abspath(opts.host_dir)
    win32_dir = os.path.abspath(opts.win32_dir)
    root = os.path.join(host_dir, WINE + "-e2e")
    os.makedirs(root, exist_ok=True)
    lock = open(os.path.join(root, "lock"), "w")
    if not take_lock(lock, Deadline(600)):
        print("FAIL setup: another run of the suite holds %s" % lock.name)
        print("0 passed, 1 failed")
        return 1

    # SIGTERM (a CTest time-out) still ends the prefix's server and the X server.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    held = {"xvfb": None, "prefix": None}
    try:
        passed, failed = run_suite(opts, host_dir, win32_dir, root, held)
    finally:
        if held["prefix"] is not None:
            held["prefix"].stop_server()
        if held["xvfb"] is not None:
            held["xvfb"].stop()
    print("wall time %.0f s; artefacts in %s" % (time.monotonic() - started,
                                                 os.path.join(root, "artefacts")))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def run_suite(opts, host_dir, win32_dir, root, held):
    """Sets up and runs the cases; HELD receives the X server and the prefix
    as soon as they exist, for the caller to end. Returns (passed, failed)."""
    work = os.path.join(root, "work")
    artefacts = os.path.join(root, "artefacts")
    prefix_dir = os.path.join(root, "prefix")
    for d in (work, artefacts):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    try:
        for name in ("bklaunch.exe", "run_exact.exe"):
            if not os.path.isfile(os.path.join(win32_dir, name)):
                raise RuntimeError("%s not built in %s" % (name, win32_dir))
        xvfb = held["xvfb"] = Xvfb()
        with open(os.path.join(artefacts, "winprefix.log"), "wb") as log:
            subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_wintest.sh"),
                            "--clone", os.path.join(host_dir, WINE), prefix_dir, "win10"], check=True,
                           timeout=1000, stdout=log, env=dict(os.environ, DISPLAY=xvfb.display))
        prefix = Prefix(prefix_dir, xvfb.display, {
            "BKR_STANDIN_LOG": INSTALLER_LOG, "BKR_READER_LOG": READER_LOG})
        prefix.start_server()
        held["prefix"] = prefix
        # The launcher runs as a 32-bit program on 64-bit Windows, as most
        # readers' is: its registry is the 32-bit view the suite reads.
        check(os.path.isdir(prefix.unix("C:\\windows\\syswow64")),
              "the prefix is not a 64-bit one (no syswow64)")
        make_folders(prefix)
        w = World(prefix, win32_dir, artefacts, make_books(host_dir, work))
        make_packages(w, host_dir, work)
        w.temp = prefix.temp_folder()
    except (RuntimeError, CaseFailure, subprocess.SubprocessError, OSError) as e:
        print("FAIL setup: %s" % e)
        return 0, 1

    cases = CASES
    if opts.docs:
        cases = [(name, fn) for name, fn in CASES if fn in DOC_PICTURES]
    # A failed case may leave a package (and its dialog) behind.
    passed, failed = run_cases(cases, w, prefix, opts.only, CASE_SECONDS,
                               ("C:\\books", "run_exact", "bkplugin", "bksetup"))
    if opts.docs and not failed:
        failed += keep_doc_pictures(artefacts, opts.docs)
    return passed, failed


# The dialogs a reader can meet: case -> (its window's title, picture name).
DOC_PICTURES = {
    newer_yes: ("Open_BKR", "overwrite-question.png"),
    newer_no_elsewhere: ("Save_As", "save-dialog.png"),
    install_fails_vista: ("Install_BKR_Reader", "reader-install.png"),
}


def keep_doc_pictures(artefacts, docs):
    """Copies each case's picture of its dialog into DOCS, without the time
    stamps ImageMagick writes (so an unchanged dialog gives the same file).
    Returns 0, or 1 when a picture is missing."""
    os.makedirs(docs, exist_ok=True)
    missing = 0
    for fn, (title, picture) in DOC_PICTURES.items():
        folder = os.path.join(artefacts, fn.__name__)
        shots = sorted(f for f in os.listdir(folder) if f.endswith("-" + title + ".png"))
        if not shots:
            print("FAIL docs: no picture of %s in %s" % (title, folder))
            missing = 1
            continue
        subprocess.run(["convert", os.path.join(folder, shots[0]), "-strip",
                        "-define", "png:exclude-chunks=date,time", os.path.join(docs, picture)],
                       check=True, timeout=60)
        print("kept %s" % os.path.join(docs, picture))
    return missing


if __name__ == "__main__":
    sys.exit(main())
