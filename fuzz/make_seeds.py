#!/usr/bin/env python3
"""Writes the hand-built seeds of fuzz/corpus/ (run from the repository root; rewrites only the
files named here). Recorded seeds are not made here: the driver-*.bin seeds of target_pdu are
the bytes `quevi login` sent on its connections, and the login-*.bin seeds of driver_login the
bytes `quevi target` answered (a plain login, one with the security keys and its joining
connection, a renegotiated one, a discovery login), each recorded by a proxy between the two and
prefixed with driver_login's configuration byte and the login string `quevi login` was given."""
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


# ---- the initiator's harnesses: what a target sends, and what the tool hands the driver

# Tags as a fresh engine gives them, on the wire in host (little-endian) order: the session's tag
# for Text and Login (its first session has ISID 0xabcd), command n and the first abort.
SESSION_TAG = struct.pack("<I", 0x3000ABCD)
LOGIN = "InitiatorName=iqn.2001-04.org.quevi:fuzz;TargetName=quevi-target"


def cmd_tag(n):
    return struct.pack("<I", 0x10000100 + n)


ABORT_TAG = struct.pack("<I", 0x20000100)


def answer(opcode, flags=0, data=b"", b2=0, b3=0, b8=b"\0" * 8, tag=b"\0" * 4, w20=0, statsn=0,
           expcmdsn=1, maxcmdsn=64, tail=b"\0" * 12):
    h = struct.pack(">BBBB", opcode, flags, b2, b3) + len(data).to_bytes(4, "big") + b8 + tag
    h += struct.pack(">IIII", w20, statsn, expcmdsn, maxcmdsn) + tail
    assert len(h) == 48
    return h + data + b"\0" * (-len(data) % 4)


def login_rsp(statsn=1, text=b"", status=0, version=2, flags=0, opcode=0xE3, tsid=1):
    b8 = b"\0" * 4 + struct.pack(">HH", 0xABCD, tsid)
    return answer(opcode, flags, text, 1, version, b8, SESSION_TAG, 0, statsn, 2, 64,
                  bytes([status]) + b"\0" * 11)


def text_rsp(statsn, text=b"", flags=0x80, tag=SESSION_TAG, tail=b"\0" * 12):
    return answer(0xE4, flags, text, tag=tag, statsn=statsn, expcmdsn=2, maxcmdsn=64, tail=tail)


def closing(statsn, final=True, status=0, text=b""):
    return login_rsp(statsn, text, status, flags=0x80 if final else 0)


def login_seed(stream, config=0, login=LOGIN):
    text = login.encode()
    return bytes([config]) + struct.pack("<H", len(text)) + text + stream


def driver_login_seeds():
    ok = login_rsp(1) + text_rsp(2) + closing(3)
    return {
        "hostile-not-a-login-response.bin": login_seed(login_rsp(1, opcode=0xE4)),
        "hostile-refused-status.bin": login_seed(login_rsp(1, status=2)),
        "hostile-version-3.bin": login_seed(login_rsp(1, version=3)),
        "hostile-text-never-comes.bin": login_seed(login_rsp(1)[:7] + b"\x64" + login_rsp(1)[8:]),
        "hostile-out-of-range-answer.bin": login_seed(
            login_rsp(1) + text_rsp(2, pairs("DataPDULength=0", "InitialR2T=5")) + closing(3)),
        "hostile-key-twice.bin": login_seed(
            login_rsp(1, pairs("AuthMethod=none", "AuthMethod=CHAP")) + text_rsp(2) + closing(3)),
        "closing-not-final-then-final.bin": login_seed(
            login_rsp(1) + text_rsp(2) + closing(3, final=False) + closing(4, text=b"x=y\0")),
        "negotiation-passes.bin": login_seed(
            login_rsp(1) + text_rsp(2, pairs("DataPDULength=64", "MaxConnections=?"), flags=0)
            + text_rsp(3, pairs("HeaderDigest=reject", "EnableACA=NotUnderstood"), flags=0)
            + text_rsp(4, pairs("LogoutLoginMaxTime=5")) + closing(5)),
        "text-continued.bin": login_seed(
            login_rsp(1) + text_rsp(2, pairs("MaxOutstandingR2T=4"), flags=0x40,
                                    tail=b"\0" * 4 + b"\x07" + b"\0" * 7) + text_rsp(3) + closing(4)),
        "chunked-and-blocking.bin": login_seed(ok, config=0x1A),
        "silent-after-login-response.bin": login_seed(login_rsp(1), config=0x20),
        "silent-in-the-middle-of-a-text.bin": login_seed(
            login_rsp(1) + text_rsp(2, pairs("MaxConnections=1"))[:60], config=0x22),
        "security-keys-and-chap.bin": login_seed(
            login_rsp(1, pairs("AuthMethod=CHAP")) + text_rsp(2) + closing(3),
            login=LOGIN + ";AuthMethod=CHAP,none;HeaderDigest=none;"),
    }


def driver_receive_seeds():
    def data_in(n, offset, data, statsn=0, status=None):
        flags = 0x81 if status is not None else 0
        tail = struct.pack(">I", 0) + struct.pack(">I", offset) + b"\0" * 4
        return answer(0xE5, flags, data, b3=status or 0, tag=cmd_tag(n), statsn=statsn, tail=tail)

    def response(n, statsn, status=0, response=0, sense=b"", flags=0x80, residual=0):
        data = struct.pack(">H", len(sense)) + sense if sense else b""
        return answer(0xE1, flags, data, status, response, tag=cmd_tag(n), w20=residual,
                      statsn=statsn)

    def r2t(n, offset, length, ttt=9):
        return answer(0xF1, 0x80, tag=cmd_tag(n), w20=ttt,
                      tail=b"\0" * 4 + struct.pack(">II", offset, length))

    def tm_rsp(statsn, result=0):
        return answer(0xE2, 0x80, tag=ABORT_TAG, statsn=statsn,
                      tail=bytes([result]) + b"\0" * 11)

    def nop_in(statsn, tag=b"\xff" * 4, ttt=0x10, want=True, data=b""):
        return answer(0xE0, 0x80 if want else 0, data, tag=tag, w20=ttt, statsn=statsn)

    def async_msg(statsn, event, cid=0, delay=0, param3=0):
        tail = b"\0" + bytes([event]) + struct.pack(">HHH", cid, delay, param3) + b"\0" * 4
        return answer(0xF2, 0x80, tag=b"\xff" * 4, statsn=statsn, tail=tail)

    def reject(reason, rejected=b"\0" * 48):
        return answer(0xFF, 0x80, rejected, tail=b"\0" * 4 + bytes([reason]) + b"\0" * 7)

    def logout_rsp(statsn, result=0):
        return answer(0xE6, 0x80, statsn=statsn, tail=bytes([result]) + b"\0" * 11)

    sense = bytes([0x70, 0, 5, 0, 0, 0, 0, 10] + [0] * 4 + [0x24, 0] + [0] * 4)
    relogin = login_rsp(1) + text_rsp(2) + closing(3)
    return {
        "reads-and-status.bin": b"\0" + data_in(0, 0, bytes(2048)) + data_in(0, 2048, b"\x11" * 2048,
                                                                      1, 0)
        + response(2, 2) + response(3, 3, 2, 0, sense) + tm_rsp(4) + response(1, 5, flags=0x84,
                                                                            residual=512),
        "write-r2t-data-out.bin": b"\0" + r2t(1, 0, 4096) + r2t(1, 4096, 8192) + response(1, 1)
        + response(0, 2) + response(2, 3) + response(3, 4),
        "abort-answered-first.bin": b"\x0b" + tm_rsp(1) + response(2, 2) + data_in(3, 0, b"z" * 512,
                                                                               3, 0),
        "target-ping-and-answer.bin": b"\0" + nop_in(1, data=b"ping") + nop_in(1, tag=b"\0\0\0\x07",
                                                                       want=False)
        + text_rsp(2, pairs("MaxOutstandingR2T=4", "DataPDULength=8")) + reject(0x04),
        "check-condition-ends-loop.bin": b"\0" + response(0, 1, 2, 0x80, sense) + response(1, 2),
        "reject-breaks.bin": b"\0" + reject(0x0F) + response(0, 1),
        "logout-requested.bin": b"\0" + async_msg(1, 2) + logout_rsp(2),
        "async-drop-other-connection.bin": b"\0" + async_msg(1, 3, cid=1, delay=1) + response(0, 2)
        + relogin,
        "async-drop-all-and-reconnect.bin": b"\0" + async_msg(1, 4, delay=1, param3=1) + relogin
        + response(0, 1),
        "async-reset.bin": b"\0" + async_msg(1, 1) + response(0, 2),
        "login-response-ends-loop.bin": b"\0" + login_rsp(1),
        "status-out-of-sequence.bin": b"\0" + response(0, 0x40000000),
    }


def driver_keys_seeds():
    return {
        "login-wishes.bin": b"\x08" + pairs(
            "InitiatorName=iqn.2001-04.org.quevi:fuzz", "TargetName=quevi-target",
            "AuthMethod=none", "HeaderDigest=none", "DataDigest=crc-32C", "MaxConnections=2",
            "DataPDULength=32", "ImmediateData=no"),
        "answers.bin": b"\x01" + pairs("DataPDULength=8", "MaxConnections=1", "InitialR2T=no",
                                       "LogoutLoginMaxTime=5", "MaxOutstandingR2T=?"),
        "reject-and-not-understood.bin": b"\x02" + pairs("HeaderDigest=reject",
                                                         "EnableACA=NotUnderstood", "Bogus=reject"),
        "numbers.bin": b"\x13" + pairs("DataPDULength=0x20", "FirstBurstSize=0,5",
                                       "MaxOutstandingR2T= 8,16", "LogoutLoginMinTime=0X1f"),
        "names.bin": b"\x20" + pairs("AuthMethod=SRP", "DataDigest=none", "HeaderDigest=crc-32C",
                                     "AuthMethod=CHAP,none"),
        "out-of-range.bin": b"\x07" + pairs("DataPDULength=65536", "MaxConnections=0"),
        "unknown-key-stops.bin": b"\x00" + pairs("InitialR2T=no", "ImmediateData=no", "Bogus=1",
                                                 "DataPDULength=8"),
        "discovery.bin": b"\xf0" + pairs("InitiatorName=iqn.x", "TargetName= iscsi"),
    }


def control(code, record=b"", signature=b"iSCSI\0\0\0", length=None):
    header = struct.pack("<I", 28) + signature + struct.pack("<IIII", 60, code, 0, len(record))
    data = header + record
    if length is not None:
        data = data[:length].ljust(length, b"\0")
    return struct.pack("<H", len(data)) + data


def add_record(login=LOGIN + ";", connections=1, event="quevi-fuzz-login", bus=0):
    name = event.encode("utf-16-le").ljust(256, b"\0")
    return (struct.pack("<IHHII", 0x7F000001, 3260, 0, connections, len(login)) + name
            + bytes([bus]) + login.encode() + b"\0")


def driver_control_seeds():
    bus0 = b"\0" * 4
    text = bytes([0, 0, 0, 0]) + struct.pack("<I", 16) + b"SendTargets=All\0" + b"\0" * 48
    security = bytes([0, 0, 0, 0]) + b"\0" * 2004
    return {
        "add-conversation.bin": control(1, add_record()) + control(12, security)
        + control(14, bus0 + struct.pack("<I", 0)) + control(13, add_record()) + control(2, struct.pack("<IIB", 0x7F000001, 0, 0))
        + control(11, text) + control(9, add_record()),
        "add-refused-security.bin": control(1, add_record(connections=2)) + control(12, security)
        + control(14, bus0 + struct.pack("<I", 1)) + control(13, add_record()),
        "add-without-event.bin": control(1, add_record(event="")) + control(13, add_record()),
        "add-nul-inside-login.bin": control(1, add_record(login="TargetName=t;\0InitiatorName=i;")),
        "shutdown-and-drop.bin": control(7) + control(8) + control(2, struct.pack("<IIB", 0, 0, 9)),
        "undefined-codes.bin": control(3) + control(10) + control(15) + control(0xFFFFFFFF),
        "foreign-signature.bin": control(7, signature=b"iSCSI\x01\0\0") + control(7, signature=b"SCSIDISK"),
        "short-records.bin": control(1, length=40) + control(11, length=36) + control(14, length=30)
        + control(2, length=3),
        "text-larger-than-buffer.bin": control(11, bytes(4) + struct.pack("<I", 4000) + b"A=1\0"),
        "security-without-add.bin": control(12, security) + control(14, bus0 + bytes(4))
        + control(13, add_record(bus=7)),
    }


if __name__ == "__main__":
    write_seeds("target_pdu", pdu_seeds())
    write_seeds("target_keys", key_seeds())
    write_seeds("target_scsi", scsi_seeds())
    write_seeds("driver_keys", driver_keys_seeds())
    write_seeds("driver_login", driver_login_seeds())
    write_seeds("driver_receive", driver_receive_seeds())
    write_seeds("driver_control", driver_control_seeds())
