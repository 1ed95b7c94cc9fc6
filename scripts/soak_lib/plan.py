"""A round as its seed draws it: the LUNs, the target's faults, an event from outside, the session
and the work. Everything here is a pure function of the seed, so a round can be replayed alone.

Each process of a round gets a wall-clock bound derived from its work and the drawn faults
(`Plan.bound`): the time to load the driver, log in and shut down, the expected transfer time at
a rate the faults allow (counted four times over), and for every fault that can stall requests a
stated allowance (a stalled request waits for the port's 10 s time-out, then the bus is reset
and the session reconnects)."""
import random
from dataclasses import dataclass, field

KiB = 1 << 10
MiB = 1 << 20
BLOCK = 512

FAULT_KINDS = [
    "delay", "drop-pdus", "drop-commands", "status-separate", "data-in-sizes", "data-in-reversed",
    "ping", "ping-no-answer", "small-window", "closed-window", "statsn-wrap", "async-1", "async-2",
    "async-3", "async-4", "reject", "oversize", "refuse-logins",
]
OUTSIDE_KINDS = ["pause", "restart"]
WORK_KINDS = ["copy-in", "copy-out", "copy-lun", "nbd", "run"]
SIGNAL_KINDS = ["sigint", "sigterm"]

# Seconds a fault may add to a process's run beyond its transfer time: a reconnection, a request
# that waits for the port's time-out (10 s) and the bus reset, the copy's three retries a second
# apart, the busy retries of the port and the class disk.
STALL_ALLOWANCE = {
    "drop-pdus": 40, "drop-commands": 40, "async-1": 30, "async-2": 30, "async-3": 30,
    "async-4": 40, "reject": 30, "oversize": 30, "refuse-logins": 40, "closed-window": 20,
    "ping-no-answer": 10, "ping": 10, "data-in-reversed": 5, "data-in-sizes": 5, "delay": 10,
    "small-window": 10, "status-separate": 5, "statsn-wrap": 10,
}
BUSY_TIMER_SECONDS = 96     # commands of a session that cannot reconnect end BUSY this long
BASE_SECONDS = 20           # load, add, scan, shutdown of a process with one connection
PER_CONNECTION_SECONDS = 2  # each connection's login and its ending at shutdown
SIGNAL_BOUND = 5            # a process must end this long after SIGINT or SIGTERM
TARGET_STOP_BOUND = 10      # the target must end this long after SIGTERM


@dataclass
class Work:
    kind: str
    lun: int = 0          # index into Plan.luns: the LUN read or written (the source of copy-lun)
    dest_lun: int = -1    # copy-lun's destination
    offset: int = 0
    length: int = 0
    clients: int = 0      # nbd: clients in parallel, each with its own part of the LUN
    ops: int = 0          # nbd: operations per client
    steps: list = field(default_factory=list)  # run: the steps, "@N" for the URL of LUN N
    signal: str = ""      # "sigint" or "sigterm" at signal_at seconds, or nothing
    signal_at: float = 0.0
    outside: str = ""     # "pause" or "restart" of the target at outside_at seconds
    outside_at: float = 0.0
    outside_for: float = 0.0  # pause: seconds stopped; restart: seconds down
    file_seed: int = 0    # copy-in: the source file's content; nbd: the clients' parts and operations


@dataclass
class Plan:
    seed: int
    luns: list            # (target index, size in bytes)
    targets: int          # target processes (each its own bus)
    target_args: list     # fault options given to every target
    faults: list          # fault kinds drawn
    connections: int
    buses: int
    work: list
    rate: float           # expected MB/s of a transfer under the drawn faults
    session_ends: bool = False  # a fault can leave the session unable to reconnect for good

    def transfer_seconds(self, nbytes):
        return nbytes / (self.rate * MiB)

    def buses_of(self, work):
        if work.kind == "run":
            return sum(s.startswith("@") for s in work.steps)
        return 2 if work.kind == "copy-lun" and self.luns[work.lun][0] != self.luns[work.dest_lun][0] else 1

    def bound(self, work):
        """Seconds the process doing `work` may take before the round counts as a hang."""
        buses = self.buses_of(work)
        t = BASE_SECONDS + PER_CONNECTION_SECONDS * self.connections * buses
        if work.kind == "nbd":
            t += 4 * self.transfer_seconds(work.clients * work.ops * 128 * KiB) + 5
        elif work.kind == "run":
            t += 2 * len(work.steps) + sum(int(s.split(":")[1]) / 1000 for s in work.steps
                                           if s.startswith("sleep:")) + 4 * self.transfer_seconds(
                sum(int(s.split(":")[2]) * BLOCK for s in work.steps if s.startswith(("read:", "write:"))))
        else:
            t += 4 * self.transfer_seconds(work.length)
        t += sum(STALL_ALLOWANCE.get(f, 0) for f in self.faults)
        if self.session_ends:
            t += BUSY_TIMER_SECONDS + 30
        if work.outside == "pause":
            t += work.outside_for + (30 if work.outside_for > 8 else 10)
        elif work.outside == "restart":
            t += work.outside_for + 40
        return round(t, 1)

    def describe(self):
        return (f"targets={self.targets} luns={[s for _, s in self.luns]} faults={self.target_args} "
                f"connections={self.connections} buses={self.buses} rate~{self.rate:.0f}MB/s")


def _fault_args(kind, r, connections):
    """The target options for one fault kind, and its effects: the per-PDU delay in ms, the
    Data-In size, the window, whether connections drop (reconnects) or the session may end."""
    if kind == "delay":
        d = r.choice([1, 2, 5, 10, 20])
        return ["--delay", str(d)], {"delay": max(d, 5)}
    if kind == "drop-pdus":
        return ["--drop-after-pdus", str(r.randint(30, 3000))], {"reconnects": True}
    if kind == "drop-commands":
        return ["--drop-after-commands", str(r.randint(5, 400))], {"reconnects": True}
    if kind == "status-separate":
        return ["--status-separate"], {}
    if kind == "data-in-sizes":
        odd = [r.choice([1, 3, 100, 511, 513, 1000, 4095, 4097, 9000]) for _ in range(r.randint(1, 3))]
        last = r.choice([4096, 8192, 65537, 100000, 262144])
        return ["--data-in-sizes", ",".join(map(str, odd + [last]))], {"pdu": last}
    if kind == "data-in-reversed":
        return ["--data-in-reversed"], {}
    if kind in ("ping", "ping-no-answer"):
        args = ["--nop-interval", str(r.choice([20, 100, 300, 1000]))]
        if r.random() < 0.5:
            args += ["--nop-data", "".join(r.choice("abcdefgh") for _ in range(r.randint(1, 300)))]
        if kind == "ping-no-answer":
            args.append("--nop-no-answer")
        return args, {}
    if kind == "small-window":
        w = r.randint(1, 4)
        return ["--cmd-window", str(w)], {"window": w}
    if kind == "closed-window":
        return ["--close-window"], {}
    if kind == "statsn-wrap":
        return ["--initial-statsn", str((1 << 32) - r.randint(1, 3000))], {}
    if kind.startswith("async-"):
        event = int(kind[-1])
        parts = [str(event)]
        if event >= 2 and r.random() < 0.7:
            parts.append(str(r.randint(0, connections)))       # the connection named (3)
            parts.append(str(r.randint(0, 2)))                 # seconds to wait
            if event == 4:
                parts.append(str(r.choice([0, 1, 2])))         # 0: the session ends
        ends = event == 4 and (len(parts) < 4 or parts[3] == "0")  # PARAM3 0 (the default) ends it
        return ["--async", ",".join(parts), "--async-after", str(r.randint(0, 200))], \
            {"reconnects": True, "ends": ends}
    if kind == "reject":
        return ["--reject", str(r.choice([1, 2, 4, 5, 6, 7, 8, 9, 11, 15])),
                "--reject-after", str(r.randint(0, 200))], {}
    if kind == "oversize":
        return ["--oversize-segment", "--oversize-after", str(r.randint(0, 200))], {"reconnects": True}
    if kind == "refuse-logins":
        count = r.choice([0, 1, 2, 3, 4])  # 0: every later login, for good
        args = ["--refuse-logins-after", str(r.randint(1, 3 * connections)), "--refuse-logins", str(count)]
        if r.random() < 0.3:
            args += ["--refuse-login-status", str(r.choice([1, 2, 3, 5, 0x20]))]
        return args, {"reconnects": True, "ends": count == 0}
    raise ValueError(kind)


def _rate(effects, connections):
    """MB/s a copy may be expected to reach under the drawn faults (a low estimate)."""
    delay_ms = max([e.get("delay", 0) for e in effects] + [0])
    pdu = min([e.get("pdu", 256 * KiB) for e in effects] + [256 * KiB])
    window = min([e.get("window", 64) for e in effects] + [64])
    per_request = (256 * KiB // pdu + 2) * (delay_ms + 0.05) / 1000 + 0.002
    parallel = max(1, min(connections, window, 8))
    rate = min(40.0, 0.25 / per_request * parallel)
    if any(e.get("reconnects") for e in effects):
        rate /= 2
    return rate


def _steps(r, sizes):
    """Steps of `quevi run` on a target whose LUNs have these sizes (LUNs named by number)."""
    steps = []
    for _ in range(r.randint(2, 8)):
        kind = r.choices(["write", "read", "abort", "reset", "sleep", "tur", "readcap", "inquiry",
                          "query", "remove"], [6, 6, 3, 2, 2, 1, 1, 1, 1, 1])[0]
        lun = r.randrange(len(sizes))
        blocks = sizes[lun] // BLOCK
        count = r.randint(1, min(blocks, 2048))
        lba = r.randrange(0, blocks - count + 1)
        if kind == "write":
            steps.append(f"write:{lba}:{count}:{r.randrange(256)}:{lun}")
        elif kind == "read":
            steps.append(f"read:{lba}:{count}:{lun}")
        elif kind == "abort":
            steps.append(f"abort:{lba}:{count}:{r.randint(0, 20)}:{lun}")
        elif kind == "sleep":
            steps.append(f"sleep:{r.randint(1, 500)}")
        elif kind in ("tur", "readcap", "inquiry"):
            steps.append(f"{kind}:{lun}")
        else:
            steps.append(kind)
    return steps


def draw(seed):
    r = random.Random(seed)
    connections = r.choices(range(1, 9), [40, 25, 10, 7, 5, 5, 4, 4])[0]
    # Kinds that set the same option exclude each other.
    while True:
        faults = r.sample(FAULT_KINDS, r.choices([1, 2, 3], [40, 35, 25])[0])
        if sum(f.startswith("ping") for f in faults) < 2 and sum(f.startswith("async") for f in faults) < 2:
            break
    args, effects = [], []
    for kind in faults:
        a, e = _fault_args(kind, r, connections)
        args += a
        effects.append(e)
    rate = _rate(effects, connections)

    # Two targets make a LUN-to-LUN copy run over two buses at once.
    targets = r.choices([1, 2], [65, 35])[0]
    luns = []
    for t in range(targets):
        for _ in range(r.choices([1, 2, 3], [50, 30, 20])[0]):
            size = r.randint(4 * MiB // BLOCK, 48 * MiB // BLOCK) * BLOCK
            if r.random() < 0.3:
                size = size // MiB * MiB or MiB
            luns.append((t, size))
    on = {t: [i for i, (tt, _) in enumerate(luns) if tt == t] for t in range(targets)}

    # Transfers are sized so that a round takes a few seconds at the expected rate.
    budget = max(64 * KiB, int(rate * MiB * r.uniform(0.3, 1.5)))

    def extent(size):
        length = r.randint(1, max(1, min(size, budget) // BLOCK)) * BLOCK
        if r.random() < 0.2:
            length = min(size, budget // BLOCK * BLOCK or BLOCK)  # up to the LUN's end
        offset = r.randrange(0, (size - length) // BLOCK + 1) * BLOCK
        if r.random() < 0.2:
            offset = size - length
        return offset, length

    work = []
    for _ in range(r.choices([1, 2, 3], [60, 30, 10])[0]):
        kind = r.choice(WORK_KINDS)
        if kind == "copy-lun" and targets == 1 and len(luns) == 1:
            kind = "copy-out"
        w = Work(kind)
        if kind == "copy-lun":
            w.lun = r.choice(on[0])
            w.dest_lun = r.choice(on[1]) if targets == 2 else r.choice([i for i in on[0] if i != w.lun])
            size = min(luns[w.lun][1], luns[w.dest_lun][1])
            w.offset, w.length = extent(size)
        elif kind in ("copy-in", "copy-out"):
            w.lun = r.randrange(len(luns))
            w.offset, w.length = extent(luns[w.lun][1])
            w.file_seed = r.getrandbits(32)
        elif kind == "nbd":
            w.lun = r.randrange(len(luns))
            w.clients = r.randint(2, 6)
            w.ops = r.randint(5, 25)
            w.file_seed = r.getrandbits(32)
        else:
            # One to three targets at once, each on its own bus (a LUN of the same target twice
            # gives a second bus bound to its session); "@N" stands for the URL of LUN N.
            for _ in range(r.choices([1, 2, 3], [45, 30, 25])[0]):
                i = r.randrange(len(luns))
                w.steps += [f"@{i}"] + _steps(r, [luns[j][1] for j in on[luns[i][0]]])
            w.lun = int(w.steps[0][1:])
        work.append(w)

    # One event from outside the target, and a signal to one process, for some rounds.
    if r.random() < 0.35:
        w = r.choice(work)
        w.outside = r.choice(OUTSIDE_KINDS)
        w.outside_at = r.uniform(0.3, 3.0)
        w.outside_for = r.choice([0.2, 1.0, 3.0, 6.0, 12.0]) if w.outside == "pause" else r.uniform(0, 2)
    if r.random() < 0.3:
        w = r.choice(work)
        w.signal = r.choice(SIGNAL_KINDS)
        w.signal_at = r.uniform(0.1, 4.0)

    plan = Plan(seed, luns, targets, args, faults, connections, 1, work, rate,
                any(e.get("ends") for e in effects))
    plan.buses = max(plan.buses_of(w) for w in work)
    return plan
