#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures sentbreak against other pipeline stages on this machine and prints
# the results as Markdown. Usage: bench/run.sh [--quick] [--baseline REV]
# --baseline builds sentbreak at the git revision REV as well and runs it
# alongside, as one more command in every table.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
quick=0 baseline=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --baseline) baseline=${2:?--baseline needs a revision}; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--baseline REV]" >&2; exit 2 ;;
  esac
  shift
done

if [ $quick = 1 ]; then
  prose_mib=1 dense_mib=1 nospace_mib=1 runs=1 sentences=100
else
  # The dense input costs a write for every two bytes, so it is kept small.
  prose_mib=64 dense_mib=2 nospace_mib=16 runs=5 sentences=2000
fi

build="$top/build-bench"
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DSENTBREAK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel >/dev/null
sb="$build/sentbreak"

work=$(mktemp -d)
servers=()  # Dask processes started below, the scheduler first
# Stops the Dask processes, workers first; a worker can hang in its shutdown
# once its scheduler has gone, so what has not ended after 10 s is killed.
stop() {
  local i
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    kill "${servers[i]}" 2>/dev/null || continue
    timeout 10 tail --pid="${servers[i]}" -f /dev/null ||
      kill -9 "${servers[i]}" 2>/dev/null
  done
}
trap 'stop; rm -rf "$work"; git -C "$top" worktree prune' EXIT

if [ -n "$baseline" ]; then
  git -C "$top" worktree add --quiet --detach "$work/base" "$baseline"
  cmake -S "$work/base" -B "$work/base/build" -DCMAKE_BUILD_TYPE=Release \
    -DSENTBREAK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/base/build" --parallel >/dev/null
fi

# Repeats what arrives on standard input until it fills $1 MiB.
fill() {
  local size=$(($1 * 1048576))
  cat >"$work/part"
  while [ "$(stat -c %s "$work/part")" -lt "$size" ]; do
    cat "$work/part" "$work/part" >"$work/twice"
    mv "$work/twice" "$work/part"
  done
  head -c "$size" "$work/part"
}

cat /usr/share/common-licenses/* 2>/dev/null | fill "$prose_mib" >"$work/prose"
head -c 1048576 "$work/prose" >"$work/prose-1m"
# A point and a whitespace byte, over and over: a break every other byte.
{ printf '. %.0s' $(seq 39); printf '.\n'; } | fill "$dense_mib" >"$work/dense"
tr -d ' \t\n\r\000' <"$work/prose" | fill "$nospace_mib" >"$work/nospace"

split='s/([.;!:])[[:space:]]/\1\n/g'
names=(sentbreak cat tr "sed -E" "perl -pe" "sed -E, line-buffered")
cmds=(
  "$sb"
  "cat"
  "tr '\\000\\t\\n\\r' '    '"
  "sed -E '$split'"
  "perl -pe 's/([.;!:])\\s/\$1\\n/g'"
  "stdbuf -oL sed -E '$split'"
)
# The builds of sentbreak whose instruction counts are reported.
sbs=(0)
if [ -n "$baseline" ]; then
  names+=("sentbreak $baseline")
  cmds+=("$work/base/build/sentbreak")
  sbs+=($((${#cmds[@]} - 1)))
fi

# Prints the wall time of one run of $1 in seconds.
clock() {
  local t0=$EPOCHREALTIME
  eval "$1"
  local t1=$EPOCHREALTIME
  echo "$t1 - $t0" | bc -l
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
# The median of the times listed in $1, separated by spaces.
medianof() { tr ' ' '\n' <<<"$1" | grep . | median; }

echo "sentbreak $(git -C "$top" describe --always --dirty 2>/dev/null || echo '?'),"\
  "$(nproc) cores, $(uname -sr), $(date -u +%F)"
echo

for input in prose dense nospace; do
  file="$work/$input"
  mb=$(echo "$(stat -c %s "$file") / 1000000" | bc -l)
  declare -A t=()
  for ((r = 0; r < runs; r++)); do
    for i in "${!cmds[@]}"; do
      t[$i,pipe]+="$(clock "${cmds[$i]} <'$file' | cat >/dev/null") "
      t[$i,file]+="$(clock "${cmds[$i]} <'$file' >'$work/out'") "
    done
  done
  printf '%s, %.0f MB, median of %d runs:\n\n' "$input" "$mb" "$runs"
  echo "| command | pipe MB/s | pipe vs sentbreak | file MB/s | file vs sentbreak |"
  echo "|---|--:|--:|--:|--:|"
  declare -A med=()
  for key in "${!t[@]}"; do
    med[$key]=$(medianof "${t[$key]}")
  done
  for i in "${!cmds[@]}"; do
    row="| ${names[$i]} |"
    for to in pipe file; do
      s=${med[$i,$to]}
      row+=$(printf ' %.1f | %.2fx |' "$(echo "$mb / $s" | bc -l)" \
        "$(echo "${med[0,$to]} / $s" | bc -l)")
    done
    echo "$row"
  done
  echo
  unset t med
done
echo "Speeds relative to sentbreak: 2.00x is twice as fast, 0.50x half as fast."
echo

# Peak resident memory in KiB, the median of five runs: it varies by a few
# hundred KiB from run to run with how much of the C library gets touched.
peak() {
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f %M "$sb" <"$1" 2>&1 >/dev/null | tail -n 1
  done | median
}
small=$(peak "$work/prose-1m") big=$(peak "$work/prose")
echo "Peak memory of sentbreak (median of 5): $small KiB on 1 MiB of prose," \
  "$big KiB on $prose_mib MiB, a difference of $((big - small)) KiB."

if command -v valgrind >/dev/null; then
  for i in "${sbs[@]}"; do
    ir=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "${cmds[$i]}" \
      <"$work/prose-1m" 2>&1 >/dev/null | awk '/Collected/ {print $4}')
    printf 'Instructions per input byte, %s (callgrind, 1 MiB of prose): %.1f\n' \
      "${names[$i]}" "$(echo "$ir / 1048576" | bc -l)"
  done
fi

read -r med p99 < <(python3 "$top/bench/latency.py" "$sentences" "$sb")
echo "Delivery latency over $sentences sentences, written one at a time:" \
  "median $med ms, 99th percentile $p99 ms."

# Many files: the Dask recipe, on its own local cluster and on one already
# running, against xargs and a plain loop, each with two processes at most.
py=/usr/bin/python3
if ! "$py" -c 'import distributed' 2>/dev/null; then
  echo "Many files: skipped, Dask (python3-distributed) is not installed."
  exit 0
fi
info="$work/scheduler.json"
"$py" -m dask scheduler --host 127.0.0.1 --port 0 \
  --dashboard-address :0 --scheduler-file "$info" 2>/dev/null &
servers+=($!)
for _ in 1 2; do
  "$py" -m dask worker --scheduler-file "$info" --no-nanny \
    --host 127.0.0.1 --nthreads 1 --no-dashboard --death-timeout 60 2>/dev/null &
  servers+=($!)
done
address=$("$py" -c 'import sys; from distributed import Client
with Client(scheduler_file=sys.argv[1], timeout=60) as c:
    c.wait_for_workers(2, timeout=60); print(c.scheduler.address)' "$info")

recipe="$top/scale/sentbreak-dask --sentbreak $sb"
many_names=("xargs -P 2" "loop, one process" "recipe, local cluster of 2"
  "recipe, running cluster of 2")
many_cmds=(
  "cd '$work/many' && printf '%s\\0' * | xargs -0 -P 2 -n 1 sh -c '\"\$0\" < \"\$1\" > \"../out/\$1\"' '$sb'"
  "for f in '$work'/many/*; do '$sb' < \"\$f\" > '$work'/out/\"\${f##*/}\"; done"
  "$recipe --workers 2 '$work/many' '$work/out'"
  "$recipe --scheduler $address '$work/many' '$work/out'"
)
# Corpora as a count of files and the bytes of prose in each.
for corpus in "64 1048576" "2000 10000"; do
  read -r files bytes <<<"$corpus"
  rm -rf "$work/many" && mkdir "$work/many"
  head -c "$bytes" "$work/prose" >"$work/one"
  for ((i = 0; i < files; i++)); do cp "$work/one" "$work/many/$i.txt"; done
  declare -A t=()
  for ((r = 0; r < runs; r++)); do
    for i in "${!many_cmds[@]}"; do
      rm -rf "$work/out" && mkdir "$work/out"
      t[$i]+="$(clock "(${many_cmds[$i]})") "
    done
  done
  printf '\nMany files, %d of %d bytes of prose, median of %d runs:\n\n' \
    "$files" "$bytes" "$runs"
  echo "| command | seconds | time vs xargs -P 2 |"
  echo "|---|--:|--:|"
  declare -A med=()
  for i in "${!many_cmds[@]}"; do
    med[$i]=$(medianof "${t[$i]}")
  done
  for i in "${!many_cmds[@]}"; do
    printf '| %s | %.2f | %.2fx |\n' "${many_names[$i]}" "${med[$i]}" \
      "$(echo "${med[$i]} / ${med[0]}" | bc -l)"
  done
  unset t med
done
