#!/usr/bin/env python3
"""Runs the command examples of one documentation page, so that a doc
example can never break silently.

    run_doc_examples.py BUILD_DIR PAGE.md

The convention (docs/writing-docs.md says the same for writers):

* A fenced block ```sh is a shell script. It runs with bash -e in a fresh
  empty folder, with BUILD_DIR/bin first on PATH, `build` in the folder a
  link to BUILD_DIR (so `build/bin/Tervan` works as in the source tree),
  HOME and XDG_RUNTIME_DIR pointing into the folder (so `~/...` and zelsim's
  socket stay there), TERVAN_NO_WAIT=1 and standard input empty. When the
  block runs Tervan and starts no zelsim itself (comments do not count), a
  zelsim (`zelsim --state zel-state`) is started for it. What the block leaves running in the
  background (`zelsim ... &`) is stopped when it ends.
* The ```bat blocks of a page are Tervan batch files. They run in order,
  each with `Tervan -B`, in one fresh folder against one fresh zelsim
  started for the page, so a page can build on its earlier blocks (PART and
  FORMAT first, then COPY ...). A comment `<!-- setup: COMMANDS -->` right
  before a ```bat block is run with bash in that folder first (to make the
  PC files the batch uses).
* A block (``` sh or bat) passes when it ends with exit status 0 and prints
  neither of Tervan's failure lines ("'X'执行失败, 错误码=N",
  "'X'不是有效的内部命令").
* ```text blocks, blocks of any other language and blocks without one are
  never run. `<!-- not run -->` (or `<!-- not run: why -->`) right before a ```sh
  or ```bat block skips it too (for commands that install packages or
  build the tree).

The folders go under $TMPDIR and are removed at the end, whatever happened
(TERVAN_KEEP_TEST_DIRS=1 keeps them).
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FAILURE_MARKS = ["执行失败, 错误码=", "不是有效的内部命令"]
# A report of the sanitizer build (scripts/sanitize.sh), from any program.
SANITIZER_REPORT = re.compile(r"ERROR: [A-Za-z]*Sanitizer|: runtime error: ")


def blocks(text):
    """(line number, language, body, comments right before) of every fenced
    block that starts at the beginning of a line."""
    lines = text.split("\n")
    comments = []
    i = 0
    while i < len(lines):
        line = lines[i]
        fence = re.match(r"^(```+)\s*([\w-]*)\s*$", line)
        if fence:
            start, body = i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith(fence.group(1)):
                body.append(lines[i])
                i += 1
            yield start, fence.group(2), "\n".join(body) + "\n", comments
            comments = []
        else:
            comment = re.match(r"^\s*<!--\s*(.*?)\s*-->\s*$", line)
            if comment:
                comments.append(comment.group(1))
            elif line.strip():
                comments = []
        i += 1


def setup_of(comments):
    for c in comments:
        if c.startswith("setup:"):
            return c[len("setup:"):].strip()
    return None


def become_subreaper():
    """Background processes of a block whose shell has ended come to us, so
    that we can wait for them (and reap them) before removing their folder."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def stop_group(pgid):
    """Stops what is left of a process group and waits until it is gone;
    the exit statuses other than 0 of the processes it reaped (a background
    zelsim ends with 0 when stopped)."""
    bad = []
    try:
        os.killpg(pgid, signal.SIGTERM)
    except ProcessLookupError:
        return bad
    while True:
        try:
            while True:
                pid, status = os.waitpid(-1, os.WNOHANG)
                if pid == 0:
                    break
                if os.WIFEXITED(status) and os.WEXITSTATUS(status) != 0:
                    bad.append(os.WEXITSTATUS(status))
        except ChildProcessError:
            pass
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return bad
        time.sleep(0.05)


class Folder:
    """A fresh folder under $TMPDIR, removed at the end unless kept."""

    def __init__(self, build):
        self.path = tempfile.mkdtemp(prefix="tervan-doc-")
        os.symlink(build, os.path.join(self.path, "build"))

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        if os.environ.get("TERVAN_KEEP_TEST_DIRS", "0") not in ("", "0"):
            print("test folder kept:", self.path)
        else:
            shutil.rmtree(self.path, ignore_errors=True)


class Runner:
    def __init__(self, build):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.failures = 0

    def env(self, folder):
        env = dict(os.environ)
        env["PATH"] = self.bin + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        env["HOME"] = folder
        env["XDG_RUNTIME_DIR"] = folder
        env.pop("TERVAN_RUNDIR", None)
        env["TERVAN_NO_WAIT"] = "1"
        env["LANG"] = "C.UTF-8"
        env.pop("LC_ALL", None)
        return env

    def run(self, args, folder):
        """Runs args in a process group of its own and stops what it left
        running; (status, output). The output goes to a file, not a pipe, so
        that a background process holding it does not keep us waiting."""
        with tempfile.TemporaryFile() as out:
            p = subprocess.Popen(args, cwd=folder, env=self.env(folder), stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            p.wait()
            bad = stop_group(p.pid)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
            if bad:
                text += "\n(a background process ended with exit status %s)\n" % bad
            return (p.returncode or (1 if bad else 0)), text

    def start_zelsim(self, folder):
        """Starts zelsim in the folder and waits until it serves its socket
        (no deadline: a busy machine is slow, not wrong)."""
        log = open(os.path.join(folder, "zelsim.log"), "w")
        sim = subprocess.Popen([os.path.join(self.bin, "zelsim"), "--state", os.path.join(folder, "zel-state")],
                               cwd=folder, env=self.env(folder), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        socket = os.path.join(folder, "tervan-%d" % os.getuid(), "lexon0")
        while not os.path.exists(socket):
            if sim.poll() is not None:
                raise RuntimeError("zelsim did not start: " + open(log.name).read())
            time.sleep(0.05)
        sim.log_path = log.name
        return sim

    def stop_zelsim(self, page, line, sim):
        """Stops the zelsim started for a block or a page: it must end with
        status 0 and no report in its log."""
        if not sim:
            return
        if sim.poll() is None:
            sim.terminate()
        status = sim.wait()
        with open(sim.log_path, encoding="utf-8", errors="replace") as f:
            log = f.read()
        if status != 0 or SANITIZER_REPORT.search(log):
            self.failures += 1
            print("%s:%d: the zelsim of the block ended with exit status %d\n---- its log\n%s----"
                  % (page, line, status, log))

    def report(self, page, line, kind, body, status, out):
        failed = status != 0 or any(m in out for m in FAILURE_MARKS) or SANITIZER_REPORT.search(out)
        print("%s:%d: ```%s block %s (exit status %d)" % (page, line, kind, "FAILED" if failed else "ok", status))
        if failed:
            self.failures += 1
            print("---- the block\n" + body + "---- what it printed\n" + out + "----")

    def sh(self, page, line, body):
        with Folder(self.build) as folder:
            sim = None
            code = re.sub(r"(^|\s)#.*", "", body, flags=re.M)  # without the comments
            if re.search(r"\bTervan\b", code) and not re.search(r"\bzelsim\b", code):
                sim = self.start_zelsim(folder)
            try:
                status, out = self.run(["bash", "-e", "-c", body], folder)
            finally:
                self.stop_zelsim(page, line, sim)
            self.report(page, line, "sh", body, status, out)

    def bat_page(self, page, bats):
        with Folder(self.build) as folder:
            sim = self.start_zelsim(folder)
            try:
                for n, (line, body, setup) in enumerate(bats):
                    out = ""
                    status = 0
                    if setup:
                        status, out = self.run(["bash", "-e", "-c", setup], folder)
                    if status == 0:
                        name = "example%d.bat" % (n + 1)
                        with open(os.path.join(folder, name), "w") as f:
                            f.write(body)
                        status, more = self.run(["Tervan", "-B" + os.path.join(folder, name)], folder)
                        out += more
                    self.report(page, line, "bat", (("<!-- setup: %s -->\n" % setup) if setup else "") + body,
                                status, out)
            finally:
                self.stop_zelsim(page, bats[0][0], sim)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: run_doc_examples.py BUILD_DIR PAGE.md")
    build, page = os.path.abspath(sys.argv[1]), sys.argv[2]
    become_subreaper()
    runner = Runner(build)
    bats, ran = [], 0
    name = os.path.basename(page)
    with open(page, encoding="utf-8") as f:
        text = f.read()
    for line, kind, body, comments in blocks(text):
        if kind not in ("sh", "bat"):
            continue
        if any(c.startswith("not run") for c in comments):
            print("%s:%d: ```%s block not run (marked)" % (name, line, kind))
            continue
        ran += 1
        if kind == "sh":
            runner.sh(name, line, body)
        else:
            bats.append((line, body, setup_of(comments)))
    if bats:
        runner.bat_page(name, bats)
    print("%s: %d block(s) run, %d failed" % (name, ran, runner.failures))
    sys.exit(1 if runner.failures else 0)


if __name__ == "__main__":
    main()
