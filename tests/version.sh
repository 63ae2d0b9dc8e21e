#!/bin/sh
# SPDX-License-Identifier: MIT
# The filter's version is set once, in the build, and the recipe's once, in
# its package; NEWS, the manual pages and the recipe's --version must name
# the same. The recipe runs on /usr/bin/python3: without it, all but its
# --version is checked, and the test is skipped.
# Usage: version.sh VERSION RECIPE-VERSION NEWS PAGE RECIPE-PAGE RECIPE
head -n 1 "$3" | grep -q "^sentbreak ($1) " || { echo "NEWS: not $1"; exit 1; }
sed -n '2,/^ -- /p' "$3" | grep -q "sentbreak-dask $2" ||
  { echo "NEWS: its first entry names no sentbreak-dask $2"; exit 1; }
grep -q "^\.TH .*\"sentbreak $1\"" "$4" || { echo "sentbreak.1: not $1"; exit 1; }
grep -q "^\.TH .*\"sentbreak-dask $2\"" "$5" ||
  { echo "sentbreak-dask.1: not $2"; exit 1; }
[ -x /usr/bin/python3 ] || {
  echo "version: the recipe's --version needs python3 (Debian: python3): skipped"
  exit 77
}
"$6" --version | grep -q "^sentbreak-dask $2 (sentbreak $1)\$" ||
  { echo "recipe: not $2 with $1"; exit 1; }
