#!/usr/bin/env python3
"""Name suite: packages with long and strange names run under Wine. Names at
259 characters (in any script) are used whole and one more ends the run
before anything is written; titles and folders in any script reach the
files, the shortcut, the uninstall entry and the reader whole under code
pages 1252 and 932 (a locale per case), with the names launchers before
UTF-8 gave wherever the code page can hold the title; device names,
relative paths and paths without an extension end quietly or work as
documented.

usage: names.py [--host-dir DIR] [--win32-dir DIR] [--only TEXT]

Runs on the machinery of faults.py, in a prefix of its own cloned into
<host-dir>/wine/names. Prints one line per case and a closing
"N passed, N failed"; exits 1 when anything failed, 77 when Wine or the X
tools are missing.
"""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_lib import WINE, CaseFailure, WineFault, check  # noqa: E402
from faults import case_registry, run_suite  # noqa: E402

CASES, case = case_registry()

SHELL_FOLDERS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"
# Wine takes its ANSI code page from the locale: 1252 and 932.
WESTERN = {"LANG": "en_US.UTF-8"}
JAPANESE = {"LANG": "ja_JP.UTF-8"}
# Where Wine 10 runs emulated 32-bit code it can't start a program named like
# a device, or by a path of 260 characters, at all.
HERE = os.path.dirname(os.path.abspath(__file__))
EMULATED = subprocess.run([os.path.join(HERE, "..", "..", "tools", "wine_mode.sh")],
                          stdout=subprocess.PIPE).stdout.startswith(b"emulated")


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
    unstarted = (WINE == "wine10" and EMULATED and b.case in ("device_names", "package_path_limit")
                 and code != 0 and b"Application could not be started" in b.last_log())
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
    """BOOK (a book name, whole) extracted, linked, registered and opened."""
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


@case("limits", "library copy of 259 characters used whole, also in Cyrillic under 1252 (the Documents "
               "folder too); of 260, nothing written")
def library_copy_limit(b):
    # In UTF-8 the Cyrillic copy takes over 400 bytes.
    cyrillic = folder_of_length(200, "\u0416", "C:\\\u041a\u043d\u0438\u0433\u0438")
    try:
        for documents, fill in ((b.p.user_dir("Documents"), "Long Title "), (cyrillic, "\u0416\u0437 ")):
            os.makedirs(b.u(documents + "\\My eBooks"), exist_ok=True)
            b.p.reg_add(SHELL_FOLDERS, "Personal", "REG_EXPAND_SZ", documents)
            b.library = documents + "\\My eBooks"
            base = len(b.library) + 1 + len(".bkr")
            for extra in (0, 1):
                title = (fill * 300)[:259 - base + extra]
                package = "C:\\books\\limits\\%s.exe" % title
                book = title.replace(" ", "_")
                b.pack(package, "new")
                before = snapshot(b)
                code = b.launch(package, args=(), env=WESTERN)
                try:
                    if extra:
                        expect_nothing_written(b, before, code)
                    else:
                        check(len(b.copy_path(book)) == 259, "the copy's path is not 259 characters")
                        expect_opened(b, book, before[3], code)
                except CaseFailure as e:
                    raise CaseFailure("copy of %d characters in %s: %s" % (259 + extra, documents, e))
    finally:
        b.p.reg_add(SHELL_FOLDERS, "Personal", "REG_EXPAND_SZ", "%USERPROFILE%\\Documents")
        b.library = b.p.user_dir("Documents") + "\\My eBooks"


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


def open_titles(b, titles, env):
    """Each (title, book name) of TITLES, packed as C:\\books\\TITLE.exe and
    run under ENV's locale, is copied, linked, registered and opened under
    that book name; the last, run again, opens that copy as it is."""
    for title, book in titles:
        package = "C:\\books\\%s.exe" % title
        b.pack(package, "new")
        before = snapshot(b)
        try:
            expect_opened(b, book, before[3], b.launch(package, args=(), env=env))
        except CaseFailure as e:
            raise CaseFailure("%s: %s" % (title, e))
    library, desktop, reads = b.state(b.library), b.state(b.desktop), len(b.reader_lines())
    try:
        check(b.launch(package, args=(), env=env) == 0, "exit code not 0")
        b.expect_unchanged(b.library, library, "My eBooks")
        b.expect_unchanged(b.desktop, desktop, "the desktop")
        b.expect_reader_started(reads, b.copy_path(book))
    except CaseFailure as e:
        raise CaseFailure("%s, run again: %s" % (title, e))


@case("code page", "1252: Caf\u00e9 Cr\u00e8me \u20acuro, \u0412\u043e\u0439\u043d\u0430 \u0438 \u043c\u0438\u0440, "
                   "Greek with an emoji and a kanji: each reaches every name whole")
def code_page_1252(b):
    # The euro sign is 0x80 in 1252 (a control character in Latin-1); the
    # other two titles are outside the code page.
    open_titles(b, [(t, t.replace(" ", "_")) for t in (
        "Caf\u00e9 Cr\u00e8me \u20acuro", "\u1f38\u03bb\u03b9\u03ac\u03c2 \U0001f4d6 \u672c",
        "\u0412\u043e\u0439\u043d\u0430 \u0438 \u043c\u0438\u0440")], WESTERN)


@case("code page", "932: Les Mis\u00e9rables whole; \u30bd\u30d5\u30c8\u5165\u9580 as older launchers named it "
                   "(\u30d5\u30c8\u5165\u9580); the longest title a file name here holds")
def code_page_932(b):
    # The katakana SO is 0x83 0x5C in 932: older launchers cut the name at its
    # trail byte, and every copy they made is named so. 83 kanji fill a Linux
    # file name; the copy's path takes 205 bytes in 932, 288 in UTF-8.
    longest = "\u66f8" * 83
    open_titles(b, [("Les Mis\u00e9rables", "Les_Mis\u00e9rables"), (longest, longest),
                    ("\u30bd\u30d5\u30c8\u5165\u9580", "\u30d5\u30c8\u5165\u9580")], JAPANESE)


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


@case("odd names", "device names (CON, NUL, COM1, AUX.txt, COM\u00b9): the package can't read itself, or its "
                   "book is named like a device: quiet end")
def device_names(b):
    for title in ("CON", "NUL", "COM1", "AUX.txt", "COM\u00b9"):
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
    b.p.env.update(WESTERN)   # every run, and Wine's own commands, in 1252
    b.make_book("new", 120001, 0x2002)
    os.makedirs(b.u(b.library), exist_ok=True)
    # A locale missing where Wine runs leaves Wine in "C": another code page,
    # and every name outside ASCII mangled.
    for env, page in ((WESTERN, "1252"), (JAPANESE, "932")):
        folder = "C:\\bk\\%s-\u0416\u672c" % env["LANG"]
        b.p.wine(["cmd", "/c", "mkdir", folder], env=dict(b.p.env, **env))
        _, out = b.p.wine(["reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage",
                           "/v", "ACP"], env=dict(b.p.env, **env))
        check(out.split()[-1:] == [page] and os.path.isdir(b.u(folder)),
              "under %s Wine says %r and made no folder %s: is the locale generated where Wine runs?"
              % (env["LANG"], out.strip(), folder))


if __name__ == "__main__":
    sys.exit(run_suite("names", CASES, prepare, __doc__))
