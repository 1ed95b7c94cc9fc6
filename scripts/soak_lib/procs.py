"""The processes of a round: started with their output in the round's folder, waited for within a
bound (past it their stacks are taken with gdb and they are killed: a hang), signalled, and
checked when they end (exit codes, crashes, sanitizer reports, the port's accounting line)."""
import os
import re
import signal
import threading
import subprocess
import time

from .plan import SIGNAL_BOUND

SANITIZER = re.compile(r"ERROR: (Address|Thread|Leak|Memory)Sanitizer|runtime error:|WARNING: ThreadSanitizer")
ACCOUNTING = re.compile(r"quevi accounting: handed=(\d+) completed=(\d+) twice=(\d+) never=(\d+) "
                        r"busy_retries=(\d+) timeouts=(\d+) pool=(\d+)")
PROGRESS = re.compile(r"^quevi copy: .* (MB/s|left)")
DEADLINE = re.compile(r"after the interruption; ending at once|interrupted again; ending at once")


class Findings:
    """What a round found: (check, text) pairs, the first of which names the round's failure."""

    SHOWN = 5  # findings of one check kept per round; the rest are only counted

    def __init__(self, log):
        self.items = []
        self.more = 0
        self.deadline = 0  # programs that ended at the stopping deadline, unchecked
        self.counts = {}
        self.log = log

    def add(self, check, text):
        self.counts[check] = self.counts.get(check, 0) + 1
        if self.counts[check] > self.SHOWN:
            self.more += 1
            return
        self.items.append((check, text))
        self.log(f"FINDING {check}: {text}")


def stacks(pid, log_path):
    """Every thread's stack of a live process, appended to the round's log."""
    try:
        r = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
                           capture_output=True, text=True, timeout=90)
        text = r.stdout + r.stderr
    except (OSError, subprocess.TimeoutExpired) as e:
        text = f"gdb failed: {e}\n"
    with open(log_path, "a") as f:
        f.write(f"\n==== stacks of pid {pid} at {time.strftime('%H:%M:%S')}\n{text}")


LIVE = set()  # every process started and not yet reaped, for kill_all


def kill_all():
    """Ends every process the soak started (each is a process group of its own)."""
    for proc in list(LIVE):
        try:
            os.killpg(proc.pid, signal.SIGCONT)
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass


class Proc:
    def __init__(self, name, argv, folder, log, env=None):
        self.name = name
        self.folder = folder
        self.log = log
        self.out_path = os.path.join(folder, f"{name}.out")
        self.err_path = os.path.join(folder, f"{name}.err")
        self.sent = None            # the signal we sent, if any (guarded by send_lock)
        self.send_lock = threading.Lock()
        self.sent_at = 0.0
        self.hung = False
        self.normal_stop = False    # the signal sent is the program's ordinary end
        self.returncode = None
        log(f"start {name}: {' '.join(argv)}")
        with open(self.out_path, "ab") as out, open(self.err_path, "ab") as err:
            self.p = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                      env=env, start_new_session=True, cwd=folder)
        self.pid = self.p.pid
        self.started = time.monotonic()
        LIVE.add(self)

    def alive(self):
        return self.p.poll() is None

    def send(self, sig, first=False):
        """Sends the signal; with `first`, only when none was sent before (a second SIGINT or
        SIGTERM ends a program at once). True when sent."""
        with self.send_lock:
            if not self.alive() or (first and self.sent is not None):
                return False
            self.sent, self.sent_at = sig, time.monotonic()
            self.log(f"{self.name}: {signal.Signals(sig).name} at {time.monotonic() - self.started:.2f} s")
            os.kill(self.pid, sig)
            return True

    def wait(self, bound, findings, log_path, signal_bound=SIGNAL_BOUND):
        """Waits for the end within `bound` seconds from the start (and `signal_bound` after a
        SIGINT or SIGTERM we sent); past either the stacks go to the log; past the bound the
        process is killed and the round has hung."""
        late_noted = False
        while self.p.poll() is None:
            now = time.monotonic()
            if (self.sent in (signal.SIGINT, signal.SIGTERM) and not late_noted
                    and now - self.sent_at > signal_bound):
                late_noted = True
                findings.add("stop-bound", f"{self.name} still running {signal_bound} s after "
                                           f"{signal.Signals(self.sent).name}")
                stacks(self.pid, log_path)
            if now - self.started > bound:
                findings.add("hang", f"{self.name} still running after its bound of {bound} s")
                stacks(self.pid, log_path)
                self.hung = True
                self.kill()
                break
            time.sleep(0.05)
        self.returncode = self.p.wait()
        LIVE.discard(self)
        self.log(f"{self.name}: exit {self.returncode} after {time.monotonic() - self.started:.2f} s")
        return self.returncode

    def kill(self):
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.p.wait()
        LIVE.discard(self)

    def stdout(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    # What /proc says of a live process; None once it has gone.
    def threads(self):
        try:
            return len(os.listdir(f"/proc/{self.pid}/task"))
        except OSError:
            return None

    def driver_threads(self):
        """Threads of the driver (the kernel stand-in names its system threads qv-sys-*)."""
        n = 0
        try:
            for tid in os.listdir(f"/proc/{self.pid}/task"):
                try:
                    with open(f"/proc/{self.pid}/task/{tid}/comm") as f:
                        n += f.read().startswith("qv-sys-")
                except OSError:
                    pass
        except OSError:
            return None
        return n

    def rss_kib(self):
        try:
            with open(f"/proc/{self.pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    def sockets(self):
        try:
            fds = os.listdir(f"/proc/{self.pid}/fd")
        except OSError:
            return None
        n = 0
        for fd in fds:
            try:
                n += os.readlink(f"/proc/{self.pid}/fd/{fd}").startswith("socket:")
            except OSError:
                pass
        return n


def check_end(proc, findings, accounting=True):
    """Exit code 0, 1 with a message, or 130 after a signal we sent; no crash, no sanitizer
    report; and the port's accounting: every request completed exactly once, the pool empty."""
    if proc.hung:
        return
    rc, err = proc.returncode, proc.stderr()
    if SANITIZER.search(err):
        findings.add("crash", f"{proc.name}: sanitizer report (see {os.path.basename(proc.err_path)})")
    if rc < 0:
        sig = signal.Signals(-rc).name
        if proc.sent == -rc:
            findings.add("exit-code", f"{proc.name} died of the {sig} we sent instead of exiting 130")
        else:
            findings.add("crash", f"{proc.name} died of {sig}")
        return
    if rc not in (0, 1, 130):
        findings.add("exit-code", f"{proc.name} exited {rc}")
    elif rc == 130 and proc.sent is None:
        findings.add("exit-code", f"{proc.name} exited 130 without a signal")
    elif rc == 1:
        message = [l for l in err.splitlines() if l.strip() and not ACCOUNTING.search(l) and not PROGRESS.search(l)]
        if not message:
            findings.add("exit-code", f"{proc.name} exited 1 without a message")
    if not accounting:
        return
    m = ACCOUNTING.findall(err)
    if not m and DEADLINE.search(err):
        # Stopping gives up the orderly end at its deadline (2 s after the signal): the host's
        # end, and with it the accounting, never comes. After a signal at a random moment that is
        # the design (counted, not a failure); the ordinary end of an export must be orderly.
        if proc.sent is None or proc.normal_stop:
            findings.add("stop-deadline", f"{proc.name}: its orderly end was cut at the stopping "
                                          f"deadline (no accounting) though nothing was stuck")
        else:
            findings.deadline += 1
            findings.log(f"{proc.name} ended at the stopping deadline: no accounting to check")
        return
    if not m:
        findings.add("exactly-once", f"{proc.name} printed no accounting line (its host never ended)")
        return
    handed, completed, twice, never, _, _, pool = map(int, m[-1])
    if twice or never or handed != completed:
        findings.add("exactly-once", f"{proc.name}: handed={handed} completed={completed} "
                                     f"twice={twice} never={never}")
    if pool:
        findings.add("growth", f"{proc.name}: {pool} pool allocations outstanding at the end")
