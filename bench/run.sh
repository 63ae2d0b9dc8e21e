#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times sentbreak against other pipeline stages, and the Dask recipe against
# xargs, with hyperfine, and prints Markdown tables of the medians. Usage:
# bench/run.sh [--quick] [--baseline REV]; --baseline also builds sentbreak
# at the git revision REV, as one more row.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd) work=$(mktemp -d) py=/usr/bin/python3
quick=0 baseline=
[ "${1:-}" != --quick ] || { quick=1 && shift; }
[ "${1:-}" != --baseline ] || { baseline=${2:?--baseline needs a revision} && shift 2; }
[ $# = 0 ] || { echo "usage: bench/run.sh [--quick] [--baseline REV]" >&2 && exit 2; }
# Sizes in MiB; the dense input costs a write for every two bytes.
read -r prose dense nospace large huge runs lines <<<"64 2 16 512 2048 5 2000"
[ $quick = 0 ] || read -r prose dense nospace large huge runs lines <<<"1 1 1 8 16 1 100"

trap 'rm -rf "$work"; git -C "$top" worktree prune' EXIT
build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DSENTBREAK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$2" --parallel >/dev/null
}
build "$top" "$top/build-bench" && sb=$top/build-bench/sentbreak
split='s/([.;!:])[[:space:]]/\1\n/g'
names=(sentbreak cat tr "sed -E" "perl -pe" "sed -E, line-buffered")
cmds=("$sb" cat "tr '\\000\\t\\n\\r' '    '" "sed -E '$split'"
  "perl -pe 's/([.;!:])\\s/\$1\\n/g'" "stdbuf -oL sed -E '$split'")
if [ -n "$baseline" ]; then
  git -C "$top" worktree add --quiet --detach "$work/base" "$baseline"
  build "$work/base" "$work/base/build"
  names+=("sentbreak $baseline") cmds+=("$work/base/build/sentbreak")
fi

# Repeats standard input until it fills $1 MiB.
fill() {
  "$py" -c 'import sys; d = sys.stdin.buffer.read(); n = int(sys.argv[1]) << 20
sys.stdout.buffer.write((d * (n // len(d) + 1))[:n])' "$1"
}
"$py" "$top/tests/prose.py" $((huge << 20)) >"$work/huge"
for f in prose large; do head -c "$((${!f} << 20))" "$work/huge" >"$work/$f"; done
head -c 1048576 "$work/prose" >"$work/prose-1m"
{ printf '. %.0s' $(seq 39) && printf '.\n'; } | fill "$dense" >"$work/dense"
tr -d ' \t\n\r\000' <"$work/prose" | fill "$nospace" >"$work/nospace"

# Times the commands given as "NAME=COMMAND" into $work/t.json.
timeall() {
  local args=()
  for c in "$@"; do args+=(-n "${c%%=*}" "${c#*=}"); done
  hyperfine --style none --warmup 1 --runs "$runs" --export-json "$work/t.json" \
    --prepare "rm -rf '$work/out' && mkdir '$work/out'" "${args[@]}" \
    >/dev/null 2>"$work/err" || { cat "$work/err" >&2 && exit 1; }
}
# Times them, and prints their table titled $1, in MB/s of the file $2 if
# one is given.
table() {
  local title=$1 sized=$2 && shift 2
  timeall "$@"
  "$py" "$top/bench/table.py" "$work/t.json" "$title" $sized
}

echo "sentbreak $(git -C "$top" describe --always --dirty), $(nproc) cores," \
  "$(uname -sr), $(date -u +%F)"
echo
for f in prose dense nospace; do
  rows=()
  for i in "${!cmds[@]}"; do
    rows+=("${names[i]} | pipe=${cmds[i]} <'$work/$f' | cat >/dev/null"
      "${names[i]} | file=${cmds[i]} <'$work/$f' >'$work/out/o'")
  done
  table "$f, $(($(stat -c %s "$work/$f") / 1000000)) MB" "$work/$f" "${rows[@]}"
done
echo "Speeds relative to sentbreak: 2.00x is twice as fast, 0.50x half as fast."
echo
# Peak resident memory in KiB of one run of the command given; and of
# sentbreak on the file $1, the median of five runs.
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
peak() { for _ in 1 2 3 4 5; do rss "$sb" <"$1"; done | sort -n | sed -n 3p; }
small=$(peak "$work/prose-1m") big=$(peak "$work/prose")
echo "Peak memory of sentbreak (median of 5): $small KiB on 1 MiB of prose," \
  "$big KiB on $prose MiB, a difference of $((big - small)) KiB."
for i in 0 ${baseline:+$((${#cmds[@]} - 1))}; do
  ir=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "${cmds[i]}" \
    <"$work/prose-1m" 2>&1 >/dev/null | awk '/Collected/ {print $4}')
  printf 'Instructions per input byte, %s (callgrind, 1 MiB of prose): %s\n' \
    "${names[i]}" "$("$py" -c "print('%.1f' % ($ir / 1048576))")"
done
read -r med p99 < <("$py" "$top/bench/latency.py" "$lines" "$sb")
echo "Delivery latency over $lines sentences, written one at a time:" \
  "median $med ms, 99th percentile $p99 ms."
echo

# The recipe on compressed inputs, with the same sentbreak; then its other
# cases, with the inputs, table and sizes above.
"$top/bench/compressed.sh" $([ $quick = 0 ] || echo --quick) --sentbreak "$sb"
. "$top/bench/cluster.sh"

# What durable outputs cost, and what --update saves.
read -r small many big piece <<<"2000 1500 192 4"
[ $quick = 0 ] || read -r small many big piece <<<"100 100 8 1"
mkdir "$work/resume"
"$py" "$top/bench/resume.py" "$sb" "$work/resume" "$runs" "$small" "$many" "$big" "$piece"
