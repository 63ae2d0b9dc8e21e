#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the Dask recipe, on its own cluster of 2 workers, on compressed
# inputs against serial pipelines that decompress, run sentbreak and
# compress again: a corpus of .gz files, and one large file made by xz -T2
# (several blocks) and by pzstd -p 2 (several frames); checks each output
# of the recipe against sentbreak's on the decompressed input; and gives
# the peak memory of the recipe on the large file, compressed and not.
# Prints Markdown tables of hyperfine's medians, like bench/run.sh, which
# runs it. Usage: bench/compressed.sh [--quick] [--sentbreak PATH] [--large
# MIB]; without --sentbreak it builds sentbreak in build-bench/; --large
# sets the size of the large file, 256 MiB by default, whose xz rows alone
# take most of an hour on 2 cores.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd) work=$(mktemp -d) py=/usr/bin/python3
quick=0 sb= size=
[ "${1:-}" != --quick ] || { quick=1 && shift; }
[ "${1:-}" != --sentbreak ] || { sb=${2:?--sentbreak needs a path} && shift 2; }
[ "${1:-}" != --large ] || { size=${2:?--large needs a size in MiB} && shift 2; }
[ $# = 0 ] || {
  echo "usage: bench/compressed.sh [--quick] [--sentbreak PATH] [--large MIB]" >&2 && exit 2
}
trap 'rm -rf "$work"' EXIT
"$py" -c 'import distributed' 2>/dev/null ||
  { echo "Dask (python3-distributed) is not installed: no compressed tables." && exit 0; }
# Files of the corpus, each in KiB, and the large file in MiB; runs of
# each command but xz's, which compresses at under 1 MB/s and gets fewer.
# xz -T2 cuts blocks of 24 MiB (--block-size=0). The quick run's small file
# asks for blocks of 1 MiB, and the recipe for pieces of 2 MiB, so that its
# cuts at blocks and frames are checked too.
read -r files each large runs slow xzblock <<<"16 8192 256 5 3 0"
[ $quick = 0 ] || read -r files each large runs slow xzblock <<<"16 256 8 1 1 1MiB"
cut=
[ $quick = 0 ] || cut="--block-size 2M"
large=${size:-$large}
if [ -z "$sb" ]; then
  cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release \
    -DSENTBREAK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$top/build-bench" --parallel >/dev/null
  sb=$top/build-bench/sentbreak
  echo "sentbreak $(git -C "$top" describe --always --dirty), $(nproc) cores," \
    "$(uname -sr), $(date -u +%F)"
  echo
fi
sb=$(realpath "$sb") recipe=$top/scale/sentbreak-dask
local="$recipe --sentbreak $sb --workers 2 $cut"

# The inputs: bench/words.py's prose, which compresses like text; each file
# of the corpus with its own seed. ref/ holds sentbreak's outputs.
mkdir "$work/gz" "$work/ref" "$work/ref/gz"
for ((i = 0; i < files; i++)); do
  "$py" "$top/bench/words.py" $((each << 10)) $((i + 2)) >"$work/one"
  gzip -c "$work/one" >"$work/gz/$i.txt.gz" && "$sb" <"$work/one" >"$work/ref/gz/$i.txt"
done
"$py" "$top/bench/words.py" $((large << 20)) >"$work/large"
"$sb" <"$work/large" >"$work/ref/large"
xz -T2 --block-size="$xzblock" -c "$work/large" >"$work/large.xz"
pzstd -q -p 2 "$work/large" -o "$work/large.zst"
rm "$work/one"

# Times the commands given as "NAME=COMMAND" with $1 runs into $work/t.json,
# and prints their table titled $2; the last one run leaves its outputs.
table() {
  local n=$1 title=$2 args=() c && shift 2
  for c in "$@"; do args+=(-n "${c%%=*}" "${c#*=}"); done
  hyperfine --style none --warmup $((n > 1 ? 0 : 1)) --runs "$n" \
    --export-json "$work/t.json" --prepare "rm -rf '$work/out' && mkdir '$work/out'" \
    "${args[@]}" >/dev/null 2>"$work/err" || { cat "$work/err" >&2 && exit 1; }
  "$py" "$top/bench/table.py" "$work/t.json" "$title"
}
# Fails the bench unless the file $1, decompressed by $2, is $3.
check() {
  $2 <"$1" | cmp -s - "$3" ||
    { echo "FAILED: $1, decompressed, is not sentbreak's output $3" >&2 && exit 1; }
}
# Prints the recipe's time against the serial pipeline's, and their CPU
# time over wall time, from $work/t.json, against the target $1.
verdict() { "$py" "$top/bench/verdict.py" "$work/t.json" "$1"; }

mib=$((files * each >> 10))
table "$runs" "A corpus of $files .gz files, $mib MiB of prose decompressed" \
  "serial loop: gzip -dc, sentbreak, gzip -c=for f in '$work'/gz/*; do
    gzip -dc \"\$f\" | '$sb' | gzip -c > '$work'/out/\"\${f##*/}\"; done" \
  "recipe, local cluster of 2=$local '$work/gz' '$work/out'"
for f in "$work"/gz/*; do
  name=${f##*/} && check "$work/out/$name" "gzip -dc" "$work/ref/gz/${name%.gz}"
done
verdict 1.05
read -r wall load most share _ <<<"$("$py" "$top/bench/watch.py" "$sb" $local "$work/gz" "$work/out")"
echo "One more run of the recipe, its processes looked at every 50 ms: $wall s;" \
  "CPU time over wall time $load; at most $most sentbreak processes at once," \
  "two or more in $share% of the looks."
echo

for row in "zstd zst $runs 0.75 pzstd -p 2 (several frames)" \
  "xz xz $slow 0.85 xz -T2 (several blocks)"; do
  read -r c ext n target how <<<"$row"
  table "$n" "One file of $large MiB of prose decompressed, by $how" \
    "serial: $c -dc, sentbreak, $c -c=$c -dc '$work/large.$ext' | '$sb' | $c -c > '$work/out/large.$ext'" \
    "recipe, local cluster of 2=$local '$work/large.$ext' '$work/out/large.$ext'"
  check "$work/out/large.$ext" "$c -dc" "$work/ref/large"
  verdict "$target"
done

# Peak memory: GNU time's is the largest of any one process, the client or
# a program it ran; watch.py gives the client's own and that of all of them
# together, sampled.
echo "Peak memory of one run of the recipe, local cluster of 2, on $large MiB of prose:"
echo
echo "| input | seconds | client, MiB | client and its programs together, MiB |"
echo "|---|--:|--:|--:|"
for f in large large.xz large.zst; do
  rm -rf "$work/out" && mkdir "$work/out"
  read -r wall _ _ _ hwm peak <<<"$("$py" "$top/bench/watch.py" "$sb" $local "$work/$f" "$work/out/$f")"
  label=${f#large} && echo "| ${label:-plain} | $wall | $((hwm >> 10)) | $((peak >> 10)) |"
done
echo
