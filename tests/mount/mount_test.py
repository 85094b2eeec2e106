#!/usr/bin/env python3
"""zelmount against a real zelsim: mount_test.py BIN_DIR E2E_DIR CASE [SEED].

Cases:
  random  seeded random operations on the mount and on a reference folder
          side by side, compared after every step (with remounts); then the
          disk passes fsck.fat -n and mtools reads every file back the same.
  trees   cp -a and rsync -a of trees with Chinese names in and out, names
          and operations the device refuses and their errno, one client per
          device, a full device, the device going away and coming back.
  kill    kill -9 of zelmount and of zelsim: what was closed or fsynced is
          on the disk, and the disk passes fsck.fat -n but for what a kill
          during one commit may leave; Ctrl-C ends with status 0 and
          everything written.

The test skips (CTest's skip code 77, with a message) where /dev/fuse or
fusermount3 is missing. Each case makes its own folder under $TMPDIR.
"""
import errno
import mmap
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


class Rig:
    """A zelsim with a fresh partitioned and formatted device, and zelmount."""

    def __init__(self, bin_dir, e2e_dir, work):
        self.bin = bin_dir
        self.e2e = e2e_dir
        self.work = work
        self.env = dict(os.environ, TERVAN_RUNDIR=os.path.join(work, "run"), TERVAN_NO_WAIT="1",
                        BIN=bin_dir)
        self.sim = None
        self.mnt = os.path.join(work, "mnt")
        self.mount_proc = None
        os.mkdir(self.mnt)

    def run(self, *args, check_rc=True, **kw):
        r = subprocess.run(args, env=self.env, cwd=self.work, capture_output=True, **kw)
        if check_rc and r.returncode != 0:
            raise Failure(f"{args[0]} exited {r.returncode}: {r.stdout!r} {r.stderr!r}")
        return r

    def start_sim(self, *extra):
        """Starts zelsim on the state folder and waits until it serves."""
        name = os.path.join(self.work, "zelsim.log")
        start = os.path.getsize(name) if os.path.exists(name) else 0
        with open(name, "ab") as log:
            self.sim = subprocess.Popen([os.path.join(self.bin, "zelsim"), "--state", "state",
                                         "--disks", "1", *extra], env=self.env, cwd=self.work,
                                        stderr=log)
        while True:
            with open(name, "rb") as f:
                f.seek(start)
                if b"zelsim: serving" in f.read():
                    return
            if self.sim.poll() is not None:
                raise Failure("zelsim did not start")
            time.sleep(0.05)

    def stop_sim(self, sig=signal.SIGTERM):
        if self.sim:
            self.sim.send_signal(sig)
            self.sim.wait()
            self.sim = None

    def tervan(self, batch, check_rc=True):
        path = os.path.join(self.work, "job.bat")
        with open(path, "w") as f:
            f.write(batch)
        return self.run(os.path.join(self.bin, "Tervan"), "-B" + path, check_rc=check_rc)

    def format(self):
        self.tervan("PART do -Y\nFORMAT\n")

    def mount(self, *opts):
        # SIGINT as at a terminal (a test runner may have it ignored).
        self.mount_proc = subprocess.Popen([os.path.join(self.bin, "zelmount"), "-f", *opts,
                                            self.mnt], env=self.env, cwd=self.work,
                                           stderr=subprocess.PIPE,
                                           preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                                            signal.SIG_DFL))
        while not os.path.ismount(self.mnt):
            if self.mount_proc.poll() is not None:
                raise Failure("zelmount ended: " + self.mount_proc.stderr.read().decode())
            time.sleep(0.02)

    def unmount(self):
        if not self.mount_proc:
            return
        subprocess.run(["fusermount3", "-u", self.mnt], check=True)
        rc = self.mount_proc.wait()
        self.mount_proc = None
        check(rc == 0, f"zelmount ended with status {rc} after fusermount3 -u")

    def kill_mount(self):
        self.mount_proc.kill()
        self.mount_proc.wait()
        self.mount_proc = None
        subprocess.run(["fusermount3", "-u", "-z", self.mnt], capture_output=True)

    def disk_images(self, written=None):
        """The device's disk read out of zelsim's NAND file: partition images
        part1.img ... in the work folder, each passing fsck.fat -n. With
        written (a file name), what a kill during that file's commit may
        leave is allowed too, and nothing else: the clusters of its first
        chain that no entry names yet (reclaimed), or its chain longer than
        its size (the size is kept: every committed byte is there)."""
        if written is None:
            r = subprocess.run(["bash", os.path.join(self.e2e, "fsck_disk.sh"), "state/disk0.nand"],
                               env=self.env, cwd=self.work, capture_output=True, text=True)
            check(r.returncode == 0, "fsck of the device's disk: " + r.stdout + r.stderr)
            return
        self.run(os.path.join(self.bin, "nand_disk"), "state/disk0.nand", "disk.img")
        table = self.run("sfdisk", "-d", "disk.img").stdout.decode()
        n = 0
        for m in re.finditer(r"start=\s*(\d+), size=\s*(\d+), type=([0-9a-f]+)", table):
            if m.group(3) not in ("1", "4", "6", "e"):
                continue
            n += 1
            self.run("dd", "if=disk.img", f"of=part{n}.img", "bs=512", f"skip={m.group(1)}",
                     f"count={m.group(2)}", "status=none")
            out = self.run("fsck.fat", "-n", f"part{n}.img", check_rc=False).stdout.decode()
            plain = [r"fsck\.fat .*", r".* files, .*", r"", r"Label '' stored in boot sector is not valid\.",
                     r"  Auto-removing label from boot sector\.", r"Leaving filesystem unchanged\.",
                     r"Reclaimed \d+ unused clusters \(\d+ bytes\)\."]
            lines = out.splitlines()
            for i, line in enumerate(lines):
                if line == "/" + written:
                    # Exactly: the chain is longer than the entry's size,
                    # and the size stays.
                    m = re.fullmatch(r"  File size is (\d+) bytes, cluster chain length is > \d+ bytes\.",
                                     lines[i + 1] if i + 1 < len(lines) else "")
                    check(m is not None and i + 2 < len(lines) and
                          lines[i + 2] == f"  Truncating file to {m.group(1)} bytes.",
                          f"fsck.fat -n of partition {n} after a kill: {out}")
                elif not (i > 0 and lines[i - 1] == "/" + written) and \
                        not (i > 1 and lines[i - 2] == "/" + written):
                    check(any(re.fullmatch(a, line) for a in plain),
                          f"fsck.fat -n of partition {n} after a kill: {out}")
        os.unlink(os.path.join(self.work, "disk.img"))

    def mtools_tree(self, image):
        """{path: bytes} of every file of a partition image, read by mtools.
        mtools takes the names' bytes as code page 850 (its default): the
        names it prints are turned back into their GBK bytes here."""
        env = dict(self.env, LC_ALL="C.UTF-8")
        r = subprocess.run(["mdir", "-i", image, "-/", "-b", "::"], env=env, capture_output=True)
        files = {}
        for line in r.stdout.decode("utf-8").splitlines():
            shown = line.strip()
            if not shown.startswith("::/") or shown.endswith("/"):
                continue
            data = subprocess.run(["mtype", "-i", image, shown], env=env, capture_output=True,
                                  check=True).stdout
            files[shown[3:].encode("cp850").decode("gbk")] = data
        return files

    def close(self):
        try:
            if self.mount_proc:
                self.kill_mount()
            for folder in ("mnt", "mnt2"):  # a mount that a failed check left behind
                path = os.path.join(self.work, folder)
                if os.path.ismount(path):
                    subprocess.run(["fusermount3", "-u", "-z", path], capture_output=True)
        finally:
            self.stop_sim()


def tree(root):
    """{relative path: bytes or None for a folder} below root."""
    out = {}
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        for n in dirs:
            out[os.path.normpath(os.path.join(rel, n))] = None
        for n in files:
            with open(os.path.join(d, n), "rb") as f:
                out[os.path.normpath(os.path.join(rel, n))] = f.read()
    return out


def outcome(fn):
    try:
        fn()
        return 0
    except OSError as e:
        return e.errno


# ---- random operations ---------------------------------------------------------

NAMES = ["A.TXT", "B", "DATA.BIN", "LONGNAM1.DAT", "中文.TXT", "目录", "X1", "Y.Z"]


def random_case(rig, seed, steps):
    rng = random.Random(seed)
    ref = os.path.join(rig.work, "ref")
    os.mkdir(ref)
    rig.mount()
    mnt_c = os.path.join(rig.mnt, "C")
    held = {}  # name of an open file -> (mount fd, reference fd)

    def folders():
        return [""] + sorted(p for p, v in tree(ref).items() if v is None)

    def files():
        return sorted(p for p, v in tree(ref).items() if v is not None)

    def pick_path(kinds):
        choices = []
        if "file" in kinds:
            choices += files()
        if "dir" in kinds:
            choices += folders()[1:]
        if "new" in kinds or not choices:
            base = rng.choice(folders())
            if base.count("/") < 2:
                choices.append(os.path.join(base, rng.choice(NAMES)))
        return rng.choice(choices) if choices else rng.choice(NAMES)

    def both(what, fn):
        a = outcome(lambda: fn(mnt_c))
        b = outcome(lambda: fn(ref))
        check(a == b, f"step {step} {what}: mount {errno.errorcode.get(a, a)}, "
                      f"reference {errno.errorcode.get(b, b)}")

    def write_at(root, p, off, data):
        fd = os.open(os.path.join(root, p), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            os.pwrite(fd, data, off)
        finally:
            os.close(fd)

    def truncate(root, p, n):
        os.truncate(os.path.join(root, p), n)

    def fsync_write(root, p, data):
        fd = os.open(os.path.join(root, p), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            os.write(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)

    def close_held():
        for fds in held.values():
            for fd in fds:
                os.close(fd)
        held.clear()

    for step in range(steps):
        op = rng.choices(["write", "trunc", "rename", "mkdir", "rmdir", "unlink", "fsync",
                          "held", "remount"], [30, 10, 10, 8, 5, 8, 5, 8, 1])[0]
        if op == "write":
            p = pick_path(("file", "new"))
            size = len(tree(ref).get(p) or b"")
            off = rng.choice([0, size, rng.randrange(size + 1), size + rng.randrange(9000)])
            n = rng.choice([1, 511, 512, 4096, rng.randrange(70000), rng.randrange(300000)])
            data = rng.randbytes(n)
            both(f"write {p} at {off} ({n} bytes)", lambda r: write_at(r, p, off, data))
        elif op == "trunc":
            p = pick_path(("file",))
            n = rng.choice([0, 1, rng.randrange(5000), rng.randrange(200000)])
            both(f"truncate {p} to {n}", lambda r: truncate(r, p, n))
        elif op == "rename":
            a, b = pick_path(("file", "dir")), pick_path(("file", "dir", "new"))
            # A held file may move (its descriptor follows it); what it
            # would replace or a folder around it may not (EBUSY, ENOENT).
            if any(k.startswith(a + "/") or k == b or k.startswith(b + "/") for k in held):
                continue
            both(f"rename {a} {b}", lambda r: os.rename(os.path.join(r, a), os.path.join(r, b)))
            if a in held and not os.path.exists(os.path.join(ref, a)):
                held[b] = held.pop(a)
        elif op == "mkdir":
            p = pick_path(("new",))
            both(f"mkdir {p}", lambda r: os.mkdir(os.path.join(r, p)))
        elif op == "rmdir":
            p = pick_path(("dir",))
            both(f"rmdir {p}", lambda r: os.rmdir(os.path.join(r, p)))
        elif op == "unlink":
            p = pick_path(("file",))
            if p in held:
                continue  # the mount refuses to unlink an open file (EBUSY)
            both(f"unlink {p}", lambda r: os.unlink(os.path.join(r, p)))
        elif op == "fsync":
            p = pick_path(("file", "new"))
            if p in held:
                continue
            data = rng.randbytes(rng.randrange(20000))
            both(f"fsync {p}", lambda r: fsync_write(r, p, data))
        elif op == "held":
            # A file kept open across steps, written at offsets through one
            # descriptor (its size grows under the same handle).
            if held and rng.random() < 0.3:
                close_held()
            elif not held:
                p = pick_path(("file",))
                if tree(ref).get(p, None) is None:
                    continue
                held[p] = (os.open(os.path.join(mnt_c, p), os.O_RDWR),
                           os.open(os.path.join(ref, p), os.O_RDWR))
            else:
                p, (fm, fr) = next(iter(held.items()))
                if tree(ref).get(p) is None:  # moved under a name that is now a folder's
                    continue
                off = rng.randrange(len(tree(ref)[p]) + 3000)
                data = rng.randbytes(rng.randrange(6000))
                os.pwrite(fm, data, off)
                os.pwrite(fr, data, off)
                check(os.pread(fm, 1 << 20, 0) == os.pread(fr, 1 << 20, 0),
                      f"step {step}: held file {p} reads back differently")
        elif op == "remount":
            close_held()
            rig.unmount()
            rig.mount()
        got, want = tree(mnt_c), tree(ref)
        if got != want:
            diff = sorted(set(got) ^ set(want)) or [k for k in got if got[k] != want[k]]
            raise Failure(f"step {step} ({op}): the mount differs from the reference at {diff[:5]}")
    close_held()
    rig.unmount()
    rig.disk_images()
    want = {k.replace(os.sep, "/"): v for k, v in tree(ref).items() if v is not None}
    got = rig.mtools_tree(os.path.join(rig.work, "part1.img"))
    check(got == want, f"mtools reads {sorted(got)[:5]}..., the reference holds {sorted(want)[:5]}...")
    print(f"{steps} random steps (seed {seed}): {len(want)} files the same through mtools")


# ---- trees, refusals, one client, full device, a device that goes away ------

def make_tree(root, rng):
    """A PC tree with Chinese and ASCII 8.3 names (upper case, as the device
    lists them), a few sizes around sector and cluster edges."""
    layout = {"README.TXT": 0, "中文.TXT": 5000, "资料/数据.BIN": 70000, "资料/空.TXT": 0,
              "资料/子目录/表格.CSV": 512, "资料/子目录/BIG.DAT": 1 << 20, "EMPTYDIR": None,
              "目录/文/字.A": 2049}
    for rel, size in layout.items():
        path = os.path.join(root, rel)
        if size is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
        os.utime(path, (1600000000, 1600000000 + rng.randrange(10 ** 6) * 2))
    os.chmod(os.path.join(root, "中文.TXT"), 0o444)  # the read-only attribute, copied in and out


def same_tree(a, b, what, times=False):
    """The same names and bytes; with times, the same write bits and
    modification times (to FAT's 2 s) of the files too."""
    ta, tb = tree(a), tree(b)
    check(ta == tb, f"{what}: {sorted(set(ta) ^ set(tb)) or 'contents differ'}")
    if times:
        for rel, v in ta.items():
            if v is not None:
                sa, sb = os.stat(os.path.join(a, rel)), os.stat(os.path.join(b, rel))
                check(abs(sa.st_mtime - sb.st_mtime) <= 2,
                      f"{what}: {rel} time {sa.st_mtime} became {sb.st_mtime}")
                check(bool(sa.st_mode & 0o200) == bool(sb.st_mode & 0o200),
                      f"{what}: {rel} mode {sa.st_mode:o} became {sb.st_mode:o}")


def expect_errno(want, fn, what):
    got = outcome(fn)
    check(got == want, f"{what}: {errno.errorcode.get(got, got)}, not {errno.errorcode[want]}")


def trees_case(rig):
    rng = random.Random(7)
    src = os.path.join(rig.work, "src")
    make_tree(src, rng)
    rig.mount()
    c, e = os.path.join(rig.mnt, "C"), os.path.join(rig.mnt, "E")
    check(sorted(os.listdir(rig.mnt)) == ["C", "E"], f"the mount's root lists {os.listdir(rig.mnt)}")
    # cp -a and rsync -a in and out, byte for byte (times to FAT's 2 s).
    rig.run("cp", "-a", src, os.path.join(c, "CP"))
    same_tree(src, os.path.join(c, "CP"), "cp -a into the mount", times=True)
    # rsync writes a temporary ".NAME.XXXXXX" beside each file by default, a
    # name no 8.3 folder holds: --inplace writes the files themselves.
    rig.run("rsync", "-a", "--inplace", src + "/", os.path.join(c, "RS") + "/")
    same_tree(src, os.path.join(c, "RS"), "rsync -a --inplace into the mount", times=True)
    rig.run("rsync", "-a", os.path.join(c, "RS") + "/", os.path.join(rig.work, "rsout") + "/")
    same_tree(src, os.path.join(rig.work, "rsout"), "rsync -a out of the mount", times=True)
    rig.run("cp", "-a", os.path.join(c, "CP"), os.path.join(rig.work, "cpout"))
    same_tree(src, os.path.join(rig.work, "cpout"), "cp -a out of the mount", times=True)
    # A second rsync finds nothing to do (FAT keeps times to 2 s, which
    # rsync allows for with --modify-window=1).
    out = rig.run("rsync", "-a", "--inplace", "--modify-window=1", "-i", src + "/", os.path.join(c, "RS") + "/").stdout
    check(out.strip() == b"", f"a second rsync still copies: {out[:200]!r}")

    # Names: looked up in any ASCII case; refused, never changed to fit.
    with open(os.path.join(c, "CP", "readme.txt"), "rb") as f:
        f.read()
    with open(os.path.join(c, "lower.txt"), "w") as f:
        f.write("x")
    check("LOWER.TXT" in os.listdir(c), "a lower-case name is not kept upper-case")
    for name, want in [("TOOLONGNAME.TXT", errno.ENAMETOOLONG), ("A.TEXT", errno.ENAMETOOLONG),
                       ("中文名字很长.TXT", errno.ENAMETOOLONG), ("A B.TXT", errno.EINVAL),
                       (".HIDDEN", errno.EINVAL), ("A.B.C", errno.EINVAL), ("Q?.TXT", errno.EINVAL),
                       ("😀.TXT", errno.EINVAL)]:
        expect_errno(want, lambda: open(os.path.join(c, name), "w").close(), f"create {name}")
        expect_errno(want, lambda: os.mkdir(os.path.join(c, name)), f"mkdir {name}")
        check(not os.path.exists(os.path.join(c, name)), f"{name} is there after its refusal")
    expect_errno(errno.ENAMETOOLONG, lambda: os.rename(os.path.join(c, "LOWER.TXT"),
                                                       os.path.join(c, "LONGERNAME")), "rename to 9 bytes")
    # A new file in a folder is there while it is written, before its first
    # commit writes its entry: listed, stat'ed, opened again, and taken.
    new = os.path.join(c, "CP", "资料", "NEW.TXT")
    fd = os.open(new, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        os.write(fd, b"unborn")
        check("NEW.TXT" in os.listdir(os.path.dirname(new)), "a new open file is not listed")
        check(os.stat(new.replace("NEW", "new")).st_size == 6, "a new open file's size is not shown")
        with open(new, "rb") as f:
            check(f.read() == b"unborn", "a new open file reads back differently")
        expect_errno(errno.EEXIST, lambda: os.close(os.open(new, os.O_WRONLY | os.O_CREAT | os.O_EXCL)),
                     "O_EXCL create of a new open file")
        os.write(fd, b" and more")
    finally:
        os.close(fd)
    with open(new, "rb") as f:
        check(f.read() == b"unborn and more", "a new file reads back differently after its close")
    os.unlink(new)
    # Read-ahead: a file read, its neighbour rewritten and read again shows
    # the new bytes, not those read ahead.
    sub = os.path.join(c, "CP", "资料", "子目录")
    with open(os.path.join(sub, "表格.CSV"), "rb") as f:
        f.read()
    with open(os.path.join(sub, "BIG.DAT"), "r+b") as f:
        f.write(b"rewritten")
    with open(os.path.join(sub, "BIG.DAT"), "rb") as f:
        check(f.read(9) == b"rewritten", "a file read back shows bytes read ahead before its write")
    with open(os.path.join(src, "资料", "子目录", "BIG.DAT"), "r+b") as f:
        f.write(b"rewritten")  # the tree stays the same as the mount's
    # A small file comes with its open (its bytes go into the kernel's page
    # cache), but never over a writer's mapping: bytes written through a
    # shared mapping and not yet written back read the same through another
    # open, and are on the device once the mapping is gone.
    mapped = os.path.join(c, "MAPPED.BIN")
    with open(mapped, "wb") as f:
        f.write(b"old bytes " * 100)
    with open(mapped, "r+b") as f:
        m = mmap.mmap(f.fileno(), 0)
    m[:9] = b"new bytes"
    with open(mapped, "rb") as f:
        check(f.read(9) == b"new bytes", "an open for reading put the device's bytes over a mapping's")
    m.close()
    rig.unmount()
    rig.mount()
    with open(mapped, "rb") as f:
        check(f.read() == b"new bytes " + b"old bytes " * 99, "a mapping's bytes are not on the device")
    os.unlink(mapped)

    # What FAT cannot hold: links, special files, owners; moves across partitions.
    f = os.path.join(c, "LOWER.TXT")
    expect_errno(errno.EPERM, lambda: os.symlink("LOWER.TXT", os.path.join(c, "LN")), "symlink")
    expect_errno(errno.EPERM, lambda: os.link(f, os.path.join(c, "HARD")), "link")
    expect_errno(errno.EPERM, lambda: os.mkfifo(os.path.join(c, "FIFO")), "mkfifo")
    expect_errno(errno.EPERM, lambda: os.chown(f, 12345, 12345), "chown")
    expect_errno(errno.EXDEV, lambda: os.rename(f, os.path.join(e, "LOWER.TXT")), "rename C -> E")
    with open(f, "rb"):
        expect_errno(errno.EBUSY, lambda: os.unlink(f), "unlink of an open file")
    # The read-only attribute is the write bits.
    os.chmod(f, 0o444)
    check(os.stat(f).st_mode & 0o222 == 0, "chmod a-w left write bits")
    expect_errno(errno.EACCES, lambda: open(f, "w"), "opening a read-only file for writing")
    os.chmod(f, 0o644)
    open(f, "a").close()

    # One client per device, whichever comes first.
    r = rig.tervan("DIR\n", check_rc=False)
    check(r.returncode != 0 and str(rig.mount_proc.pid).encode() in r.stdout + r.stderr,
          f"Tervan was not refused while mounted, or the holder not named: {r.stdout!r}")
    second = os.path.join(rig.work, "mnt2")
    os.mkdir(second)
    r = rig.run(os.path.join(rig.bin, "zelmount"), second, check_rc=False)
    check(r.returncode != 0 and str(rig.mount_proc.pid).encode() in r.stderr,
          f"a second zelmount was not refused with the holder named: {r.stderr!r}")
    check(not os.path.ismount(second), "a second zelmount mounted")
    rig.unmount()
    # A Tervan session holds the device: zelmount is refused.
    tervan = subprocess.Popen([os.path.join(rig.bin, "Tervan")], env=rig.env, cwd=rig.work,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    try:
        # Tervan takes the device's lock first thing (a flock, listed in /proc/locks).
        while not any(f" {tervan.pid} " in line for line in open("/proc/locks")):
            check(tervan.poll() is None, "Tervan ended at start-up")
            time.sleep(0.02)
        r = rig.run(os.path.join(rig.bin, "zelmount"), second, check_rc=False)
        check(r.returncode != 0 and str(tervan.pid).encode() in r.stderr,
              f"zelmount was not refused while Tervan holds the device: {r.stderr!r}")
    finally:
        tervan.communicate(b"EXIT\n")

    # A full device: ENOSPC, and every earlier file intact.
    rig.mount()
    big = rng.randbytes(12 << 20)
    kept = []
    for i in range(10):
        path = os.path.join(e, f"FILL{i}.BIN")
        got = outcome(lambda: open(path, "wb").write(big))
        if got:
            check(got == errno.ENOSPC, f"filling E: {errno.errorcode.get(got, got)}, not ENOSPC")
            break
        kept.append(path)
    else:
        raise Failure("E never filled up")
    check(len(kept) >= 1, "not even one file fitted on E")
    for path in kept:
        with open(path, "rb") as f:
            check(f.read() == big, f"{path} changed when the device filled up")
    # The failed file keeps what fitted, within the reported size.
    rig.unmount()

    # A device that goes away gives EIO; the mount carries on when it is back.
    rig.mount()
    rig.stop_sim()
    expect_errno(errno.EIO, lambda: open(os.path.join(c, "GONE.TXT"), "w").write("x"),
                 "writing while the device is away")
    rig.start_sim()
    with open(os.path.join(c, "BACK.TXT"), "w") as f:
        f.write("back")
    same_tree(src, os.path.join(c, "CP"), "the tree after the device came back")
    st = os.statvfs(c)
    free_c = st.f_bfree * st.f_frsize
    rig.unmount()
    # -o ro reads and refuses every change; Ctrl-C (SIGINT) with -f unmounts.
    rig.mount("-o", "ro")
    same_tree(src, os.path.join(c, "CP"), "the tree on a read-only mount")
    expect_errno(errno.EROFS, lambda: open(os.path.join(c, "RO.TXT"), "w"), "create on -o ro")
    expect_errno(errno.EROFS, lambda: os.unlink(os.path.join(c, "BACK.TXT")), "unlink on -o ro")
    rig.mount_proc.send_signal(signal.SIGINT)
    rig.mount_proc.wait()
    check(not os.path.ismount(rig.mnt), "Ctrl-C did not unmount")
    rig.mount_proc = None

    rig.disk_images()
    want = {"CP/" + k.replace(os.sep, "/"): v for k, v in tree(src).items() if v is not None}
    got = {k: v for k, v in rig.mtools_tree(os.path.join(rig.work, "part1.img")).items()
           if k.startswith("CP/")}
    check(got == want, "mtools reads the copied tree differently")
    listing = rig.run("mdir", "-i", os.path.join(rig.work, "part1.img"), "::").stdout.decode()
    free = int(listing.split("bytes free")[0].splitlines()[-1].replace(" ", ""))
    check(free == free_c, f"statfs gave {free_c} bytes free on C, mtools counts {free}")
    print("trees, names, refusals, one client, full device and a device that came back: ok")


# ---- kill -9 of zelmount and of zelsim ------------------------------------------

# The busy writer: argv[1] the file, argv[2] the marker it makes once the
# bytes from its standard input are fsynced; then zeros until killed, an
# error, or 40 MiB.
BUSY_WRITER = """
import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
os.write(fd, sys.stdin.buffer.read())
os.fsync(fd)
open(sys.argv[2], "w").close()
for _ in range(640):
    os.write(fd, bytes(65536))
"""


def kill_case(rig):
    rng = random.Random(3)
    closed, synced, busy = rng.randbytes(3 << 20), rng.randbytes(700000), rng.randbytes(1 << 20)
    for victim in ("zelmount", "zelsim"):
        rig.mount()
        c = os.path.join(rig.mnt, "C")
        with open(os.path.join(c, f"CLOSED.{victim[3:6]}"), "wb") as f:
            f.write(closed)
        held = open(os.path.join(c, f"SYNCED.{victim[3:6]}"), "wb")
        held.write(synced)
        held.flush()
        os.fsync(held.fileno())
        # A writer busy when the kill comes: 1 MiB fsynced (which must
        # survive whole), then zeros in 64 KiB writes, neither closed nor
        # fsynced, that may be lost.
        # A new file in a folder written and held open: it is gone after the
        # kill (its entry waited for its first commit) or there whole.
        os.makedirs(os.path.join(c, "SUB"), exist_ok=True)
        young = open(os.path.join(c, "SUB", "YOUNG.BIN"), "wb")
        young.write(synced[:5000])
        young.flush()
        marker = os.path.join(rig.work, "busy.synced")
        writer = subprocess.Popen([sys.executable, "-c", BUSY_WRITER, os.path.join(c, "BUSY.BIN"),
                                   marker], stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
        writer.stdin.write(busy)
        writer.stdin.close()
        while not os.path.exists(marker) or os.path.getsize(os.path.join(c, "BUSY.BIN")) < (2 << 20):
            check(writer.poll() is None, "the busy writer ended early")
            time.sleep(0.01)
        if victim == "zelmount":
            rig.kill_mount()
            writer.wait()
        else:
            rig.stop_sim(signal.SIGKILL)
            writer.wait()
            rig.start_sim()
        for f in (held, young):
            try:
                f.close()
            except OSError:
                pass
        if rig.mount_proc:
            rig.unmount()
        rig.disk_images(written="BUSY.BIN")
        files = rig.mtools_tree(os.path.join(rig.work, "part1.img"))
        check(files.get(f"CLOSED.{victim[3:6].upper()}") == closed, f"kill of {victim}: a closed file changed")
        check(files.get(f"SYNCED.{victim[3:6].upper()}") == synced, f"kill of {victim}: an fsynced file changed")
        check(files.get("SUB/YOUNG.BIN", synced[:5000]) == synced[:5000],
              f"kill of {victim}: a new file held open is there, but not whole")
        left = files.get("BUSY.BIN", b"")
        check(left[:len(busy)] == busy and left[len(busy):] == bytes(len(left) - len(busy)),
              f"kill of {victim}: the busy file lost fsynced bytes ({len(left)} bytes left)")
        os.unlink(marker)
        rig.mount()
        os.unlink(os.path.join(rig.mnt, "C", "BUSY.BIN"))
        rig.unmount()
    # Ctrl-C with a file open and written: zelmount commits it and ends
    # with status 0.
    rig.mount()
    held = open(os.path.join(rig.mnt, "C", "OPEN.BIN"), "wb")
    held.write(closed[:200000])
    held.flush()
    rig.mount_proc.send_signal(signal.SIGINT)
    rc = rig.mount_proc.wait()
    rig.mount_proc = None
    check(rc == 0, f"zelmount ended with status {rc} after Ctrl-C")
    try:
        held.close()
    except OSError:
        pass
    rig.disk_images()
    files = rig.mtools_tree(os.path.join(rig.work, "part1.img"))
    check(files.get("OPEN.BIN") == closed[:200000], "Ctrl-C: the open file is not on the disk whole")
    print("kill -9 of zelmount and of zelsim: closed and fsynced files whole, fsck.fat content; "
          "Ctrl-C: status 0, the open file written")


def main():
    bin_dir, e2e_dir, case = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    if not os.path.exists("/dev/fuse") or not shutil.which("fusermount3"):
        print("skipped: /dev/fuse or fusermount3 is missing, zelmount cannot mount here")
        return SKIP
    work = tempfile.mkdtemp(prefix="tervan-mount.", dir=os.environ.get("TMPDIR"))
    rig = Rig(bin_dir, e2e_dir, work)
    try:
        rig.start_sim()
        rig.format()
        if case == "random":
            seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
            random_case(rig, seed, int(os.environ.get("MOUNT_STEPS", "1500")))
        elif case == "trees":
            trees_case(rig)
        elif case == "kill":
            kill_case(rig)
        else:
            raise Failure("unknown case " + case)
        return 0
    except Failure as e:
        print("FAIL:", e)
        return 1
    finally:
        rig.close()
        if os.environ.get("TERVAN_KEEP_TEST_DIRS", "0") != "0":
            print("work folder kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
