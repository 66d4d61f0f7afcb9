"""The test bed: where the program and the test driver run. Two sides, which
the groups use alike:

- WineBed: a scratch prefix, an X display and a persistent wineserver, natively
  or in the emulated machine. Everything started here is stopped by PID (Xvfb)
  or by prefix (wineserver) when the bed closes, also when a test fails.
- WindowsBed: Windows itself. Programs start directly, with the paths as they
  are; the machine's own registry is the one changed, so the keys the tests
  touch are saved first and put back at the end.

Each side says what it lacks of what a group needs (lacks()).
"""

import glob
import ntpath
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "emulated"))
# The emulated machine is Linux's way to Wine; Windows runs the program itself.
emulated_machine = None if os.name == "nt" else __import__("emulated_machine")

TARNWHEEL = r"System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\Tarnwheel"
APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
QRTLOAD = APP_PATHS + r"\qrtload.exe"
VALUE = "DosInstallDirectory"

MARLETT_NAME = "marlett.ttf"
MARLETT = "/usr/share/wine/fonts/" + MARLETT_NAME
# The bed keeps its wineserver between programs, but not for ever: a run
# killed before it could close the bed (CTest ends a group past its time-out
# with SIGKILL) would otherwise leave the server and Wine's system processes
# behind for good. This long after its last program, the server ends itself.
SERVER_LINGER_SECONDS = 60

TEXT_ALREADY = "Registry settings for Zelvorin already cleaned - Version 1.0"
TEXT_CLEANED = "Zelvorin registry setting detected and cleaned - Version 1.0"
TEXT_NOT_CLEANED = "Zelvorin registry setting could not be cleaned - Version 1.0"


# The exit status of a run that could not test anything, as CTest's
# SKIP_RETURN_CODE: the machine cannot run the program at all.
SKIPPED = 77


def why_wine_cannot_run():
    """None when Wine can run a 32-bit program here; else why not. A kernel
    without 32-bit emulation (configured or booted without it, as some
    virtual machines are) refuses every i386 executable, Wine's own loader
    included: no test of the program can run there, and none may pass."""
    result = subprocess.run(["wine", "--version"], capture_output=True, timeout=60)
    if result.returncode != 0 and b"Exec format error" in result.stderr:
        return ("this machine's kernel cannot run 32-bit x86 programs (32-bit emulation is off), "
                "so Wine cannot run the program: %s" % result.stderr.decode(errors="replace").strip())
    return None


# Inside the emulated machine, the prefixes' disk.
GUEST_PREFIXES = "/var/lib/cleanup-prefixes"


def run_in_emulated_machine(work, paths):
    """Where this machine cannot run 32-bit programs (or CLEANUP_EMULATED=1
    says to), runs this same command in the emulated machine and returns its
    exit status; None where it runs here. The prefixes are kept on a disk of
    their own beside the work folder's other files."""
    if emulated_machine.inside() or not emulated_machine.needed():
        return None
    unavailable = emulated_machine.why_unavailable()
    if unavailable:
        if os.environ.get("CLEANUP_EMULATED") == "1":
            print("FAIL - the emulated machine was asked for, but " + unavailable)
            return 1
        print("SKIP - %s, and the emulated machine cannot run: %s" % (emulated_machine.why_32bit_cannot_run(),
                                                                      unavailable))
        return SKIPPED
    shares = [os.path.dirname(os.path.abspath(path)) for path in paths if path]
    return emulated_machine.run(["python3", os.path.abspath(sys.argv[0])] + sys.argv[1:], shares=shares,
                                disk=(os.path.join(work, "emulated-prefixes.img"), GUEST_PREFIXES),
                                env=["CLEANUP_WINE_PREFIXES=" + GUEST_PREFIXES],
                                # Under CTest's own time-out, so that a hang is told with its boot log.
                                timeout=1700)


def where_wine_runs():
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    if emulated_machine.inside():
        return "%s, in the emulated machine" % version
    return "%s, natively on Linux %s" % (version, os.uname().release)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# What a group may need of its platform, and why a platform can lack it.
DEBUG_CHANNELS = "Wine's debug channels"
DLL_OVERRIDES = "Wine's DLL overrides"
NO_DISPLAY = "a run without any display"
CODE_PAGE_932 = "the system code page 932"
SCREEN = "a screen to capture"


class WineBed:
    platform = "Wine"
    # A scratch prefix is the group's alone: nothing to save and put back.
    shared_registry = False

    def __init__(self, work, name, locale="C.UTF-8", code_page="cp1252", display=True, arch="win32", driver=None):
        self.work = os.path.abspath(work)
        # The test driver, as the programs started here name it.
        self.driver = driver and windows_path(driver)
        self.code_page = code_page
        # The emulated machine keeps its prefixes on a disk of their own.
        prefixes = os.environ.get("CLEANUP_WINE_PREFIXES") or self.work
        self.prefix = os.path.join(prefixes, name + ("" if arch == "win32" else "-" + arch))
        # Where a 32-bit program's system folder lies on the host.
        self.system_dir = os.path.join(self.prefix, "drive_c", "windows", "system32" if arch == "win32" else "syswow64")
        self.xvfb = None
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=self.prefix,
            WINEARCH=arch,
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            LC_ALL=locale,
        )
        self.env.pop("DISPLAY", None)
        self.server_started = False
        self.display = display

    def lacks(self, need):
        """Why this bed cannot give a group what it needs; None when it can."""
        if need == SCREEN and not self.display:
            return "this bed runs without a display"
        return None

    path = staticmethod(windows_path)

    def dump_step(self, file):
        return ["dump", windows_path(file)]

    @staticmethod
    def library_folders():
        """Where Wine's own libraries lie: the full path of a builtin library
        names its file there, not the system folder."""
        folders = glob.glob("/usr/lib/*/wine/*-windows") + glob.glob("/usr/lib/wine/*-windows")
        return [windows_path(folder) for folder in folders]

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        os.makedirs(self.work, exist_ok=True)
        if self.display:
            read_fd, write_fd = os.pipe()
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as pipe:
                number = pipe.readline().strip()
            if not number:
                raise RuntimeError("Xvfb did not start")
            self.env["DISPLAY"] = ":" + number
        # Written once the prefix is wholly made: a set-up that failed half
        # way leaves files that must not pass for a prefix.
        made = os.path.join(self.prefix, ".made")
        fresh = not os.path.exists(made)
        # A server left over from an interrupted run of this prefix.
        self.stop_server()
        if fresh:
            self.make_prefix()
        else:
            self.start_server()
        # Wine draws the title bar's buttons with Marlett (from fonts-wine), but
        # finds it only in the prefix's own font folder.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        if not os.path.exists(os.path.join(fonts, MARLETT_NAME)):
            shutil.copyfile(MARLETT, os.path.join(fonts, MARLETT_NAME))
        # Start Wine's background processes now, so that they neither log
        # into a traced run nor slow down the first case.
        self.run(["wineboot"])
        if fresh:
            # Without a window manager, closing a managed window waits ~2 s.
            self.run(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"])
            open(made, "w").close()

    def start_server(self):
        subprocess.run(["wineserver", "-p%d" % SERVER_LINGER_SECONDS], env=self.env, check=True, timeout=60)
        self.server_started = True

    def make_prefix(self):
        """A new prefix. Emulated, wineboot -i in a 64-bit prefix has failed
        now and then (exit status 53, on a busy machine): a failed one is
        said, removed and made once more."""
        for attempt in (1, 2):
            shutil.rmtree(self.prefix, ignore_errors=True)
            os.makedirs(self.prefix)
            self.start_server()
            with tempfile.TemporaryFile() as log:
                # Emulated, a 64-bit prefix takes minutes, more on a busy machine.
                status = subprocess.run(["wineboot", "-i"], env=self.env, stdout=log, stderr=log,
                                        timeout=1200 if emulated_machine.inside() else 300).returncode
                log.seek(0)
                said = log.read().decode(errors="replace")[-2000:]
            if status == 0:
                return
            print("# wineboot -i failed (%d)%s: %s" % (status, ", once more" if attempt == 1 else "", said.strip()))
            self.stop_server()
            self.server_started = False
        shutil.rmtree(self.prefix, ignore_errors=True)
        raise RuntimeError("wineboot -i failed twice (%d)" % status)

    def close(self):
        if self.server_started:
            self.stop_server()
            self.server_started = False
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None

    def loaded_modules(self, exe, args=(), overrides=None):
        """Runs the program without a display and returns its exit status and
        the modules its own thread loaded, in order, lower case."""
        trace = self.run([exe] + list(args), debug="+loaddll", display=False, check=False, overrides=overrides)
        return trace.returncode, [name.lower() for name in program_thread_modules(trace.stderr, exe)]

    def stop_server(self):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, args, debug=None, display=True, check=True, overrides=None, timeout=180):
        """Runs a Windows program (or Wine's own, such as reg) and returns its
        result, with its output."""
        env = dict(self.env)
        if debug:
            env["WINEDEBUG"] = debug
        if overrides:
            env["WINEDLLOVERRIDES"] += ";" + overrides
        if not display:
            env.pop("DISPLAY", None)
        # Output goes to files, not pipes: Wine's background processes, started
        # by whichever program comes first, inherit them and would hold a pipe
        # open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["wine"] + args, env=env, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        return checked(result, args, check)


def checked(result, args, check):
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (args[:2], result.returncode,
                                                   result.stderr.decode(errors="replace")[-2000:]))
    return result


class WindowsBed:
    """Windows itself: no prefix, no X display, no wineserver."""
    platform = "Windows"
    # The machine's own registry: what the tests touch is saved and put back.
    shared_registry = True

    def __init__(self, work, name=None, locale=None, code_page=None, display=True, arch=None, driver=None):
        self.work = os.path.abspath(work)
        self.driver = driver and os.path.abspath(driver)
        # Python's name for the system's ANSI code page.
        self.code_page = "mbcs"
        self.display = display
        root = os.environ.get("SystemRoot", r"C:\Windows")
        # A 32-bit program's system folder: SysWOW64 on 64-bit Windows.
        wow64 = ntpath.join(root, "SysWOW64")
        self.system_dir = wow64 if os.path.isdir(wow64) else ntpath.join(root, "System32")
        self.screen = None

    def __enter__(self):
        os.makedirs(self.work, exist_ok=True)
        return self

    def __exit__(self, *exc):
        pass

    def lacks(self, need):
        if need in (DEBUG_CHANNELS, DLL_OVERRIDES):
            return "Windows has none"
        if need == NO_DISPLAY:
            return "Windows runs every program on a desktop"
        if need == CODE_PAGE_932:
            import ctypes
            code_page = ctypes.windll.kernel32.GetACP()
            return None if code_page == 932 else "the system code page is %d" % code_page
        if need == SCREEN:
            # Found here, not by the machine's name: a runner without an
            # interactive desktop has a window station nobody sees.
            if self.screen is None:
                self.screen = parse_report(self.run([self.driver, "screen"]).stdout).get("screen", ["?"])[0]
            return None if self.screen.startswith("visible ") else "the window station is not one a person sees (%s)" % (
                self.screen)
        return None

    @staticmethod
    def path(path):
        return os.path.abspath(path)

    def dump_step(self, file):
        # Windows saves a hive in its binary format; the driver writes the
        # text that Wine's save gives.
        return ["export", os.path.abspath(file), ""]

    @staticmethod
    def library_folders():
        return []

    def run(self, args, debug=None, display=True, check=True, overrides=None, timeout=180):
        if debug or overrides or not display:
            raise RuntimeError("Windows has no Wine debug channels, no DLL overrides, and always a desktop")
        result = subprocess.run(args, capture_output=True, timeout=timeout)
        return checked(result, args, check)


def parse_report(stdout):
    """The driver's "name: value" lines, as a dict of lists."""
    report = {}
    for line in stdout.decode("latin-1").splitlines():
        name, _, value = line.partition(": ")
        report.setdefault(name, []).append(value)
    return report


HIVE_HEADER = re.compile(r"^\[(.*)\](?: \d+)?$")


def read_hive(path):
    """A saved registry as a set of "key" and "key|value line" entries; the
    save's timestamps (which any change touches) are left out."""
    entries = set()
    key = None
    pending = ""
    with open(path, encoding="latin-1") as hive:
        for raw in hive:
            line = pending + raw.rstrip("\n")
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1].lstrip()
                continue
            pending = ""
            header = line.startswith("[") and HIVE_HEADER.match(line)
            if header:
                key = header.group(1).replace("\\\\", "\\")
                entries.add(key)
            elif line and not line.startswith("#") and not line.startswith(";") and key is not None:
                entries.add(key + "|" + line.strip())
    return entries


def saved_names(entries):
    """How a saved registry names a key: the key path with the links on its way
    followed, as Windows follows them. System\\CurrentControlSet is such a
    link, to ControlSetNNN, on Windows and Wine 10 alike; Wine 8 saves it as a
    plain key, with no link to follow."""
    links = {}
    for entry in entries:
        name, _, line = entry.partition("|")
        if line.lower().startswith('"symboliclinkvalue"=hex(6):'):
            # A REG_LINK value: UTF-16 text such as \Registry\Machine\System\ControlSet001.
            target = bytes.fromhex(line.split(":", 1)[1].replace(",", "")).decode("utf-16-le").rstrip("\0")
            machine = "\\registry\\machine\\"
            if target.lower().startswith(machine):
                links[name.lower()] = target[len(machine):]

    def saved_name(key):
        parts = key.split("\\")
        for length in range(1, len(parts) + 1):
            target = links.get("\\".join(parts[:length]).lower())
            if target is not None:
                return saved_name("\\".join([target] + parts[length:]))
        return key
    return saved_name


def under(entry, key):
    """Whether a hive entry is the key, one of its values, or anything below it."""
    name = entry.split("|", 1)[0].lower()
    key = key.lower()
    return name == key or name.startswith(key + "\\")


def value_entry(entry, key, value):
    name, _, line = entry.partition("|")
    return name.lower() == key.lower() and line.lower().startswith('"%s"=' % value.lower())


def image_range(exe):
    """The address range the program's image occupies when it loads at its
    preferred base, from its PE header."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    image_base = struct.unpack_from("<I", data, pe + 24 + 28)[0]
    size_of_image = struct.unpack_from("<I", data, pe + 24 + 56)[0]
    return image_base, image_base + size_of_image


def program_thread(lines, exe):
    """The thread id that loaded the program: other Wine processes may log
    into the same trace."""
    name = "\\" + os.path.basename(exe).lower() + '"'
    for line in lines:
        if "Loaded L" in line and name in line.lower().replace("\\\\", "\\"):
            return line.split(":", 1)[0]
    raise RuntimeError("the trace does not show the program loading")


def program_thread_modules(trace, exe):
    lines = trace.decode("latin-1").splitlines()
    thread = program_thread(lines, exe)
    return re.findall(r'^%s:.*Loaded L"[^"]*\\\\([^"\\]+)"' % thread, "\n".join(lines), re.M)
