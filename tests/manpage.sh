#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails if groff has anything at all to say about the manual page $1.
command -v groff >/dev/null ||
  { echo "manpage: needs groff (Debian: groff-base): skipped"; exit 77; }
out=$(groff -man -ww -z "$1" 2>&1) || exit 1
[ -z "$out" ] || { printf '%s\n' "$out"; exit 1; }
