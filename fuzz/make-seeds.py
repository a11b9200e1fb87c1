#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Bus packets are laid out here by hand from docs/bus-protocol.md, not by the
codec under test. NetBIOS seeds are the captures in tests/data/ and spoiled
copies of them. Files named regression-* are inputs that once failed; this
script leaves them alone. Run it again after changing it and commit the
result: make-seeds.py
"""

import pathlib
import struct

FUZZ = pathlib.Path(__file__).resolve().parent
DATA = FUZZ.parent / "tests" / "data"

MAGIC = b"NVPB"
COMMAND = 0xFF0007
U32, BE32, BOOL, STRING = 1, 2, 3, 4


def write_corpus(target, seeds):
    folder = FUZZ / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        if not old.name.startswith("regression-"):
            old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


# --- bus packets -----------------------------------------------------------

def field(key, kind, value):
    head = struct.pack(">IB", key, kind)
    if kind == U32:
        return head + struct.pack(">I", value)
    if kind == BE32:
        return head + bytes(value)  # the address's bytes as they stand
    if kind == BOOL:
        return head + bytes([1 if value else 0])
    return head + struct.pack(">I", len(value)) + value


def request(sequence, arg, *fields):
    return MAGIC + bytes([1, 1, 0, 0]) + struct.pack(">III", sequence, arg, 0) + b"".join(fields)


def reply(sequence, status, error, text, *fields):
    return (MAGIC + bytes([1, 2, status, 0]) + struct.pack(">III", sequence, error, len(text)) + text +
            b"".join(fields))


def wire_seeds():
    return {
        # The example of docs/bus-protocol.md: every field type.
        "request-every-type": request(
            0x01020304, 0xA0B0C0D0,
            field(3, BE32, [192, 168, 1, 2]), field(5, BOOL, True), field(7, STRING, b"a\0b"),
            field(COMMAND, U32, 1)),
        "request-tcp-probe": request(
            1, 0,
            field(COMMAND, U32, 1), field(1, U32, 3000), field(3, BE32, [127, 0, 0, 1]), field(4, U32, 80),
            field(6, BOOL, False), field(7, STRING, b"HEAD / HTTP/1.0\r\n\r\n"),
            field(8, STRING, b"(?i)^HTTP/1\\.[01] [23]\\d\\d")),
        # Fields out of key order, an empty string, an unknown key.
        "request-unordered": request(
            0xFFFFFFFF, 7,
            field(0xDEADBEEF, STRING, b""), field(COMMAND, U32, 3), field(3, BE32, [10, 0, 0, 9])),
        "request-bare": request(42, 0),
        "request-payload": request(
            9, 0, field(COMMAND, U32, 4), field(3, BE32, [127, 0, 0, 1]), field(4, U32, 137),
            field(15, STRING, bytes(range(256)))),
        # As many fields as a packet may hold, and one more.
        "request-256-fields": request(5, 0, *(field(key, BOOL, key % 2) for key in range(256))),
        "request-257-fields": request(6, 0, *(field(key, U32, key) for key in range(257))),
        "reply-success": reply(
            3, 0, 0, b"",
            field(2, U32, 17), field(14, STRING, b"TESTGROUP"), field(0xFE0010, STRING, b"TESTHOST")),
        "reply-success-connected": reply(4, 0, 0, b"", field(2, U32, 0), field(13, BOOL, True)),
        "reply-failed": reply(5, 1, 0, b"connection refused", field(2, U32, 1)),
        # The example of docs/bus-protocol.md.
        "reply-error-timeout": reply(7, 2, 0xFE000D, b"timeout"),
        "reply-error-bad-message": reply(8, 2, 0xFF0003, b"bad message: truncated field"),
        "reply-error-empty-text": reply(9, 2, 0xFF0001, b""),
    }


# --- NetBIOS answers -------------------------------------------------------

def read_hex(name):
    lines = (DATA / name).read_text().splitlines()
    return bytes.fromhex("".join(line for line in lines if line and not line.startswith("#")))


def netbios_seeds():
    request_bytes = read_hex("nbstat-request.hex")
    answer = read_hex("nbstat-response-nmbd.hex")
    assert len(request_bytes) == 50 and len(answer) == 193

    def spoiled(offset, value):
        copy = bytearray(answer)
        copy[offset:offset + len(value)] = value
        return bytes(copy)

    rdata = 56
    first_entry = rdata + 1
    only_group = spoiled(first_entry + 16, b"\x84")
    for i in range(1, 5):
        only_group = only_group[:first_entry + 18 * i + 16] + b"\x84" + only_group[first_entry + 18 * i + 17:]
    return {
        "response-nmbd": answer,
        "request": request_bytes,
        "too-small": answer[:11],
        "header-only": answer[:12],
        "cut-in-question": answer[:40],
        "cut-before-rdata": answer[:55],
        "cut-in-second-entry": answer[:first_entry + 18 + 9],
        "rcode-3": spoiled(3, b"\x03"),
        "opcode-register": spoiled(2, b"\xa8"),
        "no-answer": spoiled(6, b"\x00\x00"),
        "bad-type": spoiled(46, b"\x00\x20"),
        "bad-class": spoiled(48, b"\x00\x03"),
        "no-names": spoiled(rdata, b"\x00"),
        "rdlength-past-end": spoiled(54, b"\x01\x00"),
        "rdlength-one-entry": spoiled(54, struct.pack(">H", 19)),
        "only-group-names": only_group,
        "name-0x01": spoiled(first_entry, b"\x01\x02__MSBROWSE__\x02"),
    }


# --- the client's words ----------------------------------------------------

def escapes_seeds():
    return {
        "http-request": b"GET / HTTP/1.0\\r\\n\\r\\n",
        "hex-bytes": b"\\x00\\xff\\xAb\\x7F",
        "short-escapes": b"a\\0b\\tc\\\\d\\ne\\r",
        "unknown-escape": b"bad \\q",
        "short-hex": b"\\x4",
        "lone-backslash": b"end\\",
        "raw-bytes": bytes([0, 0x1F, 0x20, 0x22, 0x5C, 0x7E, 0x7F, 0x80, 0xFF]),
    }


def words(*items):
    return b"\0".join(item.encode() if isinstance(item, str) else item for item in items)


def commandline_seeds():
    return {
        "tcp": words("tcp", "127.0.0.1", "80", "--timeout", "3000", "--send0", "HEAD / HTTP/1.0\\r\\n\\r\\n",
                     "--expect0", "(?i)^HTTP/1\\.[01] [23]\\d\\d", "--hold-first-send"),
        "tcp-skip": words("--json", "--wait", "0x1000", "tcp", "host.test", "25", "--skip-first-expect",
                          "--expect1", "^220", "--send1", "QUIT\\r\\n"),
        "udp": words("--bus", "/tmp/bus.sock", "udp", "localhost", "53", "--send0", "\\x00\\x01",
                     "--expect0", "\\x00\\x01", "--send2", "x", "--expect2", "."),
        "netbios": words("netbios", "192.0.2.1", "--timeout", "500"),
        "send": words("send", "10.0.0.1", "137", "--payload", "\\x12\\x34\\0\\0"),
        "request": words("request", "--command", "3", "--be32", "address=192.0.2.1", "--u32", "timeout=0xffffffff",
                         "--bool", "5=true", "--string", "payload=a\\tb", "--u32", "0x10=1"),
        "bad-pattern": words("tcp", "127.0.0.1", "80", "--expect0", "(unclosed"),
        "unresolved": words("tcp", "nowhere.invalid", "80"),
        "sweep": words("--concurrency", "100", "--rate", "50", "--only", "success", "tcp",
                       "10.0.0.0/30,10.0.0.9-11,localhost", "22,80-82"),
        "sweep-netbios": words("netbios", "192.0.2.0/31,host.test", "--all-names"),
        "batch": words("--json", "batch", "-"),
    }


def batch_seeds():
    return {
        "lines": b"# a sweep\n\ntcp 10.0.0.1-2 22,80 --timeout 500\r\nudp 'host.test' 53 --send0 \"\\x00\"\n"
                 b"netbios 10.0.0.0/31 --all-names\nsend 127.0.0.1 9 --payload 'a b'\nrequest --command 5\n",
        "bad-lines": b"bogus\ntcp 10.0.0.1 90-80\ntcp \"unclosed\nudp 10.0.0.1 1 --expect0 (\nbatch x\n",
        "quoting": b"tcp 127.0.0.1 1 --send0 a\\ b'c d'\"e\\\"f\" #comment\n",
    }


if __name__ == "__main__":
    write_corpus("wire", wire_seeds())
    write_corpus("netbios", netbios_seeds())
    write_corpus("escapes", escapes_seeds())
    write_corpus("commandline", commandline_seeds())
    write_corpus("batch", batch_seeds())
