"""Writes the wire vectors of the tunnel format from its layout alone
(independently of the C++ encoder), so that peers in any language can be
checked against the same bytes. Run it only to change the vectors."""
import json
import struct

def frame(msg_type, header, body=b""):
    return struct.pack("<BII", msg_type, len(header), len(body)) + header + body

def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False).encode()

request = frame(1, compact({"id": "req-1", "method": "GET", "path": "/photos/2024/a b.jpg?x=1",
                            "headers": {"Accept": "image/jpeg"}}))
response = frame(2, compact({"id": "req-1", "statusCode": 200, "headers": {"Content-Type": "text/plain"}}), b"hello")
error = frame(3, compact({"id": "req-1", "code": 404, "message": "Not found"}))

# A response of 70000 body bytes, split into two chunks.
message_id = "00000000-0000-4000-8000-000000000001"
header = compact({"id": "req-2", "statusCode": 200, "headers": {"Content-Type": "application/octet-stream"}})
body = bytes(i % 251 for i in range(70000))
whole = frame(2, header, body)
c0 = compact({"messageId": message_id, "chunkIndex": 0, "totalChunks": 2, "originalType": 2,
              "finalHeaderLen": len(header), "finalBodyLen": len(body)})
room0 = 65527 - len(c0) - len(header)
chunk0 = frame(4, c0, header + body[:room0])
c1 = compact({"messageId": message_id, "chunkIndex": 1, "totalChunks": 2, "originalType": 2})
assert len(body) - room0 <= 65527 - len(c1)
chunk1 = frame(4, c1, body[room0:])
assert len(chunk0) == 65536 and len(chunk1) <= 65536

for name, data in [("request.bin", request), ("response.bin", response), ("error.bin", error),
                   ("chunked_response_whole.bin", whole), ("chunked_response_0.bin", chunk0),
                   ("chunked_response_1.bin", chunk1)]:
    with open(name, "wb") as f:
        f.write(data)
