"""A tiny NBD client over a Unix socket: the fixed newstyle handshake, NBD_OPT_GO (or
NBD_OPT_EXPORT_NAME when the server does not know GO), then READ, WRITE, FLUSH and DISC with simple
replies, one request at a time. Enough for several clients in threads to drive `quevi nbd`."""
import socket
import struct

NBDMAGIC = b"NBDMAGIC"
IHAVEOPT = 0x49484156454F5054
REPLY_MAGIC = 0x3E889045565A9
REQUEST_MAGIC = 0x25609513
SIMPLE_REPLY_MAGIC = 0x67446698

FLAG_FIXED_NEWSTYLE = 1
FLAG_NO_ZEROES = 2
OPT_EXPORT_NAME = 1
OPT_GO = 7
REP_ACK = 1
REP_INFO = 3
INFO_EXPORT = 0
REP_ERR_UNSUP = (1 << 31) | 1

CMD_READ, CMD_WRITE, CMD_DISC, CMD_FLUSH = 0, 1, 2, 3


class NbdError(Exception):
    """The connection failed or the server broke the protocol (not an error reply)."""


class Client:
    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.size = 0
        self.cookie = 0
        try:
            self.sock.connect(path)
            self._handshake()
        except (OSError, struct.error) as e:
            self.sock.close()
            raise NbdError(f"handshake: {e}") from e

    def _recv(self, n):
        chunks, got = [], 0
        while got < n:
            b = self.sock.recv(min(n - got, 1 << 20))
            if not b:
                raise NbdError("connection closed by the server")
            chunks.append(b)
            got += len(b)
        return b"".join(chunks)

    def _option(self, option, data):
        self.sock.sendall(struct.pack(">QII", IHAVEOPT, option, len(data)) + data)

    def _handshake(self):
        magic, opt, flags = struct.unpack(">8sQH", self._recv(18))
        if magic != NBDMAGIC or opt != IHAVEOPT or not flags & FLAG_FIXED_NEWSTYLE:
            raise NbdError("not a fixed newstyle server")
        no_zeroes = flags & FLAG_NO_ZEROES
        self.sock.sendall(struct.pack(">I", FLAG_FIXED_NEWSTYLE | no_zeroes))
        self._option(OPT_GO, struct.pack(">IH", 0, 0))  # default export, no info requests
        while True:
            magic, opt, kind, length = struct.unpack(">QIII", self._recv(20))
            data = self._recv(length)
            if magic != REPLY_MAGIC:
                raise NbdError("bad option reply magic")
            if kind == REP_INFO and len(data) >= 12 and struct.unpack(">H", data[:2])[0] == INFO_EXPORT:
                self.size = struct.unpack(">Q", data[2:10])[0]
            elif kind == REP_ACK:
                return
            elif kind == REP_ERR_UNSUP:
                break
            elif kind & (1 << 31):
                raise NbdError(f"NBD_OPT_GO refused ({kind:#x})")
        self._option(OPT_EXPORT_NAME, b"")
        self.size = struct.unpack(">Q", self._recv(8))[0]
        self._recv(2 if no_zeroes else 2 + 124)

    def _request(self, kind, offset, length, data=b""):
        self.cookie += 1
        self.sock.sendall(struct.pack(">IHHQQI", REQUEST_MAGIC, 0, kind, self.cookie, offset, length) + data)
        magic, error, cookie = struct.unpack(">IIQ", self._recv(16))
        if magic != SIMPLE_REPLY_MAGIC or cookie != self.cookie:
            raise NbdError(f"bad reply (magic {magic:#x}, cookie {cookie} for {self.cookie})")
        return error

    def read(self, offset, length):
        """(error, data): data only when error is 0."""
        error = self._request(CMD_READ, offset, length)
        return error, self._recv(length) if error == 0 else b""

    def write(self, offset, data):
        return self._request(CMD_WRITE, offset, len(data), data)

    def flush(self):
        return self._request(CMD_FLUSH, 0, 0)

    def close(self):
        try:
            self.sock.sendall(struct.pack(">IHHQQI", REQUEST_MAGIC, 0, CMD_DISC, 0, 0, 0))
        except OSError:
            pass
        self.sock.close()
