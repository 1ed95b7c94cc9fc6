"""A LUN file and what the soak expects it to hold. The target serves the file; the soak reads it
directly. The model is the file's bytes as the soak last knew them, updated by every write
reported done; a write that failed or was cut off leaves its range uncertain (each byte old or
new) until the soak next takes the file's bytes as they are (`settle`)."""
import random
import threading


class Lun:
    def __init__(self, path, size, seed, target, number):
        self.path = path
        self.size = size
        self.target = target    # index of the target process serving it
        self.number = number    # its LUN number on that target
        data = random.Random(seed).randbytes(size)
        with open(path, "wb") as f:
            f.write(data)
        self.expected = bytearray(data)
        self.uncertain = []     # [start, end) ranges, unordered
        self.lock = threading.Lock()  # NBD clients update the model from several threads

    def read(self, offset=0, length=None):
        length = self.size - offset if length is None else length
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(length)

    def written(self, offset, data):
        """A write reported done: these bytes are now what the LUN must hold."""
        end = offset + len(data)
        with self.lock:
            self.expected[offset:end] = data
            kept = []
            for s, e in self.uncertain:
                if s < offset:
                    kept.append((s, min(e, offset)))
                if e > end:
                    kept.append((max(s, end), e))
            self.uncertain = [(s, e) for s, e in kept if s < e]

    def unsure(self, offset, length):
        if length > 0:
            with self.lock:
                self.uncertain.append((offset, offset + length))

    def certain(self, start, end):
        """The parts of [start, end) outside every uncertain range."""
        pieces = [(start, end)]
        with self.lock:
            uncertain = list(self.uncertain)
        for s, e in uncertain:
            nxt = []
            for a, b in pieces:
                if e <= a or s >= b:
                    nxt.append((a, b))
                    continue
                if a < s:
                    nxt.append((a, s))
                if e < b:
                    nxt.append((e, b))
            pieces = nxt
        return pieces

    def mismatch(self, offset, data):
        """The first offset in [offset, offset+len(data)) where `data` differs from what is
        expected there (uncertain bytes skipped), or None."""
        view = memoryview(data)
        for a, b in self.certain(offset, offset + len(data)):
            if view[a - offset:b - offset] != self.expected[a:b]:
                for i in range(a, b):
                    if view[i - offset] != self.expected[i]:
                        return i
        return None

    def check(self, findings, what):
        """The whole file against the model: a difference is a wrong byte (outside every write
        that was reported done, or a reported write that is not there)."""
        at = self.mismatch(0, self.read())
        if at is not None:
            findings.add("wrong-bytes", f"{what}: {self.path.name} differs from what it must hold at "
                                        f"byte {at} (expected {self.expected[at]:#04x})")
        return at is None

    def settle(self):
        """Takes the file as it is: uncertain bytes become known."""
        self.expected = bytearray(self.read())
        self.uncertain = []
