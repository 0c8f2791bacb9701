"""Machinery of the end-to-end suite: an X display, a Wine prefix, runs of
Windows programs whose dialogs are answered through xdotool, and readers for
what the runs leave behind (registry values, shortcut targets, logs)."""

import ctypes
import os
import re
import signal
import struct
import subprocess
import tempfile
import sys
import time
import traceback


# Which Wine the suite runs under, as under_wine.sh says: "wine" for the
# machine's (Debian 12's 8.0), "wine10" for Debian trixie's 10.0. It also
# names the suite's folders, so that the two runs of a suite keep apart.
WINE = os.environ.get("BK_WINE", "wine")

# Windows' own temporary folder: where an elevated run makes the installer's
# folder, and sweeps what killed runs left.
WINDOWS_TEMP = "C:\\windows\\temp"


def tool(directory, name):
    """The host tool NAME (bkpack, bkbook) at the top of the build tree DIRECTORY."""
    path = os.path.join(directory, name)
    if not os.path.isfile(path):
        raise RuntimeError("%s not built in %s" % (name, directory))
    return path


class CaseFailure(Exception):
    """A check of a case failed; the message says what was seen."""


class WineFault(Exception):
    """A case was cut short by a fault of the Wine it runs under, not ours;
    the message says which Wine and what it did."""


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


class Deadline:
    """The time a case (or one wait inside it) must be over by."""

    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return self.end - time.monotonic()

    def sooner(self, seconds):
        """A deadline SECONDS from now, but no later than this one."""
        d = Deadline(0)
        d.end = min(self.end, time.monotonic() + seconds)
        return d


POLL = 0.05


def wait_for(predicate, deadline, what):
    """Polls PREDICATE until it returns a true value, which is returned;
    fails the case at the deadline."""
    while True:
        value = predicate()
        if value:
            return value
        if deadline.left() <= 0:
            raise CaseFailure("timed out waiting for " + what)
        time.sleep(POLL)


def _die_with_parent():
    # A suite killed outright (a CTest time-out) leaves no X server behind.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)   # PR_SET_PDEATHSIG


class Xvfb:
    """A private X server on a display number of its own choosing."""

    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(w)
        text = b""
        deadline = Deadline(30)
        # Xvfb writes the number and a newline once it accepts clients.
        while not text.endswith(b"\n") and deadline.left() > 0:
            chunk = os.read(r, 16)
            if not chunk:
                break
            text += chunk
        os.close(r)
        if not text.strip().isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + text.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def hexline(text):
    return text.encode("latin-1").hex()


class Prefix:
    """A Wine prefix of the suite's own, with a persistent wineserver."""

    def __init__(self, path, display, extra_env):
        self.path = os.path.abspath(path)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        self.env.update(WINEPREFIX=self.path, DISPLAY=display, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        self.env.update(extra_env)
        self.display = display
        self.drive_c = os.path.join(self.path, "drive_c")
        users = [u for u in os.listdir(os.path.join(self.drive_c, "users")) if u != "Public"]
        self.user = sorted(users)[0]

    def start_server(self):
        # Kept alive between runs, so that every run does not start the
        # prefix's services anew; it ends by itself 30 s after the last one
        # should the suite be killed before "wineserver -k".
        subprocess.run(["wineserver", "-p30"], env=self.env, check=True, timeout=60)

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # Paths: the Windows form that programs see and the Unix form the suite
    # checks. Only drive C: is used.
    def unix(self, windows_path):
        check(windows_path[:3].upper() == "C:\\", "not a C: path: " + windows_path)
        return os.path.join(self.drive_c, *windows_path[3:].split("\\"))

    def user_dir(self, name):
        return "C:\\users\\%s\\%s" % (self.user, name)

    def wine(self, args, timeout=60, env=None):
        """Runs a Wine command that needs no dialog; returns (code, output)."""
        # Output to a file: a service process that this command starts keeps
        # a pipe open for ever. Such a command only reads or writes the
        # registry or the environment, so one that stalls in Wine's services
        # is ended and run once more.
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as out:
                try:
                    result = subprocess.run(["wine"] + args, env=env or self.env,
                                            stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT, timeout=timeout)
                except subprocess.TimeoutExpired:
                    if attempt == 2:
                        raise
                    print("note: 'wine %s' did not finish in %d s; running it again"
                          % (" ".join(args), timeout))
                    continue
                out.seek(0)
                return result.returncode, out.read().decode("latin-1")

    # Registry, through Wine's own reg.exe, in the view a 32-bit program
    # has (the prefix is 64-bit, like the Windows most readers have).
    def reg_query(self, key, value):
        """(type, data) of VALUE under KEY, or None when either is missing.
        REG_DWORD data comes back as an int."""
        code, out = self.wine(["reg", "query", key, "/v", value, "/reg:32"])
        if code != 0:
            return None
        for line in out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == value.lower() and parts[1].startswith("REG_"):
                data = parts[2] if len(parts) > 2 else ""
                if parts[1] == "REG_DWORD":
                    return parts[1], int(data, 16)
                return parts[1], data
        return None

    def reg_key_exists(self, key):
        code, _ = self.wine(["reg", "query", key, "/reg:32"])
        return code == 0

    def reg_add(self, key, value, kind, data):
        code, out = self.wine(["reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f", "/reg:32"])
        check(code == 0, "reg add %s %s failed: %s" % (key, value, out.strip()))

    def reg_delete_value(self, key, value):
        self.wine(["reg", "delete", key, "/v", value, "/f", "/reg:32"])

    def reg_delete_key(self, key):
        self.wine(["reg", "delete", key, "/f", "/reg:32"])

    def set_windows_version(self, version):
        self.reg_add("HKCU\\Software\\Wine", "Version", "REG_SZ", version)

    def temp_folder(self):
        """The temporary folder programs of this prefix get, without a
        trailing backslash."""
        code, out = self.wine(["cmd", "/c", "echo %TEMP%"])
        temp = out.strip().splitlines()[-1].strip() if code == 0 and out.strip() else ""
        check(temp[:3].upper() == "C:\\", "no temp folder from Wine (%r)" % out)
        return temp.rstrip("\\")

    # Processes of this prefix, seen from /proc (Windows processes show their
    # Windows command line there).
    def processes(self, name_part):
        """[(pid, command line)] of this prefix's processes whose command line
        contains NAME_PART (case-insensitive)."""
        found = []
        marker = ("WINEPREFIX=" + self.path).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    line = f.read().replace(b"\0", b" ").decode("latin-1").strip()
            except OSError:
                continue
            if name_part.lower() in line.lower():
                found.append((int(pid), line))
        return found

    def kill_processes(self, name_part):
        """Ends the prefix's processes started from programs named like
        NAME_PART (left behind by a failed case)."""
        for pid, _ in self.processes(name_part):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


# Titles of the windows the suite knows; any of them appearing is handled.
KNOWN_TITLES = ("Open BKR", "Save As", "Install BKR Reader", "Error")
TITLE_PATTERN = "^(" + "|".join(KNOWN_TITLES) + ")$"


class PrefixFiles:
    """Windows paths of the prefix SELF.p, read from the host side."""

    def u(self, windows_path):
        return self.p.unix(windows_path)

    def exists(self, windows_path):
        return os.path.lexists(self.u(windows_path))

    def read(self, windows_path):
        with open(self.u(windows_path), "rb") as f:
            return f.read()


class Dialog:
    """A dialog a run must show, and how a person answers it: KEYS pressed
    in order, after TYPE (text typed) when given. TEXT, when given, is the
    message box text it must show."""

    def __init__(self, title, keys, type_text=None, text=None, contains=None):
        self.title = title
        self.keys = keys
        self.type_text = type_text
        self.text = text
        self.contains = contains


class RunResult:
    def __init__(self, code, dialogs_seen, message_texts, log):
        self.code = code
        self.dialogs_seen = dialogs_seen      # titles, in order
        self.message_texts = message_texts    # message box texts, in order
        self.log = log                        # path of the run's stderr


def xdotool(display, args, timeout=10):
    env = dict(os.environ, DISPLAY=display)
    result = subprocess.run(["xdotool"] + args, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    return result.returncode, result.stdout.decode("latin-1")


def visible_windows(display):
    code, out = xdotool(display, ["search", "--onlyvisible", "--name", TITLE_PATTERN])
    return [int(w) for w in out.split()] if code == 0 else []


def window_title(display, window):
    code, out = xdotool(display, ["getwindowname", str(window)])
    return out.strip() if code == 0 else None


def _grab(display, window, path):
    """Grabs WINDOW (or the whole screen for "root") into PATH; returns its
    bytes, or b"" when the window is gone."""
    env = dict(os.environ, DISPLAY=display)
    result = subprocess.run(["import", "-window", str(window), path], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=30)
    if result.returncode != 0:
        return b""
    with open(path, "rb") as f:
        return f.read()


def _colours(path):
    """How many colours the picture at PATH uses (0 when it can't be read)."""
    result = subprocess.run(["identify", "-format", "%k", path], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
    text = result.stdout.decode("latin-1").strip()
    return int(text) if result.returncode == 0 and text.isdigit() else 0


# A painted dialog shows text (anti-aliased: many shades) and buttons; a
# window grabbed before it is painted is one or two flat colours.
PAINTED_COLOURS = 16


def screenshot(display, path, window="root", deadline=None):
    """Keeps a picture of WINDOW in PATH once it is fully drawn: two grabs in
    a row agree and show text. Gives up waiting at DEADLINE (default 10 s)
    and keeps the last grab."""
    deadline = deadline or Deadline(10)
    last = _grab(display, window, path)
    while deadline.left() > 0 and last:
        time.sleep(0.2)
        now = _grab(display, window, path)
        if now == last and _colours(path) >= PAINTED_COLOURS:
            return True
        last = now
    return False


_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", "\"": "\"", "'": "'"}


def decode_debugstr(body):
    """The text of a Wine debugstr_w L"..." body."""
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            n = body[i + 1]
            if n in _ESCAPES:
                out.append(_ESCAPES[n])
                i += 2
                continue
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,4}", body[i + 2:])
                if m:
                    out.append(chr(int(m.group(0), 16)))
                    i += 2 + len(m.group(0))
                    continue
            if n in "01234567":
                m = re.match(r"[0-7]{1,3}", body[i + 1:])
                out.append(chr(int(m.group(0), 8)))
                i += 1 + len(m.group(0))
                continue
        out.append(c)
        i += 1
    return "".join(out)


def message_texts(log_path):
    """Texts of the message boxes a run showed, from its +msgbox trace."""
    texts = []
    with open(log_path, "r", encoding="latin-1") as f:
        for line in f:
            m = re.search(r'MSGBOX_OnInit L"(.*)"\s*$', line)
            if m:
                texts.append(decode_debugstr(m.group(1)))
    return texts


def run_program(prefix, command, dialogs, artefacts, name, deadline, env_extra=None):
    """Runs COMMAND (a wine argument list) and answers DIALOGS in order as
    they appear, keeping a screenshot of each. Any other known dialog, a
    dialog that does not come, or a run that does not end in time fails the
    case (the run is ended first)."""
    os.makedirs(artefacts, exist_ok=True)
    log = os.path.join(artefacts, name + ".log")
    # Errors too: a run that fails without a dialog says why in its log.
    env = dict(prefix.env, WINEDEBUG="-all,err+all,trace+msgbox")
    env.update(env_extra or {})
    with open(log, "wb") as err:
        proc = subprocess.Popen(["wine"] + command, env=env, stdin=subprocess.DEVNULL,
                                stdout=err, stderr=err, start_new_session=True)
    pending = list(dialogs)
    handled = {}   # window -> (time answered, dialog), for a resend if it stays
    seen = []
    problem = None
    while True:
        if proc.poll() is not None:
            break
        if deadline.left() <= 0:
            problem = "timed out; dialogs seen %s, still expected %s" % (
                seen, [d.title for d in pending])
            break
        for window in visible_windows(prefix.display):
            if window in handled:
                answered, dialog = handled[window]
                # A key that came before the dialog took input is lost: answer again.
                if dialog.type_text is None and time.monotonic() - answered > 5:
                    for key in dialog.keys:
                        xdotool(prefix.display, ["key", key])
                    handled[window] = (time.monotonic(), dialog)
                continue
            title = window_title(prefix.display, window)
            if title is None:
                continue   # gone already
            seen.append(title)
            shot = os.path.join(artefacts, "%s-%d-%s.png" % (name, len(seen), title.replace(" ", "_")))
            # Answered only once drawn: a key sent before the dialog takes
            # input is lost.
            screenshot(prefix.display, shot, window, deadline.sooner(15))
            if not pending or pending[0].title != title:
                problem = "unexpected dialog %r (expected %s)" % (
                    title, repr(pending[0].title) if pending else "none")
                break
            dialog = pending.pop(0)
            xdotool(prefix.display, ["windowfocus", str(window)])
            if dialog.type_text is not None:
                xdotool(prefix.display, ["type", "--delay", "20", dialog.type_text])
            for key in dialog.keys:
                xdotool(prefix.display, ["key", key])
            handled[window] = (time.monotonic(), dialog)
        if problem:
            break
        time.sleep(POLL)
    if problem:
        _end(proc)
        raise CaseFailure(problem)
    texts = message_texts(log)
    check(not pending, "the run ended (exit code %s) without showing %s" % (
        proc.returncode, [d.title for d in pending]))
    expected = [d for d in dialogs if d.title != "Save As"]   # message boxes
    for want, got in zip(expected, texts):
        if want.text is not None:
            check(got == want.text, "message box text %r, expected %r" % (got, want.text))
        if want.contains is not None:
            check(want.contains in got, "message box text %r lacks %r" % (got, want.contains))
    check(len(texts) == len(expected), "%d message boxes logged, %d expected" % (
        len(texts), len(expected)))
    return RunResult(proc.returncode, seen, texts, log)


def _end(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()


# Shell links: the target path is the LinkInfo's local base path followed by
# its common path suffix.
def shortcut_target(path):
    with open(path, "rb") as f:
        data = f.read()
    check(len(data) >= 0x4C and struct.unpack_from("<I", data, 0)[0] == 0x4C,
          "%s is not a shell link" % path)
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    if flags & 1:   # HasLinkTargetIDList
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    check(flags & 2, "%s has no LinkInfo" % path)   # HasLinkInfo
    (size, header, info_flags, _vol, base, _net, suffix) = struct.unpack_from("<7I", data, pos)
    check(info_flags & 1, "%s: LinkInfo without a local path" % path)

    def cstr(offset):
        end = data.index(b"\0", pos + offset)
        return data[pos + offset:end].decode("latin-1")

    return cstr(base) + cstr(suffix)


def read_lines(path):
    """The lines of a stand-in's log (CR LF ends each), [] when it is absent."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("latin-1")
    except FileNotFoundError:
        return []
    return [line for line in text.split("\r\n") if line]


def run_cases(cases, world, prefix, only, seconds, leftovers):
    """Runs each (name, fn) of CASES whose name holds ONLY (all when empty) on
    WORLD, each within SECONDS, printing one PASS or FAIL line per case (or
    WINE, counted as neither, for one cut short by Wine's own fault); then
    ends the prefix's processes named in LEFTOVERS, which a failed case may
    leave behind (with a dialog open). Returns (passed, failed)."""
    passed = failed = 0
    for name, fn in cases:
        if only and only.lower() not in name.lower():
            continue
        world.case = fn.__name__
        world.deadline = Deadline(seconds)
        t0 = time.monotonic()
        try:
            fn(world)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - t0))
        except CaseFailure as e:
            failed += 1
            print("FAIL %s: %s" % (name, e))
        except WineFault as e:
            print("WINE %s: %s" % (name, e))
        except Exception as e:   # a fault of the suite itself: still one failed case
            failed += 1
            print("FAIL %s: %s: %s" % (name, type(e).__name__, e))
            traceback.print_exc(file=sys.stdout)
        finally:
            for left in leftovers:
                prefix.kill_processes(left)
        sys.stdout.flush()
    return passed, failed
