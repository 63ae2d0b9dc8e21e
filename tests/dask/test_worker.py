# SPDX-License-Identifier: MIT
"""What runs on a worker, in process: why a program is stopped, what a
try gives back, and what counts as the version of a file."""

import os
import time

import pytest

from sentbreak_dask.program import Failure, Retry, memory_file, run_program
from sentbreak_dask.rule import PROBE, expected_output
from sentbreak_dask.worker import (SentJob, on_bytes, pack_sent,
                                   results_on_bytes, same_version, version_of)


@pytest.fixture
def script(tmp_path):
    def make(body):
        path = tmp_path / "program"
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)
        return str(path)
    return make


@pytest.mark.parametrize("body, options, error, words, out", [
    ("printf abc", {}, None, "", b"abc"),
    ("yes", {"enough": 1000}, None, "", b"y\n" * 500),
    ("exit 3", {}, Retry, "exited with status 3", b""),
    ("echo first >&2; echo last words >&2; exit 1", {}, Retry, "last words",
     b""),
    ("kill -9 $$", {}, Retry, "killed by SIGKILL", b""),
    ("yes", {"limit": 100}, Retry, "wrote more than 100 bytes", None),
    ("sleep 5", {"timeout": 0.2}, Failure, "timed out after 0.2 s", b""),
    ("(sleep 0.2; printf late | dd of=/dev/stdout conv=notrunc) & "
     "printf early", {}, None, "", b"early"),
    ("setsid sh -c 'sleep 0.2; printf late | dd of=/dev/stdout "
     "conv=notrunc' & sleep 0.1; printf early", {}, None, "", b"early"),
])
def test_run(script, body, options, error, words, out):
    mem = memory_file()
    try:
        if error:
            with pytest.raises(error) as e:
                run_program(script(body), memory_file(), mem, **options)
            assert words in str(e.value)
            assert e.type is error  # a timeout is not tried again
        else:
            run_program(script(body), memory_file(), mem, **options)
        time.sleep(0.4)  # for a writer left behind
        got = os.pread(mem, 1 << 20, 0)
        assert out is None or got[:len(out)] == out
    finally:
        os.close(mem)


def test_a_program_that_cannot_be_started_says_where_it_was_looked_for():
    with pytest.raises(Failure) as e:
        run_program("no-such-program", memory_file(), memory_file())
    assert "cannot start no-such-program: No such file or directory " \
        "(looked for on PATH=" in str(e.value)


def test_a_try_that_fails_is_tried_again(script, tmp_path, sentbreak):
    once = tmp_path / "once"
    program = script('mkdir "%s" 2>/dev/null && exit 1; exec %s'
                     % (once, sentbreak))
    [result] = results_on_bytes(on_bytes(
        program, pack_sent([SentJob(PROBE, False, True)]), None))
    assert result.data == expected_output(PROBE) and result.failure is None


@pytest.mark.parametrize("change, same", [
    ({}, True),
    ({"ctime_ns": 1}, False),  # on the same device, all counts
    ({"inode": 2}, False),  # a file put in its place
    ({"device": 1, "inode": 2}, True),  # another machine's mount
    ({"device": 1, "mtime_ns": 999_999_999}, True),  # whole seconds there
    ({"device": 1, "mtime_ns": 1_000_000_000}, False),
    ({"device": 1, "size": 1}, False),
])
def test_the_version_of_a_file(tmp_path, change, same):
    path = tmp_path / "f"
    path.write_bytes(b"x" * 10)
    os.utime(path, ns=(0, 5_000_000_000))
    st = os.stat(path)
    seen = version_of(st)
    moved = {k: getattr(seen, k) + v for k, v in change.items()}
    assert same_version(seen._replace(**moved), st) == same
