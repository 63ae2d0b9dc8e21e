# SPDX-License-Identifier: MIT
"""Decoding a Part of a compressed file a chunk at a time, and encoding an
output the same way, each format at the default level of its own command.

No call makes more than about CHUNK bytes, however well the input
compresses: gzip, bzip2 and xz are asked for no more, and a zstd frame is
fed a few blocks at a time, each of which holds 128 KiB at most. What the
libraries say of a bad input reaches the run as a Failure in our words.
Nothing here imports Dask.
"""

import bz2
import lzma
import zlib

from .formats import skippable_end, zstd_blocks, zstd_header
from .program import Failure

CHUNK = 1 << 20  # bytes read, and made, at a time
ZSTD_FEED = 8  # zstd blocks fed at a time
LEVELS = {"gzip": 6, "bzip2": 9, "xz": 6, "zstd": 3}


def zstandard():
    try:
        import zstandard as module
    except ImportError:
        raise Failure("zstd needs the Python module zstandard on the worker "
                      "(Debian: python3-zstandard)") from None
    return module


def complaint(fmt, e):
    """What a library's error says of an input in format fmt."""
    text = str(e).rstrip(".").rsplit(": ", 1)[-1]
    if any(w in text for w in ("format not supported", "incorrect header "
                               "check", "Unknown frame")):
        return "not a %s file, or one with data after its end" % fmt
    if "orrupt" in text:
        return "corrupt %s data" % fmt
    return "corrupt %s data: %s" % (fmt, text[:1].lower() + text[1:])


def read_chunks(read, start, end, fmt):
    while start < end:
        data = read(start, min(CHUNK, end - start))
        if not data:
            raise Failure("truncated %s data" % fmt)
        yield data
        start += len(data)


def stream_decoded(fmt, chunks):
    """Yields what gzip, bzip2 or xz data decodes to, one member after
    another; fails unless the data ends where a member ends."""
    new = {"gzip": lambda: zlib.decompressobj(31),
           "bzip2": bz2.BZ2Decompressor,
           "xz": lambda: lzma.LZMADecompressor(lzma.FORMAT_XZ)}[fmt]
    d = None
    for chunk in chunks:
        while chunk:
            d = new() if d is None else d
            out = d.decompress(chunk, CHUNK)
            if fmt == "gzip":
                chunk = d.unused_data if d.eof else d.unconsumed_tail
            else:
                chunk = b""
                while not d.eof and not d.needs_input:
                    yield out
                    out = d.decompress(b"", CHUNK)
                chunk = d.unused_data if d.eof else b""
            yield out
            d = None if d.eof else d
    if d is not None:
        raise Failure("truncated %s data" % fmt)


def zstd_decoded(module, read, start, end):
    """Yields what the zstd frames from start to end decode to, with the
    module zstandard; skippable frames are passed over."""
    at = start
    while at < end:
        header = zstd_header(read, at)
        if header is None:
            at = skippable_end(read, at)
            continue
        d = module.ZstdDecompressor().decompressobj()
        fed, count = at, 0
        for offset, length, kind, n in zstd_blocks(read, at + header.length):
            at, count = offset + length, count + 1
            if count % ZSTD_FEED == 0:
                yield d.decompress(exact(read, fed, at))
                fed = at
        at += 4 if header.checked else 0
        yield d.decompress(exact(read, fed, at))
        if not d.eof:
            raise Failure("truncated zstd data")
    if at != end:
        raise Failure("truncated zstd data")


def exact(read, start, end):
    data = read(start, end - start)
    if len(data) != end - start:
        raise Failure("truncated zstd data")
    return data


def decoded(fmt, read, part):
    """Yields what part decodes to, in chunks; read(at, n) reads the
    file."""
    if fmt == "zstd":
        module = zstandard()
        try:
            yield from zstd_decoded(module, read, part.start, part.end)
        except module.ZstdError as e:
            raise Failure(complaint(fmt, e)) from None
        return
    chunks = (c for block in ([part.head], read_chunks(
        read, part.start, part.end, fmt), [part.tail]) for c in block if c)
    try:
        yield from stream_decoded(fmt, chunks)
    except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as e:
        raise Failure(complaint(fmt, e)) from None


def encoder(fmt):
    """An object with compress(data) and flush(), each giving bytes of one
    member, frame or stream of fmt."""
    if fmt == "gzip":
        return zlib.compressobj(LEVELS[fmt], zlib.DEFLATED, 31)
    if fmt == "bzip2":
        return bz2.BZ2Compressor(LEVELS[fmt])
    if fmt == "xz":
        return lzma.LZMACompressor(lzma.FORMAT_XZ, check=lzma.CHECK_CRC64,
                                   preset=LEVELS[fmt])
    return zstandard().ZstdCompressor(
        level=LEVELS[fmt], write_checksum=True).compressobj()
