# SPDX-License-Identifier: MIT
"""What the recipe prints: one line per message on standard error, each
from the main thread and with the control characters of file names and of
a program's words escaped; a progress bar on a terminal, where tqdm is
installed; and the summary on standard output.

Nothing printed can stop the run: a standard error that is closed, a pipe
that nobody reads, or one whose reader has stopped reading, only loses the
lines.
"""

import contextlib
import errno
import os
import re
import select
import stat
import sys

PROG = "sentbreak-dask"
# Control characters, bytes that are not UTF-8 (as surrogateescape leaves
# them), and the characters that end a line or turn text around.
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\udc80-\udcff\u2028\u2029"
                    "\u202a-\u202e\u2066-\u2069]")
NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


class Refused(Exception):
    """A run that must not start: what, and why."""

    def __init__(self, what, why):
        super().__init__(what, why)
        self.what, self.why = what, why


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


WAIT = 1.0  # seconds a full pipe has to take a line, until one is lost


def write_out(fd, data):
    while data:
        data = data[os.write(fd, data):]


def line_writer():
    """The descriptor that lines go to: standard error, or, where that is a
    pipe, a descriptor of the same pipe, of its own, that never waits."""
    with contextlib.suppress(OSError):
        if stat.S_ISFIFO(os.fstat(2).st_mode):
            return os.open("/proc/self/fd/2", os.O_WRONLY | os.O_NONBLOCK
                           | os.O_CLOEXEC)
    return 2


def size_text(n):
    from dask.utils import format_bytes

    return format_bytes(n).replace("kiB", "KiB")


class Report:
    """Lines on standard error, a progress bar on a terminal, and the
    summary. closed: the standard descriptors that were closed at start."""

    def __init__(self, closed=()):
        self.closed = set(closed)
        self.failed = 0
        self.bar = None
        self.err, self.wait = line_writer(), WAIT

    def progress(self, total):
        if os.isatty(2):
            with contextlib.suppress(ImportError):  # python3-tqdm
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit="B", unit_scale=True,
                                unit_divisor=1024, file=sys.stderr,
                                leave=False)

    def say(self, what, why):
        text = "%s: %s: %s\n" % (PROG, escape(os.fsencode(what)),
                                 escape(str(why)))
        with contextlib.suppress(OSError), (
                self.bar.external_write_mode() if self.bar
                else contextlib.nullcontext()):
            self.write_line(text.encode())

    def write_line(self, data):
        """Writes data to standard error; where its pipe stays full for
        WAIT seconds, this line and the next that find it full are lost."""
        while data:
            try:
                data = data[os.write(self.err, data):]
            except BlockingIOError:
                if not select.select([], [self.err], [], self.wait)[1]:
                    self.wait = 0
                    return

    def fail(self, what, why):
        """Reports a failure."""
        self.failed += 1
        self.say(what, why)

    def advance(self, n):
        if self.bar is not None:
            with contextlib.suppress(OSError):
                self.bar.update(n)

    def close(self):
        if self.bar is not None:
            with contextlib.suppress(OSError):
                self.bar.close()
            self.bar = None

    def summary(self, files, seconds, skipped=None):
        """The summary line on standard output; False if it cannot be
        written, having said why. skipped: the files found up to date, with
        --update, which files leaves out."""
        done = sum(1 for f in files if not f.failure) + len(skipped or ())
        fresh = "" if skipped is None else ", %d up to date" % len(skipped)
        text = "%s: %d of %d files%s, %s read, %.1f s\n" % (
            PROG, done, len(files) + len(skipped or ()), fresh,
            size_text(sum(f.size for f in files)), seconds)
        try:
            if 1 in self.closed:  # as writing to it would have been
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            write_out(1, text.encode())
        except OSError as e:
            self.fail("standard output", e.strerror)
            return False
        return True
