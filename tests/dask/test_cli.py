# SPDX-License-Identifier: MIT
"""The command line in process: what it takes, what it refuses with a
usage error, and how it escapes what it prints."""

import os
import sys

import pytest

from sentbreak_dask import cli
from sentbreak_dask.plain import File
from sentbreak_dask.report import Refused, Report, escape
from sentbreak_dask.worker import Version


@pytest.mark.parametrize("argv, key, value", [
    (["a", "b"], "workers", 128),
    (["--scheduler", "tcp://h:1", "a", "b"], "workers", 128),
    (["a", "b"], "block_size", 64 << 20),
    (["--block-size", "64k", "a", "b"], "block_size", 65536),
    (["--block-size", " 1G", "a", "b"], "block_size", 1 << 30),
])
def test_arguments(monkeypatch, argv, key, value):
    monkeypatch.setattr("os.cpu_count", lambda: 256)
    assert getattr(cli.parse_arguments(argv), key) == value


@pytest.mark.parametrize("given, made", [
    ("out", "/out"), ("dir/", "/dir/"), ("./-", "/-")])
def test_paths_are_made_absolute(given, made):
    output = cli.parse_arguments(["in", given]).output
    assert os.path.isabs(output) and output.endswith(made)


@pytest.mark.parametrize("argv, words", [
    (["--block-size", "10MB", "a", "b"],
     "not a size: '10MB' (give bytes, or a number and K, M or G, as in 64M)"),
    (["--block-size", "4095", "a", "b"], "at least 4K"),
    (["--workers", "0", "a", "b"], "from 1 to 128"),
    (["--workers", "129", "a", "b"], "from 1 to 128"),
    (["--timeout", "nan", "a", "b"], "more than 0"),
    (["--timeout", "0", "a", "b"], "more than 0"),
    (["--timeout", "1e10", "a", "b"], "1000000 at most"),
    (["--scheduler", " ", "a", "b"], "needs an address"),
    (["--tls-cert", "c", "a", "b"], "need --scheduler"),
    (["-", "b"], "- is not standard input"),
    (["a", "-"], "- is not standard input"),
    (["a"], "required: OUTPUT"),
])
def test_usage_errors(capsys, argv, words):
    with pytest.raises(SystemExit) as e:
        cli.parse_arguments(argv)
    said = capsys.readouterr().err.splitlines()
    assert e.value.code == 2 and words in said[-1]


def test_a_missing_module_names_its_package(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(Refused) as e:
        cli.require_modules()
    assert "apt-get install python3-distributed" in e.value.why


@pytest.mark.parametrize("text, shown", [
    (b"caf\xc3\xa9. Plain", "caf\u00e9. Plain"),
    (b"new\nline\ttab", "new\\nline\\ttab"),
    (b"\x1b]0;title\x07\xc2\x9b", "\\x1b]0;title\\x07\\x9b"),
    (b"not \xff UTF-8", "not \\xff UTF-8"),
    ("\u202eturned", "\\u202eturned"),
])
def test_escape(text, shown):
    assert escape(text) == shown


def test_help_says_what_input_and_output_are(capsys):
    with pytest.raises(SystemExit):
        cli.parse_arguments(["--help"])
    said = " ".join(capsys.readouterr().out.split())
    assert "INPUT a file, or a directory whose regular files" in said
    assert "OUTPUT the output file, or the directory it goes in" in said


@pytest.mark.parametrize("skipped, line", [
    (None, "1 of 2 files, 1.50 KiB read"),
    ([], "1 of 2 files, 0 up to date, 1.50 KiB read"),
    ([File("e", "f", Version(9, 0, 0, 0, 2))] * 3,
     "4 of 5 files, 3 up to date, 1.50 KiB read"),
])
def test_the_summary_counts_what_was_read(capfd, skipped, line):
    files = [File("a", "b", Version(1024, 0, 0, 0, 0)),
             File("c", "d", Version(512, 0, 0, 0, 1), failure="why")]
    assert Report().summary(files, 0.25, skipped)
    assert capfd.readouterr().out == "sentbreak-dask: %s, 0.2 s\n" % line
