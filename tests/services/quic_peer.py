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
"""
import asyncio
import json
import os
import ssl
import struct
import sys

from aioquic.asyncio import connect
from aioquic.quic.configuration import QuicConfiguration

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


def main():
    host, port, command, args = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
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
    else:
        sys.exit("unknown command " + command)
    asyncio.run(asyncio.wait_for(coro, 600))


if __name__ == "__main__":
    main()
