#!/usr/bin/env python3
"""An emulated x86-64 machine, for a host whose kernel cannot run 32-bit
programs (or that is not x86-64 at all): QEMU's full-system emulator boots
Debian's own kernel from a Debian root image made for it, with Wine in it, and
runs one command there.

  emulated_machine.py needed          exit 0 where commands that need 32-bit
                                      programs must go to the machine, else 1
  emulated_machine.py image           make the image, unless it is there and current
  emulated_machine.py run [--share DIR]... [--disk FILE:DIR] [--env NAME=VALUE]...
                          [--timeout SECONDS] [--cwd DIR] -- COMMAND [ARGS...]

run shares the project tree (and each --share) read-write at the same path, so
that paths mean the same inside; a --disk is an ext4 image kept between runs
(made when missing), mounted at DIR: Wine prefixes live there, at disk speed
rather than across the share. The command's standard output and error stream
to the caller's, and its exit status becomes run's own. A machine that does
not boot, panics or hangs past the time-out is a failure (status 125), never a
success: the status counts only once the guest has written it. The guest's
console goes to a boot log, kept under the image's folder.

CLEANUP_EMULATED=1 sends the commands to the machine on a host that could run
them itself, for trying and comparing it; 0 never does. CLEANUP_EMULATED_ACCEL
picks QEMU's accelerator: tcg (the default) or kvm.
CLEANUP_EMULATED_CACHE is where images are kept (default ~/.cache).
"""

import argparse
import ctypes
import fcntl
import hashlib
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
GUEST_INIT = os.path.join(HERE, "guest-init")

# What the guest needs to run the Wine tests and the program: Wine in both
# word sizes, an X server, its screenshots' converter, and a kernel.
PACKAGES = ("linux-image-amd64", "kmod", "mount", "e2fsprogs", "wine", "wine32:i386", "wine64", "fonts-wine", "xvfb",
            "xauth", "python3", "imagemagick", "procps")
# The machine: Debian's kernel runs 32-bit code on QEMU's qemu64 model with the
# newer SIMD extensions, not on "max" (the guest kernel oopses in Wine's
# 32-bit code there).
CPU = "qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt"
MEMORY_MIB = 6144
FAILED = 125
PR_SET_PDEATHSIG = 1
KEPT_DAYS = 7
ROOT_SIZE = "6G"
DISK_SIZE = "8G"


def log(message):
    print("emulated machine: " + message, file=sys.stderr)
    sys.stderr.flush()


# The smallest i386 program: exit(32) through int 0x80. It runs only where the
# kernel runs 32-bit code; elsewhere exec fails with "Exec format error".
def probe_32bit_program():
    base = 0x08048000
    code = bytes([0x31, 0xDB, 0xB3, 0x20, 0x31, 0xC0, 0x40, 0xCD, 0x80])  # xor ebx,ebx; mov bl,32; xor eax,eax; inc eax; int 0x80
    size = 52 + 32 + len(code)
    # ELF32, i386, executable; one program header, no section headers.
    header = (b"\x7fELF\x01\x01\x01" + bytes(9) +
              struct.pack("<HHIIIIIHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1) + bytes(6))
    program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + program + code


def why_32bit_cannot_run():
    """None where this kernel runs a 32-bit x86 program, else why not."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "probe32")
        with open(path, "wb") as probe:
            probe.write(probe_32bit_program())
        os.chmod(path, 0o755)
        try:
            status = subprocess.run([path], timeout=30).returncode
        except OSError as error:
            return "this kernel cannot run 32-bit x86 programs: %s" % error
    if status != 32:
        return "a 32-bit x86 program ended with status %d, not 32" % status
    return None


def needed():
    forced = os.environ.get("CLEANUP_EMULATED", "")
    if forced in ("0", "1"):
        return forced == "1"
    return why_32bit_cannot_run() is not None


def inside():
    """Whether this is the emulated machine itself."""
    return os.environ.get("CLEANUP_EMULATED_GUEST") == "1"


def why_unavailable():
    """None where the machine can be run, else why not."""
    if shutil.which("qemu-system-x86_64") is None:
        return "QEMU's x86-64 system emulator (Debian's qemu-system-x86) is not installed"
    return None


def host_suite():
    """The Debian release the image is made of: the host's own, so that the
    guest runs the same Wine the host's packages would; CLEANUP_EMULATED_SUITE
    (bookworm or trixie) picks another."""
    if os.environ.get("CLEANUP_EMULATED_SUITE") in ("bookworm", "trixie"):
        return os.environ["CLEANUP_EMULATED_SUITE"]
    try:
        with open("/etc/os-release") as release:
            fields = dict(line.rstrip("\n").split("=", 1) for line in release if "=" in line)
        codename = fields.get("VERSION_CODENAME", "").strip('"')
    except OSError:
        codename = ""
    return codename if codename in ("bookworm", "trixie") else "trixie"


def image_key(suite):
    digest = hashlib.sha256()
    digest.update(("%s\n%s\n%s\n" % (suite, " ".join(PACKAGES), ROOT_SIZE)).encode())
    with open(GUEST_INIT, "rb") as init:
        digest.update(init.read())
    with open(os.path.abspath(__file__), "rb") as runner:
        # The recipe below is part of what the image is.
        digest.update(re.search(rb"def make_image.*?\n(?=def )", runner.read(), re.S).group(0))
    return digest.hexdigest()[:16]


def cache_root():
    root = os.environ.get("CLEANUP_EMULATED_CACHE")
    if not root:
        root = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                            "zelvorin-cleanup", "emulated-machine")
    return root


def image_folder():
    suite = host_suite()
    return os.path.join(cache_root(), "%s-%s" % (suite, image_key(suite))), suite


def make_image(folder, suite):
    """A Debian root with PACKAGES, as an ext4 image, and the kernel and initrd
    it boots with beside it."""
    building = folder + ".building"
    shutil.rmtree(building, ignore_errors=True)
    root = os.path.join(building, "root")
    os.makedirs(root)
    sources = ["deb http://deb.debian.org/debian %s main" % suite,
               "deb http://deb.debian.org/debian %s-updates main" % suite]
    if os.environ.get("DEBIAN_SECURITY", "1") != "0":
        sources.append("deb http://deb.debian.org/debian-security %s-security main" % suite)
    started = time.monotonic()
    log("making a Debian %s image in %s (a few minutes, once)" % (suite, folder))
    with open(os.path.join(building, "mmdebstrap.log"), "wb") as out:
        status = subprocess.run(
            ["mmdebstrap", "--variant=apt", "--architectures=amd64,i386", "--include=" + ",".join(PACKAGES),
             "--customize-hook=copy-in %s /usr/local/sbin" % GUEST_INIT,
             "--customize-hook=chroot \"$1\" chmod 755 /usr/local/sbin/guest-init",
             "--customize-hook=echo emulated > \"$1/etc/hostname\"",
             "--customize-hook=rm -f \"$1\"/var/cache/apt/archives/*.deb",
             suite, root] + sources, stdout=out, stderr=subprocess.STDOUT).returncode
    if status != 0:
        with open(os.path.join(building, "mmdebstrap.log"), "rb") as out:
            sys.stderr.buffer.write(out.read()[-3000:])
        raise SystemExit("emulated machine: making the root failed (mmdebstrap exit %d); log in %s" % (status, building))
    boot = os.path.join(root, "boot")
    kernels = sorted(name for name in os.listdir(boot) if name.startswith("vmlinuz-"))
    if not kernels:
        raise SystemExit("emulated machine: the root has no kernel in /boot")
    version = kernels[-1][len("vmlinuz-"):]
    shutil.copyfile(os.path.join(boot, kernels[-1]), os.path.join(building, "vmlinuz"))
    shutil.copyfile(os.path.join(boot, "initrd.img-" + version), os.path.join(building, "initrd.img"))
    with open(os.path.join(building, "kernel-version"), "w") as out:
        out.write(version + "\n")
    packages = subprocess.run(["chroot", root, "dpkg-query", "-W", "-f", "${Package}:${Architecture} ${Version}\n"],
                              capture_output=True, check=True).stdout
    with open(os.path.join(building, "packages"), "wb") as out:
        out.write(packages)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "root", "-d", root, os.path.join(building, "root.img"), ROOT_SIZE],
                   check=True)
    shutil.rmtree(root)
    shutil.rmtree(folder, ignore_errors=True)
    os.rename(building, folder)
    log("image made in %.0f s: kernel %s, %d packages" % (time.monotonic() - started, version,
                                                         packages.count(b"\n")))


def ensure_image():
    """The image's folder, made first if missing or out of date. One maker at
    a time: others wait for it."""
    folder, suite = image_folder()
    os.makedirs(os.path.dirname(folder), exist_ok=True)
    with open(folder + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(folder, "root.img")):
            make_image(folder, suite)
    return folder


def accelerator():
    # KVM only when asked for: a /dev/kvm that opens is no promise that QEMU
    # can use it (a nested hypervisor's may hang the guest at boot).
    return os.environ.get("CLEANUP_EMULATED_ACCEL") or "tcg"


def qemu_version():
    out = subprocess.run(["qemu-system-x86_64", "--version"], capture_output=True, text=True).stdout
    match = re.search(r"version (\S+)", out)
    return match.group(1) if match else "unknown"


def outermost(folders):
    """The folders none of which lies inside another."""
    kept = []
    for folder in sorted(set(os.path.realpath(f) for f in folders), key=len):
        if not any(folder == k or folder.startswith(k.rstrip("/") + "/") for k in kept):
            kept.append(folder)
    return kept


def new_disk(path):
    with open(path, "wb") as disk:
        disk.truncate(int(DISK_SIZE[:-1]) << 30)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "kept", path], check=True)


def run(command, shares=(), disk=None, env=(), timeout=3600, cwd=None):
    """Runs COMMAND in the machine and returns its exit status; FAILED when
    the machine did not say it (did not boot, panicked, hung)."""
    reason = why_unavailable()
    if reason:
        log(reason)
        return FAILED
    folder = ensure_image()
    cwd = os.path.realpath(cwd or os.getcwd())
    shares = outermost([PROJECT, cwd] + list(shares))
    with open(os.path.join(folder, "kernel-version")) as version:
        kernel = version.read().strip()
    accel = accelerator()
    runs = os.path.dirname(folder)
    # The folders of failed runs are kept for a look, for a week.
    for name in os.listdir(runs):
        path = os.path.join(runs, name)
        if name.startswith("run-") and time.time() - os.path.getmtime(path) > KEPT_DAYS * 86400:
            shutil.rmtree(path, ignore_errors=True)
    job = tempfile.mkdtemp(prefix="run-", dir=runs)
    boot_log = os.path.join(job, "boot.log")
    script = ["cd %s" % shlex.quote(cwd)]
    script += ["export %s" % shlex.quote(setting) for setting in env]
    script.append("exec " + " ".join(shlex.quote(arg) for arg in command))
    with open(os.path.join(job, "command"), "w") as out:
        out.write("\n".join(script) + "\n")
    with open(os.path.join(job, "probe32"), "wb") as out:
        out.write(probe_32bit_program())
    os.chmod(os.path.join(job, "probe32"), 0o755)
    mounts = ["share%d %s" % (n, path) for n, path in enumerate(shares)]
    args = ["qemu-system-x86_64", "-machine", "q35", "-cpu", CPU, "-smp", str(os.cpu_count() or 2),
            "-m", str(MEMORY_MIB), "-display", "none", "-monitor", "none", "-no-reboot", "-nodefaults",
            "-kernel", os.path.join(folder, "vmlinuz"), "-initrd", os.path.join(folder, "initrd.img"),
            "-append", "root=/dev/vda rw console=ttyS0 panic=-1 quiet noresume init=/usr/local/sbin/guest-init",
            "-drive", "file=%s,format=raw,if=virtio,snapshot=on" % os.path.join(folder, "root.img"),
            "-serial", "file:" + boot_log,
            "-device", "virtio-serial-pci",
            "-chardev", "file,id=out,path=" + os.path.join(job, "stdout"),
            "-device", "virtserialport,chardev=out,name=cleanup.stdout",
            "-chardev", "file,id=err,path=" + os.path.join(job, "stderr"),
            "-device", "virtserialport,chardev=err,name=cleanup.stderr",
            "-virtfs", "local,path=%s,mount_tag=job,security_model=none" % job]
    args += ["-accel", "kvm"] if accel == "kvm" else ["-accel", "tcg,thread=multi"]
    for n, path in enumerate(shares):
        args += ["-virtfs", "local,path=%s,mount_tag=share%d,security_model=none,multidevs=remap" % (path, n)]
    if disk:
        image, mount_point = disk
        if not os.path.exists(image):
            new_disk(image)
        args += ["-drive", "file=%s,format=raw,if=virtio,cache=unsafe" % image]
        mounts.append("disk /dev/vdb %s" % mount_point)
    with open(os.path.join(job, "mounts"), "w") as out:
        out.write("\n".join(mounts) + "\n")
    print("# in the emulated machine: QEMU %s (%s), Debian kernel %s" % (qemu_version(), accel, kernel))
    sys.stdout.flush()
    started = time.monotonic()
    streams = [(os.path.join(job, "stdout"), sys.stdout.buffer, [0]), (os.path.join(job, "stderr"), sys.stderr.buffer, [0])]

    def copy_new_output():
        for path, out, offset in streams:
            try:
                with open(path, "rb") as source:
                    source.seek(offset[0])
                    data = source.read()
            except FileNotFoundError:
                continue
            if data:
                offset[0] += len(data)
                out.write(data)
                out.flush()

    # The machine dies with this process, also when a time-out kills it.
    libc = ctypes.CDLL(None, use_errno=True)
    machine = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(job, "qemu.log"), "wb"),
                               preexec_fn=lambda: libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
    timed_out = False
    try:
        while machine.poll() is None:
            copy_new_output()
            if time.monotonic() - started > timeout:
                timed_out = True
                machine.kill()
                machine.wait()
                break
            time.sleep(0.2)
    finally:
        if machine.poll() is None:
            machine.kill()
            machine.wait()
    copy_new_output()
    elapsed = time.monotonic() - started
    status_file = os.path.join(job, "status")
    status = None
    if os.path.exists(status_file):
        with open(status_file) as result:
            text = result.read().strip()
        status = int(text) if text.isdigit() else None
    if status is None:
        why = ("did not end within %d s" % timeout if timed_out else
               "stopped (QEMU exit %d) without saying the command's exit status: it did not boot, or panicked"
               % machine.returncode)
        with open(os.path.join(job, "qemu.log"), "rb") as qemu_log:
            qemu_said = qemu_log.read().decode(errors="replace").strip()
        if qemu_said:
            log("QEMU said: " + qemu_said[-1500:])
        if os.path.exists(boot_log):
            with open(boot_log, "rb") as console:
                tail = console.read().decode(errors="replace").strip().splitlines()[-25:]
            log("the last lines of its console:\n  " + "\n  ".join(tail))
        log("the machine %s; its boot log is kept in %s" % (why, job))
        return FAILED
    shutil.copyfile(boot_log, os.path.join(runs, "last-boot.log"))
    shutil.rmtree(job, ignore_errors=True)
    print("# the emulated machine ran for %.1f s" % elapsed)
    sys.stdout.flush()
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    verbs = parser.add_subparsers(dest="verb", required=True)
    verbs.add_parser("needed")
    verbs.add_parser("image")
    runner = verbs.add_parser("run")
    runner.add_argument("--share", action="append", default=[])
    runner.add_argument("--disk", help="FILE:DIR, an ext4 image kept between runs, mounted at DIR inside")
    runner.add_argument("--env", action="append", default=[], help="NAME=VALUE, set for the command")
    runner.add_argument("--timeout", type=int, default=3600)
    runner.add_argument("--cwd")
    runner.add_argument("command", nargs="+")
    args = parser.parse_args()
    if args.verb == "needed":
        return 0 if needed() else 1
    if args.verb == "image":
        if not needed():
            print("emulated machine: not needed, this machine runs 32-bit programs itself")
            return 0
        reason = why_unavailable()
        if reason:
            print("emulated machine: cannot be made: " + reason)
            return 0
        print("emulated machine: image in " + ensure_image())
        return 0
    disk = tuple(args.disk.rsplit(":", 1)) if args.disk else None
    return run(args.command, args.share, disk, args.env, args.timeout, args.cwd)


if __name__ == "__main__":
    sys.exit(main())
