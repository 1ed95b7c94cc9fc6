"""One round: a folder of its own, the LUN files, the targets, the work in order with its events
from outside (the target paused or killed and restarted, a signal to the process), and the checks
that hold across the work: after each piece every LUN holds what it must, the targets are back to
the threads and sockets they had, and at the end no process or socket of the round is left."""
import atexit
import functools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import traceback
from pathlib import Path

from . import work
from .lun import Lun
from .plan import SIGNAL_BOUND, TARGET_STOP_BOUND, draw
from .procs import Findings, Proc, check_end, stacks

TCP_LIVE_STATES = {"01": "ESTABLISHED", "08": "CLOSE_WAIT", "0A": "LISTEN"}
IDLE_WAIT = 5.0                    # seconds a target may take to let go of a finished session
TARGET_RSS_SLACK_KIB = 64 * 1024   # a target's resident memory may grow this much over a round


SANITIZER_SLOWDOWN = 3  # bounds of a sanitizer build's programs are this many times longer


@functools.lru_cache(maxsize=None)
def sanitizer_environment(quevi):
    """For a sanitizer build: what nbdkit needs to load the instrumented plugin (the runtime
    preloaded, and the options the transport builds into the program given to nbdkit), else
    None."""
    try:
        libs = subprocess.run(["ldd", quevi], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"lib(asan|tsan)\.so\S* => (\S+)", libs)
    if not m:
        return None
    env = {"LD_PRELOAD": m.group(2)}
    if m.group(1) == "asan":
        env["ASAN_OPTIONS"] = "detect_leaks=0:intercept_send=0"
    else:
        # The build's suppression for nbdkit (what a sendmsg reads), and glibc freeing the dynamic
        # TLS of a finished nbdkit thread (the plugin's thread_local buffers): the thread checker
        # does not order a thread's TLS destructors before that free (google/sanitizers#414).
        supp = os.path.join(tempfile.gettempdir(), f"quevi-soak-{os.getpid()}-nbdkit-tsan.supp")
        with open(supp, "w") as f:
            f.write("race:sendmsg\nrace:_dl_deallocate_tls\n")
        atexit.register(lambda: os.path.exists(supp) and os.remove(supp))
        env["TSAN_OPTIONS"] = f"suppressions={supp}"
    return env


class Target:
    """A `quevi target` process over the round's LUN files, restartable on the same port."""

    def __init__(self, rnd, index, luns):
        self.rnd, self.index, self.luns = rnd, index, luns
        # Targets on one address are told apart by their names, as iSCSI names a target.
        self.name = "quevi-target" if index == 0 else f"quevi-target-{index}"
        self.port = 0
        self.starts = 0
        self.proc = None
        self.baseline = None   # (threads, sockets) once serving
        self.rss_first = None

    def start(self):
        argv = [self.rnd.quevi, "target", "--listen", f"127.0.0.1:{self.port}", "--name", self.name]
        for lun in self.luns:
            argv += ["--lun", str(lun.path)]
        argv += self.rnd.plan.target_args
        for attempt in range(40):  # a restart may find its port still held for a moment
            name = f"target-{self.index}" + (f"-{self.starts}" if self.starts else "")
            self.starts += 1
            self.proc = Proc(name, argv, self.rnd.folder, self.rnd.log)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.alive() and "listening" not in self.proc.stdout():
                time.sleep(0.02)
            line = self.proc.stdout()
            if "listening" in line:
                self.port = int(line.split()[1].rsplit(":", 1)[1])
                self.rnd.ports.add(self.port)
                time.sleep(0.05)
                self.baseline = (self.proc.threads(), self.proc.sockets())
                return True
            self.proc.kill()
            if self.port == 0 or attempt == 39:
                break
            time.sleep(0.25)
        self.rnd.findings.add("target", f"target {self.index} did not start on port {self.port}: "
                                        f"{self.proc.stderr().strip()[-300:]}")
        self.proc = None
        return False

    def pause(self, seconds):
        if self.proc is None:
            return
        pid = self.proc.pid
        self.rnd.log(f"target {self.index}: SIGSTOP for {seconds:.1f} s")
        os.kill(pid, signal.SIGSTOP)
        time.sleep(seconds)
        os.kill(pid, signal.SIGCONT)
        self.rnd.log(f"target {self.index}: SIGCONT")

    def restart(self, down):
        self.rnd.log(f"target {self.index}: SIGKILL, restart in {down:.1f} s")
        if self.proc is None:
            return
        self.proc.kill()
        time.sleep(down)
        self.start()

    def idle(self):
        """Back to the threads and sockets it had once serving, within IDLE_WAIT seconds."""
        if self.baseline is None or self.proc is None or not self.proc.alive():
            return
        deadline = time.monotonic() + IDLE_WAIT
        while True:
            now = (self.proc.threads(), self.proc.sockets())
            if None in now or (now[0] <= self.baseline[0] and now[1] <= self.baseline[1]):
                break
            if time.monotonic() > deadline:
                self.rnd.findings.add("growth", f"target {self.index} keeps {now[0]} threads and "
                                                f"{now[1]} sockets (serving with {self.baseline[0]} "
                                                f"and {self.baseline[1]}) {IDLE_WAIT} s after its initiators ended")
                self.baseline = now  # report each growth once
                break
            time.sleep(0.05)
        rss = self.proc.rss_kib()
        if self.rss_first is None:
            self.rss_first = rss
        elif rss is not None and rss > self.rss_first + TARGET_RSS_SLACK_KIB:
            self.rnd.findings.add("growth", f"target {self.index} resident memory grew from "
                                            f"{self.rss_first} KiB to {rss} KiB")
            self.rss_first = rss

    def stop(self):
        if self.proc is None:
            return
        self.proc.send(signal.SIGTERM)
        bound = time.monotonic() - self.proc.started + TARGET_STOP_BOUND
        self.proc.wait(bound, self.rnd.findings, self.rnd.log_path, signal_bound=TARGET_STOP_BOUND * self.rnd.slow)
        check_end(self.proc, self.rnd.findings, accounting=False)


class Events:
    """A process of the work and, at their drawn moments, the event from outside on target 0
    and the signal to the process."""

    def __init__(self, rnd, name, argv, w, env):
        self.rnd, self.w = rnd, w
        self.proc = Proc(name, argv, rnd.folder, rnd.log, env=env)
        self.thread = threading.Thread(target=self._events, daemon=True)
        self.thread.start()

    def _sleep_until(self, at):
        while time.monotonic() - self.proc.started < at:
            if not self.proc.alive():
                return False
            time.sleep(0.02)
        return True

    def _events(self):
        w, target = self.w, self.rnd.targets[0]
        todo = sorted([(w.outside_at, "outside")] * bool(w.outside) + [(w.signal_at, "signal")] * bool(w.signal))
        for at, what in todo:
            if not self._sleep_until(at):
                self.rnd.log(f"{self.proc.name} ended before its {what} event at {at:.2f} s")
                return
            if what == "signal":
                # Unless the work's ordinary end (an export's SIGTERM) came first: a second signal
                # would end the program at once by design, and skip the end to be checked.
                if not self.proc.send(signal.SIGINT if w.signal == "sigint" else signal.SIGTERM, first=True):
                    self.rnd.log(f"{self.proc.name} is ending already; no {w.signal} at {at:.2f} s")
                    return
            elif w.outside == "pause":
                target.pause(w.outside_for)
            else:
                target.restart(w.outside_for)

    def finish(self, bound):
        self.proc.wait(bound, self.rnd.findings, self.rnd.log_path, SIGNAL_BOUND * self.rnd.slow)
        self.thread.join()
        return self.proc


class Round:
    def __init__(self, seed, build, keep):
        self.seed = seed
        self.plan = draw(seed)
        self.quevi = str(Path(build).resolve() / "quevi")
        self.env = dict(os.environ, QUEVI_ACCOUNTING="1")
        sanitizer = sanitizer_environment(self.quevi)
        self.nbd_env = dict(self.env, **(sanitizer or {}))
        self.slow = SANITIZER_SLOWDOWN if sanitizer else 1
        self.keep = keep
        self.folder = tempfile.mkdtemp(prefix=f"quevi-soak-{seed}-")
        self.log_path = os.path.join(self.folder, "round.log")
        self.findings = Findings(self.log)
        self.ports = set()
        self.luns, self.targets = [], []
        self.log(f"round {seed}: {self.plan.describe()}")
        for w in self.plan.work:
            self.log(f"  work {w}")

    def log(self, text):
        with open(self.log_path, "a") as f:
            f.write(f"{time.strftime('%H:%M:%S')} {text}\n")

    def url(self, i):
        lun = self.luns[i]
        target = self.targets[lun.target]
        return f"quevi://127.0.0.1:{target.port}/{target.name}/{lun.number}"

    def lun_of(self, target, number):
        return next(l for l in self.luns if l.target == target and l.number == number)

    def bound(self, w):
        return self.plan.bound(w) * self.slow

    def start_with_events(self, name, argv, w):
        return Events(self, name, argv, w, self.nbd_env)

    def run_with_events(self, name, argv, w):
        return Events(self, name, argv, w, self.env).finish(self.bound(w))

    @staticmethod
    def usage(proc):
        """(threads of its own, driver threads, resident KiB) of a process hosting the driver."""
        total, driver, rss = proc.threads(), proc.driver_threads(), proc.rss_kib()
        return None if None in (total, driver, rss) else (total - driver, driver, rss)

    def check_settles(self, proc, before, what, rss_slack_kib):
        """A process hosting the driver that outlives its clients (the NBD export) is back to
        the threads of its own it had before them, within IDLE_WAIT; its driver has at most the
        threads a session may have (the message handler, the command thread, a receive thread
        per connection, a busy timer and a reconnection); its memory stays within a slack."""
        driver_most = 4 + self.plan.connections
        deadline = time.monotonic() + IDLE_WAIT
        while True:
            after = self.usage(proc)
            if before is None or after is None:
                return
            settled = after[0] <= before[0] and after[1] <= driver_most
            if settled or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        if after[0] > before[0]:
            self.findings.add("growth", f"{what}: {after[0]} threads of its own, {before[0]} before")
        if after[1] > driver_most:
            self.findings.add("growth", f"{what}: {after[1]} driver threads for {self.plan.connections} connections")
        if after[0] > before[0] or after[1] > driver_most:
            stacks(proc.pid, self.log_path)
        if after[2] > before[2] + rss_slack_kib:
            self.findings.add("growth", f"{what}: resident memory {before[2]} KiB -> {after[2]} KiB")

    def wait_targets_idle(self):
        for t in self.targets:
            t.idle()

    def _leftovers(self):
        for t in self.targets:
            if t.proc and t.proc.alive():
                t.proc.kill()
        mine = []  # every process of the round runs in its folder
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/cwd") == self.folder:
                    mine.append(int(pid))
            except OSError:
                pass
        for pid in mine:
            self.findings.add("growth", f"process {pid} of the round is still running at its end")
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    rows = f.read().splitlines()[1:]
            except OSError:
                continue
            for row in rows:
                cols = row.split()
                local, remote, state = int(cols[1].rsplit(":", 1)[1], 16), int(cols[2].rsplit(":", 1)[1], 16), cols[3]
                if state in TCP_LIVE_STATES and (local in self.ports or remote in self.ports):
                    self.findings.add("growth", f"a socket of port {local}->{remote} is "
                                                f"{TCP_LIVE_STATES[state]} after the round")

    def run(self):
        start = time.monotonic()
        try:
            number = {}
            for i, (t, size) in enumerate(self.plan.luns):
                number[t] = number.get(t, -1) + 1
                self.luns.append(Lun(Path(self.folder) / f"lun{i}.img", size, (self.seed << 8) + i, t, number[t]))
            for t in range(self.plan.targets):
                self.targets.append(Target(self, t, [l for l in self.luns if l.target == t]))
            if all(t.start() for t in self.targets):
                self.wait_targets_idle()
                for i, w in enumerate(self.plan.work):
                    work.KINDS[w.kind](self, w, i)
                    self.wait_targets_idle()
                    for lun in self.luns:
                        lun.check(self.findings, f"after work {i} ({w.kind})")
                        lun.settle()
                for t in self.targets:
                    t.stop()
        except Exception:
            self.findings.add("soak-error", traceback.format_exc().strip().splitlines()[-1])
            self.log(traceback.format_exc())
        finally:
            self._leftovers()
        seconds = time.monotonic() - start
        self.log(f"round {self.seed}: {len(self.findings.items)} findings in {seconds:.1f} s")
        if not self.findings.items or not self.keep:
            shutil.rmtree(self.folder, ignore_errors=True)
        return self.findings.items, seconds
