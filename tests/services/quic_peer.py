#!/usr/bin/env python3
"""An independent QUIC client (aioquic) for the receiver's tests.

quic_peer.py HOST PORT COMMAND [ARGS...]; prints one JSON object per line.
  upload FILE=BUCKET/KEY...   files on one stream, each answered before the next
                              (FILE=BUCKET/KEY#HEX also names the body's SHA-256)
  raw HEX                     these bytes, then the end of the stream; prints the reply
  half FILE=BUCKET/KEY        the header and half the body, then the connection is dropped
  fire FILE=BUCKET/KEY...     each file whole on its own stream with its end, then the
                              connection is closed without waiting for any reply
  idle SECONDS                connects and sends nothing
  alpn NAME                   tries another application protocol
  concurrent N FILE           N connections at once, each uploading FILE as photos/cN
  drip N SECONDS BUCKET/KEY   N streams on one connection, each a header for 1 MB, then one
                              byte every SECONDS, until killed
  hold N                      N connections kept open with pings, until killed
  stall BUCKET/KEY            a header and ten bytes, then nothing (the connection is kept
                              open); prints the reply
  spoil N MIB FILE=BUCKET/KEY N streams each a bad header and MIB MiB after it, then FILE
                              on its own stream; prints its reply
  timed N FILE [PARALLEL]     N uploads of FILE (photos/tN), four (or PARALLEL) at a time, each
                              on its own stream; prints each upload's seconds
Options anywhere: --from=ADDR sends from that local address; --connected connects the
socket to the server's address, so replies from any other address are dropped, as phone
network stacks do.
"""
import asyncio
import json
import os
import ssl
import struct
import sys

import contextlib
import socket
import time

from aioquic.asyncio import connect as aioquic_connect
from aioquic.asyncio.protocol import QuicConnectionProtocol
from aioquic.quic.configuration import QuicConfiguration
from aioquic.quic.connection import QuicConnection

OPTIONS = {"from": None, "connected": False}


@contextlib.asynccontextmanager
async def connect(host, port, configuration):
    if OPTIONS["from"] is None and not OPTIONS["connected"]:
        async with aioquic_connect(host, port, configuration=configuration) as client:
            yield client
        return
    loop = asyncio.get_running_loop()
    kwargs = {"local_addr": (OPTIONS["from"] or "0.0.0.0", 0), "family": socket.AF_INET}
    if OPTIONS["connected"]:
        kwargs["remote_addr"] = (host, port)
    transport, protocol = await loop.create_datagram_endpoint(
        lambda: QuicConnectionProtocol(QuicConnection(configuration=configuration)), **kwargs)
    try:
        protocol.connect((host, port))
        await protocol.wait_connected()
        yield protocol
        protocol.close()
        await protocol.wait_closed()
    finally:
        transport.close()

REPLIES = [b"OK", b"ERROR: Failed to store file", b"ERROR: Invalid header length", b"ERROR: Invalid header"]


def config(alpn="tavro-backup"):
    c = QuicConfiguration(is_client=True, alpn_protocols=[alpn], idle_timeout=60)
    c.verify_mode = ssl.CERT_NONE
    return c


def frame(path, target):
    target, _, sha256 = target.partition("#")
    bucket, key = target.split("/", 1)
    size = os.path.getsize(path)
    fields = {"bucket": bucket, "key": key, "contentType": "application/octet-stream", "size": size}
    if sha256:
        fields["sha256"] = sha256
    header = json.dumps(fields).encode()
    return struct.pack(">I", len(header)) + header


def take_reply(buf, ended=False):
    best = 0
    undecided = False
    for r in REPLIES:
        if buf.startswith(r):
            best = max(best, len(r))
        elif r.startswith(buf):
            undecided = True
    if best and undecided and not ended:
        return None
    return buf[:best] if best else None


async def read_reply(reader, buf):
    while True:
        reply = take_reply(buf[0])
        if reply:
            buf[0] = buf[0][len(reply):]
            return reply.decode()
        chunk = await asyncio.wait_for(reader.read(65536), 60)
        if not chunk:
            reply = take_reply(buf[0], True)
            if reply:
                buf[0] = buf[0][len(reply):]
                return reply.decode()
            return None
        buf[0] += chunk


async def send_file(writer, path, limit=None):
    sent = 0
    with open(path, "rb") as f:
        while limit is None or sent < limit:
            chunk = f.read(min(1 << 20, (limit - sent) if limit is not None else 1 << 20))
            if not chunk:
                break
            writer.write(chunk)
            sent += len(chunk)
            await writer.drain()
            # Let the connection send before the next megabyte is queued.
            await asyncio.sleep(0)


async def upload(host, port, pairs):
    async with connect(host, port, configuration=config()) as client:
        reader, writer = await client.create_stream()
        buf = [b""]
        replies = []
        for pair in pairs:
            path, target = pair.split("=", 1)
            writer.write(frame(path, target))
            await send_file(writer, path)
            replies.append(await read_reply(reader, buf))
        writer.write_eof()
        rest = await asyncio.wait_for(reader.read(), 30)
        print(json.dumps({"replies": replies, "trailing": rest.decode(errors="replace")}))


async def raw(host, port, data):
    async with connect(host, port, configuration=config()) as client:
        reader, writer = await client.create_stream()
        writer.write(data)
        writer.write_eof()
        reply = await asyncio.wait_for(reader.read(), 30)
        print(json.dumps({"reply": reply.decode(errors="replace")}))


async def half(host, port, pair):
    path, target = pair.split("=", 1)
    client_cm = connect(host, port, configuration=config())
    client = await client_cm.__aenter__()
    reader, writer = await client.create_stream()
    writer.write(frame(path, target))
    await send_file(writer, path, os.path.getsize(path) // 2)
    await asyncio.sleep(1.5)
    client.close()
    await client.wait_closed()
    print(json.dumps({"dropped": True}))


async def fire(host, port, pairs):
    client_cm = connect(host, port, configuration=config())
    client = await client_cm.__aenter__()
    ids = []
    for pair in pairs:
        path, target = pair.split("=", 1)
        reader, writer = await client.create_stream()
        writer.write(frame(path, target))
        await send_file(writer, path)
        writer.write_eof()
        ids.append(writer.get_extra_info("stream_id"))

    # Until the server has acknowledged every byte and every end (flow
    # control may hold some back meanwhile); then the connection goes,
    # replies unread.
    def delivered(i):
        stream = client._quic._streams.get(i)
        return stream is None or stream.sender.is_finished

    while not all(delivered(i) for i in ids):
        await asyncio.sleep(0.005)
    client.close()
    await client.wait_closed()
    print(json.dumps({"sent": len(pairs)}))


async def idle(host, port, seconds):
    async with connect(host, port, configuration=config()) as client:
        await client.ping()
        print(json.dumps({"connected": True}), flush=True)
        await asyncio.sleep(seconds)


async def alpn(host, port, name):
    try:
        async with connect(host, port, configuration=config(name)) as client:
            await client.ping()
            print(json.dumps({"handshake": "accepted"}))
    except Exception as e:  # the refusal is what is being tested
        print(json.dumps({"handshake": "refused", "error": repr(e)}))


async def concurrent(host, port, n, path):
    async def one(i):
        async with connect(host, port, configuration=config()) as client:
            reader, writer = await client.create_stream()
            writer.write(frame(path, "photos/c%d" % i))
            await send_file(writer, path)
            reply = await read_reply(reader, [b""])
            writer.write_eof()
            return reply
    replies = await asyncio.gather(*(one(i) for i in range(n)))
    print(json.dumps({"replies": list(replies)}))


def header_only(target, size):
    bucket, key = target.split("/", 1)
    header = json.dumps({"bucket": bucket, "key": key, "contentType": "application/octet-stream",
                         "size": size}).encode()
    return struct.pack(">I", len(header)) + header


async def drip(host, port, n, seconds, target):
    async with connect(host, port, configuration=config()) as client:
        writers = []
        for i in range(n):
            reader, writer = await client.create_stream()
            writer.write(header_only("%s%d" % (target, i), 1000000) + b"x")
            writers.append(writer)
        print(json.dumps({"dripping": n}), flush=True)
        while True:
            await asyncio.sleep(seconds)
            for writer in writers:
                writer.write(b"x")


async def hold(host, port, n):
    stack = contextlib.AsyncExitStack()
    held = []

    async def one():
        try:
            client = await asyncio.wait_for(stack.enter_async_context(connect(host, port, configuration=config())), 5)
            await asyncio.wait_for(client.ping(), 5)
            held.append(client)
        except Exception:
            pass
    for start in range(0, n, 16):
        await asyncio.gather(*(one() for _ in range(start, min(n, start + 16))))
    print(json.dumps({"held": len(held)}), flush=True)
    while True:
        await asyncio.sleep(2)
        for client in held:
            client._quic.send_ping(0)
            client.transmit()


async def stall(host, port, target):
    async with connect(host, port, configuration=config()) as client:
        reader, writer = await client.create_stream()
        writer.write(header_only(target, 1000) + b"0123456789")
        started = time.monotonic()
        reply_task = asyncio.ensure_future(reader.read())
        while not reply_task.done():
            await asyncio.sleep(0.5)
            client._quic.send_ping(0)
            client.transmit()
        print(json.dumps({"reply": reply_task.result().decode(errors="replace"),
                          "seconds": round(time.monotonic() - started, 2)}))


async def timed(host, port, n, path, parallel=4):
    async with connect(host, port, configuration=config()) as client:
        gate = asyncio.Semaphore(parallel)
        times, replies = [], []

        async def one(i):
            async with gate:
                started = time.monotonic()
                reader, writer = await client.create_stream()
                writer.write(frame(path, "photos/t%d" % i))
                await send_file(writer, path)
                replies.append(await read_reply(reader, [b""]))
                writer.write_eof()
                times.append(time.monotonic() - started)
        await asyncio.gather(*(one(i) for i in range(n)))
        print(json.dumps({"replies": replies, "times": times}))


async def spoil(host, port, n, mib, pair):
    async with connect(host, port, configuration=config()) as client:
        for i in range(n):
            reader, writer = await client.create_stream()
            writer.write(struct.pack(">I", 0) + os.urandom(mib << 20))
            await asyncio.sleep(0.2)
        path, target = pair.split("=", 1)
        reader, writer = await client.create_stream()
        writer.write(frame(path, target))
        await send_file(writer, path)
        reply = await read_reply(reader, [b""])
        writer.write_eof()
        print(json.dumps({"reply": reply}))


def main():
    argv = []
    for arg in sys.argv[1:]:
        if arg.startswith("--from="):
            OPTIONS["from"] = arg.split("=", 1)[1]
        elif arg == "--connected":
            OPTIONS["connected"] = True
        else:
            argv.append(arg)
    host, port, command, args = argv[0], int(argv[1]), argv[2], argv[3:]
    if command == "upload":
        coro = upload(host, port, args)
    elif command == "raw":
        coro = raw(host, port, bytes.fromhex(args[0]))
    elif command == "half":
        coro = half(host, port, args[0])
    elif command == "fire":
        coro = fire(host, port, args)
    elif command == "idle":
        coro = idle(host, port, float(args[0]))
    elif command == "alpn":
        coro = alpn(host, port, args[0])
    elif command == "concurrent":
        coro = concurrent(host, port, int(args[0]), args[1])
    elif command == "drip":
        coro = drip(host, port, int(args[0]), float(args[1]), args[2])
    elif command == "hold":
        coro = hold(host, port, int(args[0]))
    elif command == "stall":
        coro = stall(host, port, args[0])
    elif command == "spoil":
        coro = spoil(host, port, int(args[0]), int(args[1]), args[2])
    elif command == "timed":
        coro = timed(host, port, int(args[0]), args[1], int(args[2]) if len(args) > 2 else 4)
    else:
        sys.exit("unknown command " + command)
    asyncio.run(asyncio.wait_for(coro, 3600))


if __name__ == "__main__":
    main()
