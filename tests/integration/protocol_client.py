"""A client of the helper written from docs/protocol.md alone, with nothing
but Python's standard library: it opens a connection, answers the nonce,
pings, runs a tool with the first run operation, streams a run with the
second, and prints "ok" when every answer is what the document says.

usage: python3 protocol_client.py RUNTIME_DIR TOOL
TOOL must print "one" to standard output and "two" to standard error, then
its first argument to standard output, and exit 3.
"""

import os
import socket
import struct
import sys

SERVICE = "group.com.ovak.zefra.helper"
RUN = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:"
RUN_WITH_OPTIONS = (
    "runWithRunID:tool:arguments:input:workingDirectory:environment:options:reply:")
CALL, REPLY, NONCE, PROGRESS = 0, 1, 2, 3


# ---------------------------------------------------------------- MessagePack

def pack(value):
    if value is None:
        return b"\xc0"
    if value is True:
        return b"\xc3"
    if value is False:
        return b"\xc2"
    if isinstance(value, int):
        if 0 <= value < 0x80:
            return bytes([value])
        if -32 <= value < 0:
            return struct.pack(">b", value)
        return b"\xd3" + struct.pack(">q", value)
    if isinstance(value, float):
        return b"\xcb" + struct.pack(">d", value)
    if isinstance(value, str):
        data = value.encode("utf-8")
        return b"\xdb" + struct.pack(">I", len(data)) + data
    if isinstance(value, bytes):
        return b"\xc6" + struct.pack(">I", len(value)) + value
    if isinstance(value, list):
        return b"\xdd" + struct.pack(">I", len(value)) + b"".join(map(pack, value))
    if isinstance(value, dict):
        return (b"\xdf" + struct.pack(">I", len(value)) +
                b"".join(pack(k) + pack(v) for k, v in value.items()))
    raise TypeError(type(value))


def unpack(data, at=0):
    """Returns (value, offset after it)."""
    tag = data[at]
    at += 1

    def take(count):
        return data[at:at + count], at + count

    if tag <= 0x7f:
        return tag, at
    if tag >= 0xe0:
        return tag - 0x100, at
    if 0xa0 <= tag <= 0xbf:
        raw, end = take(tag & 0x1f)
        return raw.decode("utf-8"), end
    if 0x90 <= tag <= 0x9f:
        return unpack_array(data, at, tag & 0x0f)
    if 0x80 <= tag <= 0x8f:
        return unpack_map(data, at, tag & 0x0f)
    if tag == 0xc0:
        return None, at
    if tag in (0xc2, 0xc3):
        return tag == 0xc3, at
    sizes = {0xcc: ">B", 0xcd: ">H", 0xce: ">I", 0xcf: ">Q",
             0xd0: ">b", 0xd1: ">h", 0xd2: ">i", 0xd3: ">q", 0xca: ">f", 0xcb: ">d"}
    if tag in sizes:
        raw, end = take(struct.calcsize(sizes[tag]))
        return struct.unpack(sizes[tag], raw)[0], end
    lengths = {0xd9: ">B", 0xda: ">H", 0xdb: ">I",   # str
               0xc4: ">B", 0xc5: ">H", 0xc6: ">I",   # bin
               0xdc: ">H", 0xdd: ">I",               # array
               0xde: ">H", 0xdf: ">I"}               # map
    if tag in lengths:
        raw, at = take(struct.calcsize(lengths[tag]))
        count = struct.unpack(lengths[tag], raw)[0]
        if tag in (0xdc, 0xdd):
            return unpack_array(data, at, count)
        if tag in (0xde, 0xdf):
            return unpack_map(data, at, count)
        raw, end = take(count)
        return (raw.decode("utf-8") if tag in (0xd9, 0xda, 0xdb) else bytes(raw)), end
    raise ValueError("MessagePack type 0x%02x is not used by the helper" % tag)


def unpack_array(data, at, count):
    items = []
    for _ in range(count):
        item, at = unpack(data, at)
        items.append(item)
    return items, at


def unpack_map(data, at, count):
    entries = {}
    for _ in range(count):
        key, at = unpack(data, at)
        entries[key], at = unpack(data, at)
    return entries, at


# ---------------------------------------------------------------- frames

class Connection:
    def __init__(self, runtime_dir):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(os.path.join(runtime_dir, SERVICE))
        self.next_call = 1
        # The helper speaks first: its nonce, which must come back unchanged.
        opening = self.receive()
        assert opening[0] == NONCE and isinstance(opening[1], bytes), opening
        self.send(opening)

    def send(self, message):
        body = pack(message)
        self.sock.sendall(struct.pack(">I", len(body)) + body)

    def read_exactly(self, count):
        data = bytearray()
        while len(data) < count:
            more = self.sock.recv(count - len(data))
            if not more:
                raise ConnectionError("the helper closed the connection")
            data += more
        return bytes(data)

    def receive(self):
        (length,) = struct.unpack(">I", self.read_exactly(4))
        message, end = unpack(self.read_exactly(length))
        assert end == length and isinstance(message, list), message
        return message

    def call(self, selector, *arguments, on_progress=None):
        """Sends a call and returns its reply values; progress of the call
        goes to on_progress as it comes."""
        call_id = self.next_call
        self.next_call += 1
        self.send([CALL, call_id, selector, *arguments])
        while True:
            message = self.receive()
            assert message[1] == call_id, message
            if message[0] == PROGRESS:
                on_progress(*message[2:])
                continue
            assert message[0] == REPLY, message
            return message[2:]


def main():
    runtime_dir, tool = sys.argv[1], sys.argv[2]
    helper = Connection(runtime_dir)

    (version,) = helper.call("pingWithReply:")
    assert isinstance(version, str) and version, version

    out, err, status = helper.call(RUN, "first", tool, ["x"], None, None, {})
    assert (out, err, status) == (b"one\nx", b"two\n", 3), (out, err, status)

    chunks = {1: b"", 2: b""}
    order = []

    def on_chunk(stream, chunk):
        chunks[stream] += chunk
        order.append(stream)

    options = {"stream": True, "timeout": 30.5, "outputLimit": 5, "cancelOnDisconnect": True}
    (outcome,) = helper.call(RUN_WITH_OPTIONS, "second", tool, ["xyz"], b"", "/", {"A": "1"},
                             options, on_progress=on_chunk)
    assert chunks == {1: b"one\nx", 2: b"two\n"}, chunks
    assert outcome["exitStatus"] == 3 and "signal" not in outcome, outcome
    assert outcome["standardOutputTruncated"] and not outcome["standardErrorTruncated"], outcome
    assert not outcome["cancelled"] and not outcome["timedOut"], outcome
    assert outcome["standardOutput"] == b"" and outcome["standardError"] == b"", outcome
    assert isinstance(outcome["duration"], float) and outcome["duration"] > 0, outcome

    (missing,) = helper.call(RUN_WITH_OPTIONS, "third", "no-such-tool", [], None, None, {}, None)
    assert missing["failure"] == "notAvailable", missing
    assert missing["message"] == "'no-such-tool' is not installed or not allowed.", missing

    # cancelWithRunID: is one-way: call ID 0, and no reply.
    helper.send([CALL, 0, "cancelWithRunID:", "nothing-by-that-name"])
    (again,) = helper.call("pingWithReply:")
    assert again == version
    print("ok")


if __name__ == "__main__":
    main()
