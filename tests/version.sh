#!/bin/sh
# SPDX-License-Identifier: MIT
# The version is set once, in the build; NEWS, the manual page and the Dask
# recipe must name the same. Usage: version.sh VERSION NEWS PAGE RECIPE
head -n 1 "$2" | grep -q "^sentbreak ($1) " || { echo "NEWS: not $1"; exit 1; }
grep -q "^\.TH .*\"sentbreak $1\"" "$3" || { echo "manual page: not $1"; exit 1; }
"$4" --version | grep -q "(sentbreak $1)\$" || { echo "recipe: not $1"; exit 1; }
