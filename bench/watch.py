#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs COMMAND, its standard output thrown away, looks at its processes
every 50 ms, and prints, on one line: its wall time in seconds; its CPU
time (its own and that of the processes it waited for) over the wall time;
the most processes running PROGRAM at once, and the share of looks that
saw two or more; the peak resident memory of COMMAND's own process (VmHWM,
at its last look), and the largest sum of resident memory over it and all
its descendants, in KiB. Fails as COMMAND does.
Usage: watch.py PROGRAM COMMAND..."""

import os
import subprocess
import sys
import time

EVERY = 0.05
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def children():
    """Each process's parent, by process id."""
    parents = {}
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % name) as f:
                # the name, in parentheses, may hold spaces
                parents[int(name)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            pass
    return parents


def tree(root):
    """root and all its descendants."""
    parents, found = children(), {root}
    grew = True
    while grew:
        more = {p for p, up in parents.items() if up in found} - found
        found |= more
        grew = bool(more)
    return found


def rss_kib(pid):
    try:
        with open("/proc/%d/statm" % pid) as f:
            return int(f.read().split()[1]) * PAGE_KIB
    except (OSError, IndexError):
        return 0


def hwm_kib(pid, last):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return last


def runs(pid, program):
    try:
        return os.readlink("/proc/%d/exe" % pid) == program
    except OSError:
        return False


def main():
    program = os.path.realpath(sys.argv[1])
    began = time.perf_counter()
    child = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL)
    looks = at_once = two = hwm = peak = 0
    while child.poll() is None:
        pids = tree(child.pid)
        n = sum(runs(p, program) for p in pids)
        looks, at_once, two = looks + 1, max(at_once, n), two + (n >= 2)
        peak = max(peak, sum(rss_kib(p) for p in pids))
        hwm = hwm_kib(child.pid, hwm)
        time.sleep(EVERY)
    wall = time.perf_counter() - began
    # poll() has reaped it; its children's times are now ours
    usage = os.times()
    cpu = usage.children_user + usage.children_system
    print("%.2f %.2f %d %.0f %d %d" % (wall, cpu / wall, at_once,
                                       100 * two / max(looks, 1), hwm, peak))
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
