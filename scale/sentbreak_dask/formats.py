# SPDX-License-Identifier: MIT
"""The compressed formats, known by suffix, and the independent parts of a
file in each, found without decompressing it: the blocks of an xz file,
from the index at the end of each stream; the frames of a zstd file, from
their headers; the streams of a bzip2 file, from the signature that starts
each; a gzip file is one part.

An xz block is decoded alone as a stream of its own, made of a stream
header, the block as it stands, and an index and footer for it alone: the
head and tail of its Part. Nothing here imports Dask.
"""

import collections
import re
import struct
import zlib

from .program import Failure

SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
ESTIMATE = 4  # decompressed bytes counted per compressed byte, where the
# part itself does not say

XZ_MAGIC, XZ_FOOTER_MAGIC = b"\xfd7zXZ\0", b"YZ"
ZSTD_MAGIC = 0xFD2FB528
BZ2_STREAM = re.compile(rb"BZh[1-9](1AY&SY|\x17rE8P\x90)")  # block or end

# [start, end) of the file, and size, the bytes it decodes to where known;
# head and tail: what goes before and after those bytes to decode them.
Part = collections.namedtuple("Part", "start end size head tail",
                              defaults=(b"", b""))


def format_of(path):
    """The format that path's suffix names, or None."""
    for suffix, name in SUFFIXES.items():
        if path.endswith(suffix):
            return name
    return None


def weight(part):
    """The decompressed bytes that part counts for, known or estimated."""
    if part.size is not None:
        return part.size
    return (part.end - part.start) * ESTIMATE


def layout(fmt, read, size):
    """The Parts of a file of size bytes in format fmt, in order; read(at,
    n) gives n bytes of it from at, or fewer at its end."""
    if size == 0:
        raise Failure("empty, which is no %s file" % fmt)
    return {"xz": xz_parts, "zstd": zstd_parts, "bzip2": bzip2_parts,
            "gzip": lambda read, size: [Part(0, size, None)]}[fmt](read, size)


def exactly(read, at, n, what):
    data = read(at, n) if at >= 0 else b""
    if len(data) != n:
        raise Failure("truncated %s data" % what)
    return data


def crc(data):
    return struct.pack("<I", zlib.crc32(data))


# xz

def vli(data, at):
    """The variable-length integer of xz at data[at:], and where it ends."""
    value = 0
    for i in range(9):
        if at + i >= len(data):
            break
        value |= (data[at + i] & 0x7F) << (7 * i)
        if not data[at + i] & 0x80:
            return value, at + i + 1
    raise Failure("corrupt xz data: a bad number in its index")


def vli_bytes(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out) + bytes([value])


def xz_index(records):
    """An xz index of records, each (unpadded size, uncompressed size)."""
    index = b"\0" + vli_bytes(len(records)) + b"".join(
        vli_bytes(u) + vli_bytes(n) for u, n in records)
    index += b"\0" * (-len(index) % 4)
    return index + crc(index)


def xz_wrap(flags, records):
    """The head and tail that make the blocks of records a stream."""
    index = xz_index(records)
    footer = struct.pack("<I", len(index) // 4 - 1) + flags
    return XZ_MAGIC + flags + crc(flags), index + crc(footer) + footer + \
        XZ_FOOTER_MAGIC


def not_xz(read):
    if read(0, 6) == XZ_MAGIC:
        return Failure("truncated xz data, or data after its end")
    return Failure("not an xz file")


def xz_stream(read, end):
    """The Parts of the xz stream that ends at end, and where it starts."""
    footer = exactly(read, end - 12, 12, "xz")
    if footer[10:] != XZ_FOOTER_MAGIC:
        raise not_xz(read)
    if crc(footer[4:10]) != footer[:4]:
        raise Failure("corrupt xz data: its stream footer is damaged")
    length, flags = (struct.unpack("<I", footer[4:8])[0] + 1) * 4, \
        footer[8:10]
    index = exactly(read, end - 12 - length, length, "xz")
    if index[0] != 0 or crc(index[:-4]) != index[-4:]:
        raise Failure("corrupt xz data: its index is damaged")
    records = xz_records(index)
    if xz_index(records) != index:
        raise Failure("corrupt xz data: its index is damaged")
    start = end - 12 - length - sum(-(-u // 4) * 4 for u, _ in records) - 12
    header = exactly(read, start, 12, "xz")
    if header[:6] != XZ_MAGIC or header[6:8] != flags or \
            crc(flags) != header[8:]:
        raise Failure("corrupt xz data: its stream header does not match "
                      "its index")
    parts, at = [], start + 12
    for unpadded, size in records:
        head, tail = xz_wrap(flags, [(unpadded, size)])
        step = -(-unpadded // 4) * 4
        parts.append(Part(at, at + step, size, head, tail))
        at += step
    return parts, start


def xz_parts(read, size):
    """The blocks of each stream of an xz file, stream padding skipped."""
    streams, end = [], size
    if size % 4:
        raise not_xz(read)
    while end > 0:
        while end >= 4 and read(end - 4, 4) == b"\0" * 4:
            end -= 4
        parts, end = xz_stream(read, end)
        streams.append(parts)
    parts = [p for parts in reversed(streams) for p in parts]
    return parts or [Part(0, 0, 0, *xz_wrap(b"\0\1", []))]


def xz_records(index):
    """The records of an xz index: (unpadded size, uncompressed size)."""
    count, at = vli(index, 1)
    records = []
    for _ in range(count):
        unpadded, at = vli(index, at)
        size, at = vli(index, at)
        records.append((unpadded, size))
    return records


def xz_join(parts):
    """One Part for consecutive block Parts of one stream."""
    records = [r for p in parts for r in xz_records(p.tail[:-12])]
    head, tail = xz_wrap(parts[0].head[6:8], records)
    return Part(parts[0].start, parts[-1].end, sum(p.size for p in parts),
                head, tail)


# zstd

ZstdHeader = collections.namedtuple("ZstdHeader", "length size checked")


def zstd_header(read, at):
    """The header of the zstd frame at at: its length, the content size it
    gives or None, and whether a checksum ends the frame; None for a
    skippable frame."""
    head = exactly(read, at, 6, "zstd")
    magic = struct.unpack("<I", head[:4])[0]
    if magic & 0xFFFFFFF0 == 0x184D2A50:
        return None
    if magic != ZSTD_MAGIC:
        raise Failure("not a zstd file, or one with data after its end")
    fhd = head[4]
    single, dict_id = fhd >> 5 & 1, (0, 1, 2, 4)[fhd & 3]
    fcs = (1 if single else 0, 2, 4, 8)[fhd >> 6]
    length = 5 + (0 if single else 1) + dict_id
    size = None
    if fcs:
        size = int.from_bytes(exactly(read, at + length, fcs, "zstd"),
                              "little") + (256 if fcs == 2 else 0)
    return ZstdHeader(length + fcs, size, bool(fhd >> 2 & 1))


def skippable_end(read, at):
    return at + 8 + struct.unpack("<I", exactly(read, at + 4, 4, "zstd"))[0]


def zstd_blocks(read, at):
    """Yields (offset, length, kind, size field) of each block from at on,
    the last one included."""
    while True:
        h = int.from_bytes(exactly(read, at, 3, "zstd"), "little")
        kind, n = h >> 1 & 3, h >> 3
        if kind == 3 or n > 128 << 10:
            raise Failure("corrupt zstd data: a bad block header")
        length = 3 + (1 if kind == 1 else n)
        yield at, length, kind, n
        at += length
        if h & 1:
            return


def zstd_holds_text(read, at, n):
    """Whether the compressed zstd block of n bytes at at decodes to any
    byte: it has literals, or a sequence, each of which copies three bytes
    at least. Literals that are compressed are taken to hold some."""
    head = exactly(read, at, min(n, 4), "zstd")
    kind, form = head[0] & 3, head[0] >> 2 & 3
    if kind > 1:
        return True
    length = (1, 2, 1, 3)[form]
    size = int.from_bytes(head[:length], "little") >> (3 if length == 1
                                                       else 4)
    at += length + (kind == 1)  # an RLE byte after the header
    return bool(size) or exactly(read, at, 1, "zstd")[0] != 0


def zstd_frame(read, at, header):
    """Walks the zstd frame at at, whose header is given: returns its end,
    and its decoded size where its header or its blocks give it, else
    None, for a frame that holds text."""
    known, text, at = 0, False, at + header.length
    for offset, length, kind, n in zstd_blocks(read, at):
        at = offset + length
        if kind == 2:
            text = text or zstd_holds_text(read, offset + 3, n)
        else:
            known += n
    if header.checked:
        exactly(read, at, 4, "zstd")
        at += 4
    if header.size is not None:
        return at, header.size
    return at, None if text else known


def zstd_parts(read, size):
    """Each zstd frame with the skippable frames before it."""
    parts, start, at = [], 0, 0
    while at < size:
        header = zstd_header(read, at)
        if header is None:
            at = skippable_end(read, at)
            continue
        at, n = zstd_frame(read, at, header)
        parts.append(Part(start, at, n))
        start = at
    if at != size:
        raise Failure("truncated zstd data")
    if not parts:  # skippable frames alone
        return [Part(0, size, 0)]
    if start < size:  # skippable frames at the end
        parts[-1] = parts[-1]._replace(end=size)
    return parts


# bzip2

def bzip2_parts(read, size):
    """Each bzip2 stream, found by the signature that begins it."""
    starts, at, tail = [], 0, b""
    while at < size:
        chunk = read(at, 1 << 20)
        if not chunk:
            break
        data = tail + chunk
        base = at - len(tail)
        for m in BZ2_STREAM.finditer(data):
            if not starts or base + m.start() > starts[-1][0]:
                starts.append((base + m.start(), m.group(1) != b"1AY&SY"))
        at += len(chunk)
        tail = data[-9:]
    if not starts or starts[0][0] != 0:
        raise Failure("not a bzip2 file")
    ends = [s for s, _ in starts[1:]] + [size]
    return [Part(s, e, 0 if empty else None)
            for (s, empty), e in zip(starts, ends)]
