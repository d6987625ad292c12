#!/usr/bin/env python3
"""Writes the seed corpora of the bulk and media frame fuzz targets: a few
small valid frames of every kind, written field by field here rather than by
the encoder under test. Run from anywhere; it rewrites both folders."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


def field(data: bytes) -> bytes:
    return struct.pack("<I", len(data)) + data


BULK = {
    "file_data": frame(b"\x11" + struct.pack("<QQ", 7, 1) + field(b"recv_0123abcd")
                       + struct.pack("<I", 0) + field(b"hello chunk")),
    "file_data_empty": frame(b"\x11" + struct.pack("<QQ", 1, 2) + field(b"")
                             + struct.pack("<I", 9) + field(b"")),
    "file_ack": frame(b"\x12" + struct.pack("<Q", 7)
                      + field(b'{"type":"FILE_CHUNK_ACK","taskId":"send_1","chunkIndex":0}')),
    "clipboard": frame(b"\x33" + struct.pack("<Q", 3) + field(b"\x33\x01text")),
    "clipboard_outbound": frame(b"\x34" + struct.pack("<QQ", 3, 2**64 - 1) + field(b"pkt")),
    "thumbnail_image": frame(b"\x35" + struct.pack("<QIIB", 42, 69733378, 0, 0)
                             + field(b"\xff\xd8\xff\xe0jpeg\xff\xd9")),
    "thumbnail_failure": frame(b"\x35" + struct.pack("<QIIB", 42, 1, 2, 1)
                               + field("thumbnail.empty".encode())),
}

MEDIA = {
    "video_key": frame(b"\x01" + struct.pack("<QQQQB", 1, 2, 3, 0, 1)
                       + field(b"\x00\x00\x00\x01\x67\x42\x00\x00\x00\x01\x65\x88")),
    "video_delta": frame(b"\x01" + struct.pack("<QQQQB", 1, 2, 3, 1, 0)
                         + field(b"\x00\x00\x00\x01\x41\x9a")),
    "audio": frame(b"\x02" + struct.pack("<QQQQI", 1, 2, 2, 5, 5) + field(b"opus-packet")),
    "playback": frame(b"\x42" + struct.pack("<QI", 4, 17) + field(b"opus-packet")),
    "playback_empty": frame(b"\x42" + struct.pack("<QI", 4, 0) + field(b"")),
    "short": frame(b"\x7f" + struct.pack("<QI", 1, 2)),
}

for name, corpus in (("bulk_frame", BULK), ("media_frame", MEDIA)):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    for entry, data in corpus.items():
        with open(os.path.join(folder, entry), "wb") as out:
            out.write(data)
