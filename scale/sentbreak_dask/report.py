# SPDX-License-Identifier: MIT
"""What the recipe prints: one line per message on standard error, each
from the main thread and with the control characters of file names and of
a program's words escaped; a progress bar on a terminal, where tqdm is
installed; and the summary on standard output."""

import contextlib
import os
import re
import sys

PROG = "sentbreak-dask"
# Control characters, bytes that are not UTF-8 (as surrogateescape leaves
# them), and the characters that end a line or turn text around.
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\udc80-\udcff\u2028\u2029"
                    "\u202a-\u202e\u2066-\u2069]")
NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escape(text):
    """text, a str or bytes, made safe to print on one line."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "surrogateescape")

    def one(m):
        c = ord(m.group())
        return NAMED.get(m.group()) or (
            "\\x%02x" % (c - 0xdc00) if 0xdc80 <= c <= 0xdcff
            else "\\x%02x" % c if c < 0x100 else "\\u%04x" % c)
    return UNSAFE.sub(one, text)


class Report:
    """Lines on standard error, and a progress bar on a terminal."""

    def __init__(self):
        self.failed = 0
        self.bar = None

    def progress(self, total):
        if sys.stderr.isatty():
            with contextlib.suppress(ImportError):  # python3-tqdm
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit="B", unit_scale=True,
                                unit_divisor=1024, file=sys.stderr,
                                leave=False)

    def line(self, what, why):
        text = "%s: %s: %s\n" % (PROG, escape(os.fsencode(what)),
                                 escape(str(why)))
        with (self.bar.external_write_mode() if self.bar
              else contextlib.nullcontext()):
            sys.stderr.buffer.write(text.encode())
            sys.stderr.flush()

    def fail(self, what, why):
        """Reports a failure; returns None, for a caller that gives up."""
        self.failed += 1
        self.line(what, why)

    def advance(self, n):
        if self.bar is not None:
            self.bar.update(n)

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def summary(self, files, seconds):
        """The summary line on standard output; False if it cannot be
        written, having said why."""
        from dask.utils import format_bytes

        done = sum(1 for f in files if not f.failed)
        try:
            sys.stdout.write("%s: %d of %d files, %s, %.1f s\n" % (
                PROG, done, len(files),
                format_bytes(sum(f.size for f in files)), seconds))
            sys.stdout.flush()
        except OSError as e:
            # Nothing is left for Python to flush, and fail on, at exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            self.fail("standard output", e.strerror)
            return False
        return True
