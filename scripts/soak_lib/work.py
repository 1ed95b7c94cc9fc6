"""The work of a round, each kind with its own checks of the data:
- copy: `quevi copy` file -> LUN, LUN -> file or LUN -> LUN at the drawn offset and length; the
  bytes copied (all of them on exit 0, the prefix the copy reports otherwise) must be where they
  belong, its digest must be theirs, and a file destination holds exactly the prefix;
- nbd: `quevi nbd` and several NBD clients in threads, each on its own part of the LUN (cut at any
  byte), reading, writing and flushing: every byte read is what the LUN holds, every write
  answered OK is on the LUN file once a flush has been answered OK;
- run: `quevi run` with the drawn steps: each write that succeeded is on the LUN, each read that
  succeeded returns what the LUN holds (its SHA-256)."""
import hashlib
import json
import os
import random
import threading
import time

from . import nbd
from .plan import BLOCK, KiB

HANDSHAKE_SECONDS = 15  # an export that serves answers a new client within this
from .procs import check_end


def _json_lines(text):
    for line in text.splitlines():
        try:
            yield json.loads(line)
        except ValueError:
            continue


def pattern(seed, count):
    """The bytes of `quevi run`'s write:LBA:COUNT:SEED step: byte i = (SEED + i + (i >> 9)) & 0xFF."""
    base = bytes(range(256)) * 4
    return b"".join(base[(seed + k * 513) & 0xFF:][:BLOCK] for k in range(count))


def copy(rnd, w, index):
    quevi = rnd.quevi
    src_lun = rnd.luns[w.lun]
    if w.kind == "copy-in":
        data = random.Random(w.file_seed).randbytes(w.length)
        source = os.path.join(rnd.folder, f"in-{index}.img")
        with open(source, "wb") as f:
            f.write(data)
        dest_lun, destination = src_lun, rnd.url(w.lun)
    elif w.kind == "copy-out":
        data = bytes(src_lun.expected[w.offset:w.offset + w.length])
        source, destination, dest_lun = rnd.url(w.lun), os.path.join(rnd.folder, f"out-{index}.img"), None
    else:
        dest_lun = rnd.luns[w.dest_lun]
        data = bytes(src_lun.expected[w.offset:w.offset + w.length])
        source, destination = rnd.url(w.lun), rnd.url(w.dest_lun)
    argv = [quevi, "copy", source, destination, "--offset", str(w.offset), "--length", str(w.length),
            "--connections", str(rnd.plan.connections), "--quiet"]
    proc = rnd.run_with_events(f"copy-{index}", argv, w)
    check_end(proc, rnd.findings)
    report = next((j for j in _json_lines(proc.stdout()) if "bytes" in j), None)
    copied = report["bytes"] if report else 0
    if proc.returncode == 0 and (not report or not report["complete"] or copied != w.length):
        rnd.findings.add("exit-code", f"{proc.name} exited 0 but reports {report}")
    if report and report.get("sha256") and report["sha256"] != hashlib.sha256(data[:copied]).hexdigest():
        rnd.findings.add("digest", f"{proc.name} (exit {proc.returncode}): its sha256 is not that of the "
                                   f"{copied} bytes it reports copied")
    if dest_lun is not None:
        dest_lun.written(w.offset, data[:copied])
        dest_lun.unsure(w.offset + copied, w.length - copied)
    elif proc.returncode in (0, 1, 130) and not proc.hung:
        got = b""
        if os.path.exists(destination):  # a copy that failed before it began creates no file
            with open(destination, "rb") as f:
                got = f.read()
        if len(got) != copied or got != data[:copied]:
            at = next((i for i in range(min(len(got), copied)) if got[i] != data[i]), min(len(got), copied))
            rnd.findings.add("wrong-bytes", f"{proc.name}: the file holds {len(got)} bytes, {copied} "
                                            f"copied; first difference at byte {at}")


def _nbd_client(rnd, w, lun, path, start, end, rng, bound, errors):
    try:
        c = nbd.Client(path, timeout=bound)
    except nbd.NbdError as e:
        errors.append(str(e))
        return
    if c.size != lun.size:
        rnd.findings.add("wrong-bytes", f"the export has {c.size} bytes, the LUN {lun.size}")
    written = []  # writes answered OK since the last flush
    inflight = None
    try:
        for _ in range(w.ops):
            op = rng.choices(["write", "read", "flush"], [45, 40, 15])[0]
            length = min(end - start, rng.choice([1, 100, 512, 4096, 65536, rng.randint(1, 256 * KiB)]))
            offset = rng.randint(start, end - length)
            if rng.random() < 0.3:
                offset = max(start, min(end - length, offset // BLOCK * BLOCK))
            if op == "write":
                data = rng.randbytes(length)
                inflight = (offset, length)
                error = c.write(offset, data)
                inflight = None
                if error == 0:
                    lun.written(offset, data)
                    written.append((offset, length))
                else:
                    lun.unsure(offset, length)
            elif op == "read":
                error, data = c.read(offset, length)
                if error == 0:
                    at = lun.mismatch(offset, data)
                    if at is not None:
                        rnd.findings.add("wrong-bytes", f"NBD read of {length} at {offset}: byte {at} is "
                                                        f"{data[at - offset]:#04x}, the LUN holds {lun.expected[at]:#04x}")
            elif c.flush() == 0:
                # Written and flushed: on the LUN file now, read directly.
                for off, n in written:
                    at = lun.mismatch(off, lun.read(off, n))
                    if at is not None:
                        rnd.findings.add("durability", f"an NBD write of {n} at {off} answered OK and "
                                                       f"flushed is not on the LUN (byte {at})")
                written = []
    except (OSError, nbd.NbdError) as e:
        if inflight:
            lun.unsure(*inflight)
        errors.append(str(e))
    finally:
        c.close()


def export(rnd, w, index):
    lun = rnd.luns[w.lun]
    path = os.path.join(rnd.folder, f"nbd-{index}.sock")
    argv = [rnd.quevi, "nbd", rnd.url(w.lun), "--socket", path, "--connections", str(rnd.plan.connections)]
    bound = rnd.bound(w)
    events = rnd.start_with_events(f"nbd-{index}", argv, w)
    proc = events.proc
    deadline = time.monotonic() + bound
    while not os.path.exists(path) and proc.alive() and time.monotonic() < deadline:
        time.sleep(0.05)
    serving = False
    if os.path.exists(path) and proc.alive():
        # The export serves once its plugin has attached the LUN: a first client that gets the
        # size has seen that; what the process has then is what it must come back to.
        try:
            nbd.Client(path, timeout=HANDSHAKE_SECONDS * rnd.slow).close()
            serving = True
        except nbd.NbdError as e:
            rnd.log(f"{proc.name}: the first client: {e}")  # the export could not attach its LUN
            serving = False
        time.sleep(0.3)
        before = rnd.usage(proc)
        rng = random.Random(w.file_seed)
        cuts = sorted(rng.sample(range(1, lun.size), w.clients - 1))
        edges = [0] + cuts + [lun.size]
    if serving:
        errors = []
        clients = [threading.Thread(target=_nbd_client,
                                    args=(rnd, w, lun, path, edges[i], edges[i + 1],
                                          random.Random(rng.getrandbits(64)), bound, errors))
                   for i in range(w.clients)]
        for t in clients:
            t.start()
        for t in clients:
            t.join(max(1.0, deadline - time.monotonic()))
        if any(t.is_alive() for t in clients):
            rnd.findings.add("hang", f"NBD clients of {proc.name} did not finish within {bound} s")
        if errors:
            rnd.log(f"{proc.name}: clients ended with: {errors}")
        if proc.alive() and proc.sent is None:
            rnd.check_settles(proc, before, "nbdkit after its clients left", rss_slack_kib=64 * 1024 * rnd.slow)
    # SIGTERM is how an export ends: it must end in order (unless a drawn signal came first).
    proc.normal_stop = proc.send(15, first=True)
    events.finish(bound)
    check_end(proc, rnd.findings)


def run(rnd, w, index):
    words = [rnd.url(int(s[1:])) if s.startswith("@") else s for s in w.steps]
    argv = [rnd.quevi, "run", "--connections", str(rnd.plan.connections), "--timeout", "30", *words]
    proc = rnd.run_with_events(f"run-{index}", argv, w)
    check_end(proc, rnd.findings)
    lines = [j for j in _json_lines(proc.stdout()) if j.get("step") not in ("add", "event")]
    n = -1  # the step's line
    target = 0
    for step in w.steps:
        if step.startswith("@"):
            target = rnd.luns[int(step[1:])].target
            continue
        n += 1
        parts = step.split(":")
        if parts[0] not in ("write", "read"):
            continue
        lun = rnd.lun_of(target, int(parts[-1]))
        lba, count = int(parts[1]), int(parts[2])
        line = lines[n] if n < len(lines) and lines[n].get("step") == parts[0] else None
        ok = line is not None and line.get("srb_status") == 1 and line.get("scsi_status") == 0
        if parts[0] == "write":
            data = pattern(int(parts[3]), count)
            if line and line.get("sha256") not in (None, hashlib.sha256(data).hexdigest()):
                rnd.findings.add("wrong-bytes", f"{proc.name}: {step} wrote other bytes than its pattern")
            if ok:
                lun.written(lba * BLOCK, data)
            else:
                lun.unsure(lba * BLOCK, count * BLOCK)
        elif ok and lun.certain(lba * BLOCK, (lba + count) * BLOCK) == [(lba * BLOCK, (lba + count) * BLOCK)]:
            expected = hashlib.sha256(lun.expected[lba * BLOCK:(lba + count) * BLOCK]).hexdigest()
            if line.get("sha256") != expected:
                rnd.findings.add("wrong-bytes", f"{proc.name}: {step} (step {n + 1}) read other bytes "
                                                f"than the LUN holds")


KINDS = {"copy-in": copy, "copy-out": copy, "copy-lun": copy, "nbd": export, "run": run}
