"""An independent WebRTC peer for the server's tests and benchmark.

It offers, the server answers. Signaling runs over stdin/stdout, one JSON
object per line: the peer prints {"offer": sdp} and later results; it reads
{"answer": sdp} and {"candidate": ..., "sdpMid": ..., "sdpMLineIndex": ...}.
Host candidates are gathered on loopback only and no STUN server is used, so
nothing leaves this machine.

Modes:
  echo  - opens "tunnel" and "second", sends 1 byte, 16 KiB and 64 KiB on
          "tunnel" and a message on "second", expects each echoed back on its
          own channel, then asks for a burst and checks it arrives complete
          and in order.
  sink  - opens "tunnel", asks for BYTES in 64 KiB messages and reports the
          rate at which they arrived.
"""
import argparse
import asyncio
import json
import os
import struct
import sys
import time

import aioice.ice

# aioice leaves loopback out of its host candidates; the tests want only it.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"] if use_ipv4 else []

from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription  # noqa: E402
from aiortc.sdp import candidate_from_sdp  # noqa: E402


def emit(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def chunk(index, size):
    head = struct.pack(">I", index)
    body = bytes(((index + i) & 0xFF) for i in range(256))
    return (head + body * (size // 256 + 1))[:size]


async def read_lines(queue):
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            await queue.put(None)
            return
        await queue.put(json.loads(line))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["echo", "sink"])
    parser.add_argument("--burst-bytes", type=int, default=20 * 1024 * 1024)
    args = parser.parse_args()

    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    tunnel = pc.createDataChannel("tunnel")
    second = pc.createDataChannel("second") if args.mode == "echo" else None
    done = asyncio.get_running_loop().create_future()

    messages = {"tunnel": asyncio.Queue(), "second": asyncio.Queue()}
    tunnel.on("message", lambda m: messages["tunnel"].put_nowait(m))
    if second:
        second.on("message", lambda m: messages["second"].put_nowait(m))

    async def receive_burst(total):
        expected, received, started = 0, 0, None
        while received < total:
            m = await messages["tunnel"].get()
            if started is None:
                started = time.monotonic()
            if not isinstance(m, bytes) or m != chunk(expected, len(m)):
                return {"burst_ok": False, "at": expected, "received": received}
            expected += 1
            received += len(m)
        seconds = time.monotonic() - started
        return {"burst_ok": received == total, "bytes": received, "messages": expected, "seconds": seconds}

    async def run_echo():
        await opened(tunnel)
        await opened(second)
        sizes = [1, 16 * 1024, 64 * 1024]
        results = {}
        for size in sizes:
            payload = os.urandom(size)
            tunnel.send(payload)
            back = await asyncio.wait_for(messages["tunnel"].get(), 20)
            results[str(size)] = back == payload
        second.send(b"on the second channel")
        back = await asyncio.wait_for(messages["second"].get(), 20)
        results["second"] = back == b"on the second channel"
        emit({"echo": results})
        tunnel.send(("burst %d" % args.burst_bytes).encode())
        emit(await asyncio.wait_for(receive_burst(args.burst_bytes), 120))

    async def run_sink():
        await opened(tunnel)
        tunnel.send(("burst %d" % args.burst_bytes).encode())
        emit(await asyncio.wait_for(receive_burst(args.burst_bytes), 600))

    async def opened(channel):
        if channel.readyState != "open":
            ready = asyncio.get_running_loop().create_future()
            channel.once("open", lambda: ready.done() or ready.set_result(True))
            await asyncio.wait_for(ready, 30)

    await pc.setLocalDescription(await pc.createOffer())
    emit({"offer": pc.localDescription.sdp})

    lines = asyncio.Queue()
    # Held: the loop keeps only weak references to its tasks.
    reader = asyncio.ensure_future(read_lines(lines))

    async def signaling():
        while True:
            msg = await lines.get()
            if msg is None:
                if not done.done():
                    done.set_result(None)
                return
            if "answer" in msg:
                await pc.setRemoteDescription(RTCSessionDescription(sdp=msg["answer"], type="answer"))
            elif "candidate" in msg:
                text = msg["candidate"]
                if text.startswith("candidate:"):
                    text = text[len("candidate:"):]
                candidate = candidate_from_sdp(text)
                candidate.sdpMid = msg.get("sdpMid")
                candidate.sdpMLineIndex = msg.get("sdpMLineIndex")
                await pc.addIceCandidate(candidate)

    signaler = asyncio.ensure_future(signaling())
    try:
        await (run_echo() if args.mode == "echo" else run_sink())
    except Exception as error:  # reported to the test, not hidden
        emit({"error": repr(error)})
    emit({"finished": True})
    await done  # the test closes stdin when it has what it needs
    try:
        await asyncio.wait_for(pc.close(), 5)
    except asyncio.TimeoutError:
        pass
    reader.cancel()
    signaler.cancel()


if __name__ == "__main__":
    asyncio.run(main())
