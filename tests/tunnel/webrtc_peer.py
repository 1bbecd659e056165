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
  folder - signals through the record files of the server's folder record
          store instead of stdin/stdout (--records DIR): finds the server's
          registration, writes an offer and a candidate, reads the answer and
          the server's candidates, then checks one echo on "tunnel".
  answer - the other way round: reads {"offer": sdp} and candidates, prints
          {"answer": sdp}, and echoes every message on every channel the
          server opens, reporting {"opened": label} for each.
  tunnel - signals through the record files like folder, then speaks the
          tunnel's message format (from its byte layout alone) and takes
          commands on stdin, one JSON object per line:
            {"send": {request}, "channel": label, "close_after_bytes": n}
            {"many": n, "path": p}   n requests at once, counted by outcome
            {"raw_b64": bytes, "channel": label}
            {"close": true}
          and reports each answer as {"reply": {...}} (status or error code,
          headers, body size, SHA-256, the body itself when small).
"""
import argparse
import asyncio
import base64
import datetime
import hashlib
import json
import os
import struct
import sys
import time
import uuid

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


class RecordFolder:
    """The folder record store, read and written the way another device would."""

    def __init__(self, root, device_id, per_device=False):
        self.root = root
        self.device_id = device_id
        # Messages to a device in its own folder "to-<id>", or all in one.
        self.per_device = per_device

    def server_id(self):
        folder = os.path.join(self.root, "ServerRegistration")
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if name.endswith(".json") and not name.startswith("."):
                with open(os.path.join(folder, name)) as f:
                    fields = json.load(f)["fields"]
                if fields["isOnline"]["value"]:
                    return fields["deviceId"]["value"]
        return None

    def write_message(self, session, target, kind, **extra):
        now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")
        fields = {
            "sessionId": {"type": "string", "value": session},
            "senderId": {"type": "string", "value": self.device_id},
            "targetDeviceId": {"type": "string", "value": target},
            "type": {"type": "string", "value": kind},
            "processed": {"type": "boolean", "value": False},
            "timestamp": {"type": "timestamp", "value": now},
        }
        for key, value in extra.items():
            kind_name = "int64" if isinstance(value, int) else "string"
            fields[key] = {"type": kind_name, "value": value}
        name = str(uuid.uuid4()).upper()
        folder = os.path.join(self.root, "SignalingMessage")
        if self.per_device:
            folder = os.path.join(folder, "to-" + target)
        os.makedirs(folder, exist_ok=True)
        temporary = os.path.join(folder, "." + name + ".tmp")
        with open(temporary, "w") as f:
            json.dump({"recordType": "SignalingMessage", "recordName": name, "fields": fields}, f)
        os.rename(temporary, os.path.join(folder, name + ".json"))

    def take_messages(self):
        """Messages addressed to this device, oldest first; each read once."""
        folder = os.path.join(self.root, "SignalingMessage")
        if self.per_device:
            folder = os.path.join(folder, "to-" + self.device_id)
        found = []
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            if not name.endswith(".json") or name.startswith("."):
                continue
            path = os.path.join(folder, name)
            try:
                with open(path) as f:
                    fields = {k: v["value"] for k, v in json.load(f)["fields"].items()}
            except (OSError, ValueError, KeyError):
                continue
            if fields.get("targetDeviceId") == self.device_id:
                found.append(fields)
                os.remove(path)
        return sorted(found, key=lambda m: m["timestamp"])


async def read_lines(queue):
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=256 * 1024 * 1024)  # commands may carry bodies
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            await queue.put(None)
            return
        await queue.put(json.loads(line))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["echo", "sink", "folder", "tunnel", "answer"])
    parser.add_argument("--records")
    parser.add_argument("--per-device-folders", action="store_true")
    parser.add_argument("--burst-bytes", type=int, default=20 * 1024 * 1024)
    args = parser.parse_args()

    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    if args.mode == "answer":
        await run_answer(pc)
        return
    tunnel = pc.createDataChannel("tunnel")
    second = pc.createDataChannel("second") if args.mode in ("echo", "tunnel") else None
    done = asyncio.get_running_loop().create_future()

    messages = {"tunnel": asyncio.Queue(), "second": asyncio.Queue()}
    if args.mode != "tunnel":
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
    if args.mode in ("folder", "tunnel"):
        records = RecordFolder(args.records, str(uuid.uuid4()).upper(), args.per_device_folders)
        if args.mode == "folder":
            await run_folder(pc, tunnel, messages["tunnel"], records)
        else:
            await run_tunnel(pc, {"tunnel": tunnel, "second": second}, records)
        emit({"finished": True})
        try:
            await asyncio.wait_for(pc.close(), 5)
        except asyncio.TimeoutError:
            pass
        return
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
                await add_candidate_from(pc, msg)

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


async def connect_folder(pc, tunnel, records):
    """Offers through the record files until the channel opens; returns the
    server's id and the count of messages read, or an error text."""
    server = None
    for _ in range(100):
        server = records.server_id()
        if server:
            break
        await asyncio.sleep(0.1)
    if not server:
        return None, None, "no online server registration"
    session = str(uuid.uuid4()).upper()
    sdp = pc.localDescription.sdp
    records.write_message(session, server, "offer", sdp=sdp)
    # Our candidate again as its own record, as a trickling client sends it.
    for line in sdp.splitlines():
        if line.startswith("a=candidate:"):
            records.write_message(session, server, "ice-candidate", candidate=line[2:], sdpMid="0", sdpMLineIndex=0)
            break
    answered, pending, counts = False, [], {"answer": 0, "ice-candidate": 0}
    opened = asyncio.get_running_loop().create_future()
    tunnel.on("open", lambda: opened.done() or opened.set_result(True))
    deadline = time.monotonic() + 60
    while tunnel.readyState != "open" and time.monotonic() < deadline:
        for message in records.take_messages():
            if message.get("sessionId") != session:
                continue
            counts[message["type"]] = counts.get(message["type"], 0) + 1
            if message["type"] == "answer":
                await pc.setRemoteDescription(RTCSessionDescription(sdp=message["sdp"], type="answer"))
                answered = True
            elif message["type"] == "ice-candidate":
                pending.append(message)
        while answered and pending:
            await add_candidate_from(pc, pending.pop(0))
        await asyncio.sleep(0.1)
    if tunnel.readyState != "open":
        return None, None, "channel did not open: %r" % counts
    return server, counts, None


async def run_folder(pc, tunnel, received, records):
    try:
        server, counts, error = await connect_folder(pc, tunnel, records)
        if error:
            emit({"error": error})
            return
        tunnel.send(b"hello through the folder")
        back = await asyncio.wait_for(received.get(), 20)
        emit({"folder": {"echo": back == b"hello through the folder", "server": server, "counts": counts}})
    except Exception as error:  # reported to the test, not hidden
        emit({"error": repr(error)})


def add_candidate_from(pc, msg):
    text = msg["candidate"]
    if text.startswith("candidate:"):
        text = text[len("candidate:"):]
    candidate = candidate_from_sdp(text)
    candidate.sdpMid = msg.get("sdpMid")
    candidate.sdpMLineIndex = msg.get("sdpMLineIndex")
    return pc.addIceCandidate(candidate)


async def run_answer(pc):
    channels = []

    @pc.on("datachannel")
    def on_channel(channel):
        channels.append(channel)
        emit({"opened": channel.label})
        channel.on("message", lambda m: channel.send(m))

    lines = asyncio.Queue()
    reader = asyncio.ensure_future(read_lines(lines))  # held: weak references only otherwise
    try:
        while True:
            msg = await lines.get()
            if msg is None:
                break
            if "offer" in msg:
                await pc.setRemoteDescription(RTCSessionDescription(sdp=msg["offer"], type="offer"))
                await pc.setLocalDescription(await pc.createAnswer())
                emit({"answer": pc.localDescription.sdp})
            elif "candidate" in msg:
                await add_candidate_from(pc, msg)
            elif "flood" in msg:
                # As fast as the transport takes them, never waiting for the
                # other side to read: a peer that does not pace itself.
                payload = bytes([msg.get("fill", 0x61)]) * msg["size"]
                for _ in range(msg["flood"]):
                    channels[0].send(payload)
                emit({"flooded": msg["flood"]})
    except Exception as error:  # reported to the test, not hidden
        emit({"error": repr(error)})
    emit({"finished": True})
    try:
        await asyncio.wait_for(pc.close(), 5)
    except asyncio.TimeoutError:
        pass
    reader.cancel()


MAX_MESSAGE = 65536


def frame(msg_type, header, body=b""):
    return struct.pack("<BII", msg_type, len(header), len(body)) + header + body


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False).encode()


def request_messages(request, body):
    """The messages of one request: itself, or its chunks when too large."""
    header = compact(request)
    whole = frame(1, header, body)
    if len(whole) <= MAX_MESSAGE:
        return [whole]
    payload = header + body
    message_id = str(uuid.uuid4()).upper()
    room = 65000
    total = (len(payload) + room - 1) // room
    out = []
    for index in range(total):
        chunk_header = {"messageId": message_id, "chunkIndex": index, "totalChunks": total, "originalType": 1}
        if index == 0:
            chunk_header.update(finalHeaderLen=len(header), finalBodyLen=len(body))
        out.append(frame(4, compact(chunk_header), payload[index * room:(index + 1) * room]))
    return out


class TunnelReader:
    """Answers as they arrive on a channel, chunks put back together."""

    def __init__(self):
        self.partial = {}

    def feed(self, data, label):
        if not isinstance(data, bytes) or len(data) < 9:
            return {"malformed": True, "channel": label}
        kind, hlen, blen = struct.unpack_from("<BII", data)
        if 9 + hlen + blen != len(data):
            return {"malformed": True, "channel": label}
        header, body = data[9:9 + hlen], data[9 + hlen:]
        if kind != 4:
            return self.decode(kind, header, body, label, 1, len(data), False)
        chunk = json.loads(header)
        state = self.partial.setdefault(chunk["messageId"], {"parts": [], "largest": 0})
        if chunk["chunkIndex"] != len(state["parts"]):
            return {"malformed": True, "channel": label, "why": "chunk out of order"}
        if chunk["chunkIndex"] == 0:
            state.update(h=chunk["finalHeaderLen"], b=chunk["finalBodyLen"], type=chunk["originalType"])
        state["parts"].append(body)
        state["largest"] = max(state["largest"], len(data))
        if len(state["parts"]) < chunk["totalChunks"]:
            return None
        del self.partial[chunk["messageId"]]
        whole = b"".join(state["parts"])
        if len(whole) != state["h"] + state["b"]:
            return {"malformed": True, "channel": label, "why": "lengths"}
        return self.decode(state["type"], whole[:state["h"]], whole[state["h"]:], label,
                           len(state["parts"]), state["largest"], True)

    @staticmethod
    def decode(kind, header, body, label, chunks, largest, chunked):
        fields = json.loads(header)
        reply = {"id": fields.get("id"), "channel": label, "chunks": chunks, "largest": largest, "chunked": chunked}
        if kind == 2:
            reply.update(type="response", statusCode=fields["statusCode"], headers=fields.get("headers", {}),
                         size=len(body), sha256=hashlib.sha256(body).hexdigest())
            if len(body) <= MAX_MESSAGE:
                reply["body_b64"] = base64.b64encode(body).decode()
        elif kind == 3:
            reply.update(type="error", code=fields["code"], message=fields["message"])
        else:
            reply.update(type="unexpected", kind=kind)
        return reply


async def run_tunnel(pc, channels, records):
    server, counts, error = await connect_folder(pc, channels["tunnel"], records)
    if error:
        emit({"error": error})
        return
    if channels["second"].readyState != "open":
        ready = asyncio.get_running_loop().create_future()
        channels["second"].once("open", lambda: ready.done() or ready.set_result(True))
        await asyncio.wait_for(ready, 30)
    emit({"connected": {"server": server, "counts": counts}})

    many = {"waiting": set(), "outcomes": {}, "done": None}
    watch = {"close_after": None, "received": 0}
    closed = asyncio.get_running_loop().create_future()

    async def hang_up():
        if not closed.done():
            closed.set_result(True)
            await pc.close()
            emit({"closed": True})

    def on_message(label, reader):
        def handle(data):
            if isinstance(data, bytes) and data[:1] == b"\x04" and watch["close_after"] is not None:
                watch["received"] += len(data)
                if watch["received"] >= watch["close_after"]:
                    watch["close_after"] = None
                    hold.append(asyncio.ensure_future(hang_up()))
                    return
            reply = reader.feed(data, label)
            if reply is None:
                return
            if reply.get("id") in many["waiting"]:
                many["waiting"].discard(reply["id"])
                key = "status %s" % reply["statusCode"] if reply.get("type") == "response" else "error %s" % reply.get("code")
                many["outcomes"][key] = many["outcomes"].get(key, 0) + 1
                if not many["waiting"] and many["done"] and not many["done"].done():
                    many["done"].set_result(True)
            else:
                emit({"reply": reply})
        return handle

    hold = []
    for label, channel in channels.items():
        channel.on("message", on_message(label, TunnelReader()))

    lines = asyncio.Queue()
    hold.append(asyncio.ensure_future(read_lines(lines)))
    while True:
        command = await lines.get()
        if command is None:
            break
        if "send" in command:
            request = dict(command["send"])
            body = base64.b64decode(request.pop("body_b64", ""))
            if command.get("close_after_bytes"):
                watch.update(close_after=command["close_after_bytes"], received=0)
            for message in request_messages(request, body):
                channels[command.get("channel", "tunnel")].send(message)
        elif "raw_b64" in command:
            channels[command.get("channel", "tunnel")].send(base64.b64decode(command["raw_b64"]))
        elif "many" in command:
            ids = ["many-%d" % i for i in range(command["many"])]
            many.update(waiting=set(ids), outcomes={}, done=asyncio.get_running_loop().create_future())
            for request_id in ids:
                channels["tunnel"].send(frame(1, compact({"id": request_id, "method": "GET", "path": command["path"],
                                                          "headers": {}})))
            try:
                await asyncio.wait_for(many["done"], 120)
            except asyncio.TimeoutError:
                pass
            emit({"many": {"outcomes": many["outcomes"], "unanswered": len(many["waiting"])}})
        elif "close" in command:
            await hang_up()
    await hang_up()


if __name__ == "__main__":
    asyncio.run(main())
