#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/.

Seeds are named after what they hold; inputs that once exposed a fault are
kept beside them under names starting with "regression-" and are not touched
here. The script language of the connection targets is described in
fuzz/harness.hpp.
"""

import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def b(x):
    return x.encode() if isinstance(x, str) else bytes(x)


def P(payload):                     # a packet with its true header
    payload = b(payload)
    return b"P" + struct.pack(">H", len(payload)) + payload


def R(raw):                         # raw bytes
    raw = b(raw)
    return b"R" + bytes([len(raw)]) + raw


def H(announced):                   # a bare header
    return b"H" + struct.pack(">I", announced)


def B(announced, fill=b"a"):        # a header and that many fill bytes
    return b"B" + struct.pack(">I", announced) + fill


def W(ticks):                       # wait, 7 ms ticks
    return b"W" + bytes([ticks])


def L(seconds):                     # wait about that many seconds
    return b"L" + bytes([seconds])


def C(piece):                       # send in pieces of this size from here on
    return b"C" + bytes([piece])


X = b"X"                            # close


def record(length=44, banner=b"OHOS HDC"):
    r = banner + b"\xa1\xa2\xa3\xa4" + b"\x00\x00\x00\x2a"
    r += bytes(0x40 + i % 64 for i in range(len(r), length))
    return r[:length]


CODE = b"\x01\x00"

SEEDS = {
    "packet_reader": {
        "packets-and-bad-headers": b"\x00" + P("hello") + H(0) + H(523265) + P("after") + X,
        "packet-growing-the-buffer": b"\x00" + B(70000) + P("next"),
        "oversized-with-bytes-behind": b"\x00" + B(600000, b"z") + X,
        "max-u32": b"\x00" + H(0xFFFFFFFF) + P("x"),
        "byte-at-a-time": b"\x05" + C(1) + P("list targets") + W(200) + P("x") + X,
        "header-split-by-limit": b"\x03" + R(b"\x00\x00") + W(10) + R(b"\x00\x05") + W(1) + R("hello") + X,
        "slow-server-seconds": b"\x85" + L(10) + P("late") + L(1) + P("later"),
        "close-inside-header": b"\x00" + P("ok") + R(b"\x00\x00") + X,
        "close-inside-payload": b"\x00" + R(b"\x00\x00\x00\x09abc") + X,
    },
    "handshake": {
        "short-record": b"\x3f" + P(record()),
        "long-record-with-key": b"\x05DEVIC" + P(record(108)),
        "sixty-bytes": b"\x00" + P(record(60)),
        "too-short": b"\x3f" + P(record(43)),
        "zero-banner": b"\x3f" + P(b"\0" * 12 + record()[12:]),
        "lower-case-banner": b"\x3f" + P(record(44, b"OHOS HDc")),
        "long-key": b"\x28" + b"K" * 40 + P(record()),
        "silent-server": b"\xbf",
        "record-after-the-limit": b"\xbf" + L(11) + P(record()),
        "record-in-pieces": b"\x3f" + C(3) + P(record(108)),
        "zero-length": b"\x3f" + H(0),
        "closed-early": b"\x3f" + R(b"\x00\x00\x00\x2cOHOS") + X,
    },
    "reply": {
        "coded-texts": bytes([4]) + CODE + b"hi" + bytes([2]) + b"\x05\x00" + bytes([3]) + b"\x03\x00x",
        "split-character": bytes([3]) + b"a\xe4\xb8" + bytes([2]) + b"\xadb",
        "split-four-bytes": bytes([1]) + b"\xf0" + bytes([1]) + b"\x9f" + bytes([1]) + b"\x98" + bytes([1]) + b"\x80",
        "invalid-after-carry": bytes([2]) + b"a\xe4" + bytes([1]) + b"A",
        "lenient-trailing": bytes([3]) + b"ok\n" + bytes([0x83]) + b"\x00\x00\xff",
        "incomplete-at-end": bytes([2]) + b"ok" + bytes([2]) + b"x\xed",
        "surrogate-and-overlong": bytes([6]) + b"\xed\xa0\x80\xc0\xaf!",
        "not-codes": bytes([4]) + b"\x03\x00ab" + bytes([4]) + b"\xe8\x03ab" + bytes([4]) + b"\xe9\x03ab",
    },
    "utf8": {
        # Device text as the benchmark sends it: ASCII runs with 2- and 3-byte characters among them.
        "device-lines": b"\x41" + "0000000001 I hdc/shell: 设备已连接，正在同步日志 — статус: готово, état: réussi\n".encode() * 3,
        "every-width-at-every-offset": b"\x07" + "aé中😀".encode() * 20,
        "long-ascii-then-a-character": b"\x80" + b"x" * 200 + "中".encode() + b"y" * 61,
        "errors-after-vectors": b"\x30" + b"a" * 45 + b"\xed\xa0\x80" + b"b" * 20 + b"\xf4\x90\x80\x80" + b"c" * 30
                                + b"\xe0\x80\xaf" + b"\xc1\xbf" + b"\xf5\x80",
        "cut-at-the-end-of-a-vector": b"\x20" + b"a" * 30 + b"\xf0\x9f\x98\x80" + b"a" * 29 + b"\xe4\xb8",
        "stray-continuations": b"\x10" + b"a" * 31 + b"\x80\x80\x80\x80" + "中".encode() + b"\xbf",
    },
    "collect": {
        "shell-line-then-trailing": b"\x00\x00" + P(CODE + b"hi\n") + W(5) + P(b"\x00\x00x") + P(CODE),
        "shell-silence": b"\x00\x01" + P("abc"),
        "shell-one-byte-trailer": b"\x00\x00" + P("line\n") + P("y") + L(6),
        "hilog-lines": b"\x01\x01" + P(CODE + b"line1\n") + L(4) + P(CODE + b"line2\n"),
        "hilog-nothing": b"\x01\x01",
        "hilog-split-character": b"\x01\x00" + P(b"a\xe4") + P(b"\xb8\xad") + P(CODE),
        "file-progress-then-finish": b"\x02\x00" + P(CODE + b"50%") + L(59) + P(CODE + b"FileTransfer finish"),
        "file-failed-is-not-fail": b"\x02\x01" + P("Failed") + L(61),
        "install-success": b"\x03\x00" + P(CODE + b"installing\n") + P(CODE + b"Success"),
        "install-silence": b"\x03\x01" + L(31),
        "list-targets": b"\x04\x00" + P(b"a\r\n\r\n  b  \n\xc2\xa0c\xe3\x80\x80\n") + P("extra"),
        "wait": b"\x05\x00" + P("device is  ABC123 \n"),
        "wait-two-separators": b"\x05\x00" + P("a is b is c"),
        "fport-fail-text": b"\x06\x00" + P("[Fail]forward exists"),
        "uninstall-empty": b"\x07\x00" + P(CODE),
        "zero-length-mid-collection": b"\x01\x00" + P(CODE + b"x") + H(0) + P("y"),
        "reply-in-pieces": b"\x03\x00" + C(2) + P(CODE + b"Fail") + X,
    },
    "forward_node": {name: b(name) for name in [
        "tcp:8080", "tcp:+0080", "tcp:0", "tcp:65536", "tcp:", "tcp:+", "tcp:-1", "tcp: 80", "TCP:80", "abc",
        "localfilesystem:", "localabstract:my sock", "localreserved:r", "dev:", "dev:/dev/x", "jdwp:1234",
        "jdwp:", "jdwp:4294967296", "ark:12@34@dbg", "ark:12@34@", "ark:", "ark:@@", "ark:12@34",
        "ark:1@2@3@4", "ark:x@y@d", "ark:1@y@d", "tcp8080", "jdwp1",
    ]},
    "address": {name: b(name) for name in [
        "127.0.0.1:8710", "[::1]:8710", "[fe80::1%2]:1", "[::ffff:1.2.3.4]:65535", "localhost:80",
        "host:+80", "1.2.3.4:65536", "01.2.3.4:1", "1.2.3:4", ":", "", "[::1]", "[::1]x:1", "a:b:c",
        "1.2.3.4:00080", "[]:1",
    ]},
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
            safe += "-" + hashlib.sha1(data).hexdigest()[:8]
            with open(os.path.join(folder, safe), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
