#!/usr/bin/env python3
"""Writes the hand-built seeds of fuzz/corpus/ (run from the repository root; rewrites only the
files named here). The driver-*.bin seeds of target_pdu are not made here: they are the bytes
`quevi login` sent on its connections (a login with keys, a joining connection, a discovery
login), recorded by a proxy between it and `quevi target`."""
import os
import struct

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def pairs(*items):
    return b"".join(i.encode() + b"\0" for i in items)


def pdu(opcode, flags, data=b"", b2_3=b"\0\0", lun=b"\0" * 8, itt=0, w20=0, cmdsn=0,
        expstatsn=0, tail=b"\0" * 16):
    h = struct.pack(">BB2sB", opcode, flags, b2_3, 0) + len(data).to_bytes(3, "big")
    h += lun + struct.pack(">IIII", itt, w20, cmdsn, expstatsn) + tail
    assert len(h) == 48
    return h + data + b"\0" * (-len(data) % 4)


def login(isid=0x1234, tsid=0, target="quevi-target", extra=()):
    text = pairs("InitiatorName=iqn.fuzz:seed", "TargetName=" + target, *extra)
    lun = struct.pack(">HHHH", 1, 0, isid, tsid)  # CID, reserved, ISID, TSID
    return pdu(0x03, 0, text, b"\x01\x02", lun=lun, itt=7, cmdsn=1)


def text(flags, body, cmdsn, itt=7):
    return pdu(0x04, flags, body, itt=itt, cmdsn=cmdsn)


def logged_in(offer=("DataPDULength=8", "MaxOutstandingR2T=2", "ImmediateData=yes")):
    return login() + text(0x05, pairs(*offer), 2) + text(0x8D, b"", 3)


def command(flags, cdb, edtl, cmdsn, itt, data=b"", lun=0):
    cdb = bytes(cdb) + b"\0" * (16 - len(cdb))
    return pdu(0x01, flags, data, lun=bytes([0, lun]) + b"\0" * 6, itt=itt, w20=edtl,
               cmdsn=cmdsn, tail=cdb)


def read10(lba, blocks):
    return [0x28, 0] + list(lba.to_bytes(4, "big")) + [0] + list(blocks.to_bytes(2, "big")) + [0]


def write10(lba, blocks):
    return [0x2A] + read10(lba, blocks)[1:]


def data_out(final, itt, ttt, datasn, offset, data):
    tail = struct.pack(">IIII", 0, datasn, offset, 0)
    return pdu(0x05, 0x80 if final else 0, data, itt=itt, w20=ttt, tail=tail)


def nop_out(opcode, want, itt, ttt, cmdsn, data=b""):
    return pdu(opcode, 0x80 if want else 0, data, itt=itt, w20=ttt, cmdsn=cmdsn)


def logout(cmdsn):
    return pdu(0x06, 0x80, lun=b"\0\x01\0\x01" + b"\0" * 4, itt=0x99, cmdsn=cmdsn)


def write_seeds(harness, seeds):
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def pdu_seeds():
    block = bytes(range(256)) * 16  # 4096 bytes
    return {
        "read-and-housekeeping.bin": logged_in()
        + command(0xC0, read10(0, 16), 8192, 4, 0x10)
        + command(0xC0, [0x12, 0, 0, 0, 36, 0], 36, 5, 0x11)
        + command(0xC0, [0x25] + [0] * 9, 8, 6, 0x12)
        + command(0x80, [0x00] * 6, 0, 7, 0x13)
        + nop_out(0x00, True, 0x14, 0xFFFFFFFF, 8, b"ping")
        + text(0x80, pairs("MaxOutstandingR2T=4", "DataPDULength=?"), 9, itt=0x15)
        + logout(10),
        "write-r2t-data-out.bin": logged_in()
        + command(0xA0, write10(8, 8), 4096, 4, 0x20, block)
        + command(0xA0, write10(64, 32), 16384, 5, 0x21, block)
        + data_out(False, 0x21, 1, 0, 4096, block)
        + data_out(False, 0x21, 1, 1, 8192, block)
        + data_out(True, 0x21, 1, 2, 12288, block)
        + command(0x80, [0x35] + [0] * 9, 0, 6, 0x22)
        + pdu(0x02, 0x81, itt=0x23, w20=0x21, cmdsn=7)
        + logout(8),
        "discovery.bin": login(target="iscsi") + text(0x8D, b"", 2)
        + text(0x80, pairs("SendTargets=All"), 3, itt=0x30)
        + command(0xC0, [0xA0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0], 256, 4, 0x31)
        + logout(5),
        "join-unknown-session.bin": login(isid=0x1234, tsid=0x0042) + text(0x8D, b"", 0),
        "answer-ping-and-reject.bin": logged_in()
        + nop_out(0x40, False, 0xFFFFFFFF, 0x100, 4)
        + pdu(0x1C, 0)
        + command(0xC0, read10(0, 1), 512, 5, 0x40, b"junk")
        + data_out(True, 0x777, 5, 0, 0, block[:512]),
    }


def key_seeds():
    login_text = pairs("InitiatorName=iqn.2001-04.org.quevi:host", "TargetName=quevi-target",
                       "AuthMethod=none", "HeaderDigest=none", "DataDigest=crc-32C")
    all_keys = pairs(
        "MaxConnections=8", "InitialR2T=yes", "BidiInitialR2T=yes", "ImmediateData=yes",
        "DataPDULength=16", "FirstBurstSize=128", "LogoutLoginMinTime=1",
        "LogoutLoginMaxTime=3", "MaxOutstandingR2T=8", "EnableACA=yes", "DataOrder=yes",
        "CommandReplay=no", "BootSession=no", "CopyManagerSession=no", "AuthMethod=CHAP,none",
        "DataDigest=crc-32C", "HeaderDigest=none", "SecurityContextComplete=no")
    odd = pairs("DataPDULength=0x20", "MaxConnections= 8,16", "FirstBurstSize=0,5",
                "MaxOutstandingR2T=?", "Bogus=1", "DataPDULength2=1")
    return {
        "login.bin": b"\x00" + login_text,
        "all-keys.bin": b"\x01" + all_keys,
        "all-keys-rejects.bin": b"\x02" + all_keys,
        "odd-values.bin": b"\x03" + odd,
        "disagree.bin": b"\x04" + pairs("DataPDULength=16", "ImmediateData=?"),
        "out-of-range.bin": b"\x00" + pairs("DataPDULength=65536", "MaxConnections=-5",
                                            "FirstBurstSize=99999999999", "DataPDULength=0"),
        "lun-size.bin": b"\x00" + b"1536MiB",
    }


def scsi_seeds():
    def cdb(*b, lun=0, data=b""):
        c = bytes(b) + b"\0" * (16 - len(b))
        return c + bytes([lun]) + data

    return {
        "inquiry.bin": cdb(0x12, 0, 0, 0, 36, 0),
        "inquiry-vpd-83.bin": cdb(0x12, 1, 0x83, 0, 255, 0),
        "inquiry-vpd-80-lun2.bin": cdb(0x12, 1, 0x80, 0, 255, 0, lun=2),
        "read-capacity-16.bin": cdb(0x9E, 0x10, *([0] * 8), 0, 0, 0, 32, 0, 0),
        "read-capacity-10-lun1.bin": cdb(0x25, lun=1),
        "read6.bin": cdb(0x08, 0, 0, 4, 8, 0),
        "read16.bin": cdb(0x88, 0, *([0] * 7), 16, 0, 0, 0, 64, 0, 0),
        "write10.bin": cdb(0x2A, 0, 0, 0, 0, 8, 0, 0, 2, 0, data=b"\x5a" * 1024),
        "write16-end.bin": cdb(0x8A, 0, *([0] * 7), 7, 0, 0, 0, 1, 0, 0, lun=2, data=b"\x01"),
        "mode-sense-6-all.bin": cdb(0x1A, 0, 0x3F, 0, 255, 0),
        "mode-sense-10-caching.bin": cdb(0x5A, 0, 0x08, 0, 0, 0, 0, 1, 0, 0),
        "report-luns-discovery.bin": cdb(0xA0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, lun=0x80),
        "request-sense.bin": cdb(0x03, 0, 0, 0, 18, 0),
        "sync-cache-16.bin": cdb(0x91),
        "test-unit-ready-lun3.bin": cdb(0x00, lun=3),
    }


if __name__ == "__main__":
    write_seeds("target_pdu", pdu_seeds())
    write_seeds("target_keys", key_seeds())
    write_seeds("target_scsi", scsi_seeds())
