#!/usr/bin/env python3
"""Name suite: packages with long and strange names run under Wine. Names at
259 characters are used whole and one more ends the run before anything is
written; letters of the ANSI code page (1252 here) reach the files, the
shortcut, the uninstall entry and the reader as the user sees them, and
names the code page can't hold, device names, relative paths and paths
without an extension end quietly or work as documented.

usage: names.py [--host-dir DIR] [--win32-dir DIR] [--only TEXT]

Runs on the machinery of faults.py, in a prefix of its own cloned into
<host-dir>/wine/names. Prints one line per case and a closing
"N passed, N failed"; exits 1 when anything failed, 77 when Wine or the X
tools are missing.
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_lib import WINE, CaseFailure, WineFault, check  # noqa: E402
from faults import case_registry, run_suite  # noqa: E402

CASES, case = case_registry()

SHELL_FOLDERS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"


def folder_of_length(n, fill, base="C:\\long"):
    """A folder path of exactly N characters below BASE, in components of at
    most 100 characters (Linux allows 255 bytes a component)."""
    path = base
    while len(path) < n:
        left = n - len(path)
        part = min(left - 1, 100)
        if left - 1 - part == 1:
            part -= 1   # a lone backslash would be left
        path += "\\" + fill * part
    check(len(path) == n, "folder of %d characters came out %d" % (n, len(path)))
    return path


def snapshot(b):
    return b.state(b.library), b.state(b.desktop), b.uninstall_entries(), len(b.reader_lines())


def expect_nothing_written(b, before, code):
    library, desktop, entries, reads = before
    # Wine 10 where 32-bit code is emulated can't start a program named like
    # a device, or at 260 characters, at all: our launcher never runs.
    unstarted = code != 0 and b"Application could not be started" in b.last_log()
    check(code == 0 or unstarted, "exit code %d" % code)
    b.expect_unchanged(b.library, library, "My eBooks")
    b.expect_unchanged(b.desktop, desktop, "the desktop")
    added = sorted(set(b.uninstall_entries()) - set(entries))
    check(not added, "uninstall entries made: %r" % added)
    b.expect_reader_not_started(reads)
    if unstarted:
        raise WineFault("%s could not start the program (\"Application could not be started\"), "
                        "so the launcher never ran; nothing was written" % WINE)


def expect_opened(b, book, reads, code):
    """BOOK (a book name) extracted, linked, registered and opened."""
    check(code == 0, "exit code %d" % code)
    copy = b.copy_path(book)
    b.expect_file(copy, b.books["new"], "library copy")
    b.expect_no_temporary()
    b.expect_link(book, copy)
    entry = b.uninstall_entries().get(book)
    check(entry is not None, "no uninstall entry %r" % book)
    check(entry.get("DisplayName") == "eBook " + book, "DisplayName %r" % entry.get("DisplayName"))
    want = "C:\\windows\\bkremove.bat " + book
    check(entry.get("UninstallString", "").lower() == want.lower(),
          "UninstallString %r, expected %r" % (entry.get("UninstallString"), want))
    b.expect_reader_started(reads, copy)


def name_of_length(n):
    return ("Long Title " * 30)[:n]


@case("limits", "library copy of 259 characters used whole; of 260, nothing written")
def library_copy_limit(b):
    base = len(b.library) + 1 + len(".bkr")
    for extra in (0, 1):
        title = name_of_length(259 - base + extra)
        package = "C:\\books\\limits\\%s.exe" % title
        book = title.replace(" ", "_")
        b.pack(package, "new")
        before = snapshot(b)
        code = b.launch(package, args=())
        try:
            if extra:
                expect_nothing_written(b, before, code)
            else:
                check(len(b.copy_path(book)) == 259, "the copy's path is not 259 characters")
                expect_opened(b, book, before[3], code)
        except CaseFailure as e:
            raise CaseFailure("copy of %d characters: %s" % (259 + extra, e))


@case("limits", "shortcut of 259 characters saved whole; of 260, nothing written")
def shortcut_limit(b):
    title = "Linked Book"
    book = title.replace(" ", "_")
    package = "C:\\books\\%s.exe" % title
    b.pack(package, "new")
    try:
        for extra in (0, 1):
            desktop = folder_of_length(259 - len("\\%s.lnk" % book) + extra, "d", "C:\\desk")
            os.makedirs(b.u(desktop), exist_ok=True)
            b.p.reg_add(SHELL_FOLDERS, "Desktop", "REG_EXPAND_SZ", desktop)
            b.desktop = desktop
            b.remove(b.copy_path(book))
            before = snapshot(b)
            code = b.launch(package, args=())
            try:
                if extra:
                    expect_nothing_written(b, before, code)
                    check(not b.exists(b.copy_path(book)), "the book was copied")
                else:
                    check(len(b.link_path(book)) == 259, "the link's path is not 259 characters")
                    expect_opened(b, book, before[3], code)
            except CaseFailure as e:
                raise CaseFailure("shortcut of %d characters: %s" % (259 + extra, e))
    finally:
        b.p.reg_add(SHELL_FOLDERS, "Desktop", "REG_EXPAND_SZ", "%USERPROFILE%\\Desktop")
        b.desktop = b.p.user_dir("Desktop")


@case("limits", "package path of 259 characters runs; of 260 it is cut and ends quietly")
def package_path_limit(b):
    for extra in (0, 1):
        package = folder_of_length(259 - len("\\Deep Book.exe") + extra, "p") + "\\Deep Book.exe"
        b.pack(package, "new")
        b.remove(b.copy_path("Deep_Book"), b.link_path("Deep_Book"))
        b.p.reg_delete_key("HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Deep_Book")
        before = snapshot(b)
        code = b.launch(package, args=())
        try:
            if extra:
                expect_nothing_written(b, before, code)
            else:
                expect_opened(b, "Deep_Book", before[3], code)
        except CaseFailure as e:
            raise CaseFailure("path of %d characters: %s" % (259 + extra, e))


@case("code page", "Caf\u00e9 Cr\u00e8me \u20acuro.exe: the letters reach every name as the user sees them")
def code_page_letters(b):
    # The Linux file names are UTF-8; the program sees code page 1252, where
    # the euro sign is 0x80 (a control character in Latin-1).
    title = "Caf\u00e9 Cr\u00e8me \u20acuro"
    book = title.replace(" ", "_")
    package = "C:\\books\\%s.exe" % title
    b.pack(package, "new")
    before = snapshot(b)
    code = b.launch(package, args=())
    expect_opened(b, book, before[3], code)
    check(os.path.isfile(os.path.join(b.u(b.library), book + ".bkr")), "the copy's Linux name is not UTF-8")
    line = b.reader_lines()[-1].encode("latin-1")
    check(b"Caf\xe9_Cr\xe8me_\x80uro.bkr" in line, "the reader got %r" % line)


@case("code page", "a name outside code page 1252 (\u041a\u043d\u0438\u0433\u0430.exe): quiet end, nothing written")
def outside_code_page(b):
    # The program's narrow command line holds '?' for each such letter, and
    # no file has that name.
    package = "C:\\books\\\u041a\u043d\u0438\u0433\u0430 \u00e9.exe"
    b.pack(package, "new")
    before = snapshot(b)
    code = b.launch(package, args=())
    expect_nothing_written(b, before, code)


@case("odd names", "dots and spaces: Vol. 2. The End.exe is Vol._2._The_End")
def dots_and_spaces(b):
    package = "C:\\books\\Vol. 2. The End.exe"
    b.pack(package, "new")
    before = snapshot(b)
    expect_opened(b, "Vol._2._The_End", before[3], b.launch(package, args=()))


@case("odd names", "no extension: C:\\books\\Plain is Plain; in C:\\my.books it is my")
def no_extension(b):
    for package, book in (("C:\\books\\Plain", "Plain"), ("C:\\my.books\\Plain", "my")):
        b.pack(package, "new")
        before = snapshot(b)
        code = b.launch(package, raw='"%s"' % package)
        try:
            expect_opened(b, book, before[3], code)
        except CaseFailure as e:
            raise CaseFailure("%s: %s" % (package, e))


@case("odd names", "typed without its extension (C:\\books\\Typed for Typed.exe): quiet end")
def typed_without_extension(b):
    package = "C:\\books\\Typed.exe"
    b.pack(package, "new")
    before = snapshot(b)
    code = b.launch(package, raw="C:\\books\\Typed /s")
    expect_nothing_written(b, before, code)


@case("odd names", "unquoted path without spaces, /s after it: opened")
def unquoted_plain(b):
    package = "C:\\books\\Unquoted.exe"
    b.pack(package, "new")
    before = snapshot(b)
    expect_opened(b, "Unquoted", before[3], b.launch(package, raw=package + " /s"))


@case("odd names", "relative path: opened from the package's folder, quiet end from another")
def relative_path(b):
    package = "C:\\books\\Relative Book.exe"
    b.pack(package, "new")
    raw = '"Relative Book.exe" /s'
    before = snapshot(b)
    expect_nothing_written(b, before, b.launch(package, raw=raw, cwd=b.u("C:\\")))
    before = snapshot(b)
    expect_opened(b, "Relative_Book", before[3], b.launch(package, raw=raw, cwd=b.u("C:\\books")))


@case("odd names", "device names (CON, NUL, COM1, AUX.txt): the package can't read itself, quiet end")
def device_names(b):
    for title in ("CON", "NUL", "COM1", "AUX.txt"):
        package = "C:\\books\\%s.exe" % title
        b.pack(package, "new")
        before = snapshot(b)
        try:
            expect_nothing_written(b, before, b.launch(package, args=()))
        except CaseFailure as e:
            raise CaseFailure("%s: %s" % (package, e))


@case("odd names", "a book named after a device (C:\\nul.d\\book, /s): nothing copied, nothing opened")
def device_book_name(b):
    package = "C:\\nul.d\\book"
    b.pack(package, "new")
    library, desktop, _, reads = snapshot(b)
    code = b.launch(package, raw='"%s" /s' % package)
    check(code == 0, "exit code %d" % code)
    b.expect_unchanged(b.library, library, "My eBooks")
    b.expect_unchanged(b.desktop, desktop, "the desktop")
    b.expect_reader_not_started(reads)


def prepare(b):
    b.make_book("new", 120001, 0x2002)
    os.makedirs(b.u(b.library), exist_ok=True)


if __name__ == "__main__":
    sys.exit(run_suite("names", CASES, prepare, __doc__))
