# SPDX-License-Identifier: MIT
# The Dask recipe's cases of bench/run.sh, which sources this file: one large
# file and many small ones, on the recipe's own cluster and on one already
# running (tests/cluster.py: a scheduler and two workers on 127.0.0.1),
# against sentbreak alone, xargs and a plain loop, each with two processes
# at most; what the client can feed the workers, with a program that costs
# nothing, beside the baseline's recipe and Dask's own transfer; the cost of
# a task; and the peak memory on one huge file.
"$py" -c 'import distributed' 2>/dev/null ||
  { echo "Dask (python3-distributed) is not installed: no cluster tables." && exit 0; }
cluster=
start() {  # starts the running cluster, and sets remote
  rm -rf "$work/c" && mkdir "$work/c"
  "$py" "$top/tests/cluster.py" "$work/c" 2 &
  cluster=$!
  until [ -s "$work/c/address" ]; do kill -0 "$cluster" && sleep 0.1; done
  remote="$recipe --sentbreak $sb --scheduler $(cat "$work/c/address")"
}
stop() {  # which stops its workers, then its scheduler
  [ -z "$cluster" ] || { kill "$cluster" && wait "$cluster" || true; }
  cluster=
}
trap 'stop; rm -rf "$work"; git -C "$top" worktree prune' EXIT
recipe=$top/scale/sentbreak-dask
local="$recipe --sentbreak $sb --workers 2"
start
table "One file of $large MiB of prose" "" \
  "sentbreak < file > out=$sb <'$work/large' >'$work/out/o'" \
  "recipe, local cluster of 2=$local '$work/large' '$work/out/o'" \
  "recipe, running cluster of 2, --shared=$remote --shared '$work/large' '$work/out/o'" \
  "recipe, running cluster of 2=$remote '$work/large' '$work/out/o'"
for corpus in "64 1048576" "2000 10000"; do
  read -r files bytes <<<"$corpus"
  rm -rf "$work/many" && mkdir "$work/many" && head -c "$bytes" "$work/prose" >"$work/one"
  for ((i = 0; i < files; i++)); do cp "$work/one" "$work/many/$i.txt"; done
  table "Many files, $files of $bytes bytes of prose" "" \
    "xargs -P 2=cd '$work/many' && printf '%s\\0' * |
      xargs -0 -P 2 -n 1 sh -c '\"\$0\" < \"\$1\" > \"../out/\$1\"' '$sb'" \
    "loop, one process=for f in '$work'/many/*; do
      '$sb' < \"\$f\" > '$work'/out/\"\${f##*/}\"; done" \
    "recipe, local cluster of 2=$local '$work/many' '$work/out'" \
    "recipe, running cluster of 2=$remote '$work/many' '$work/out'"
done

# The feed: a program that only copies its input and adds the final newline,
# on prose without whitespace, where no piece, cut anywhere, ends with a
# break, so that the recipe's cost is all there is; in MB/s of the input,
# over the whole run and with the start of Python and Dask taken out (a run
# on a file of 5 bytes), beside the baseline's recipe.
# It is bench/copy.cc, which answers the recipe's check of its program by
# handing it to sentbreak.
c++ -O2 -DSENTBREAK="\"$sb\"" -o "$work/copy" "$top/bench/copy.cc"
tr -d ' \t\n\r\000' <"$work/prose" | fill $((large >> 1)) >"$work/feed"
printf 'x. y\n' >"$work/five"
feed=()
for r in "recipe=$recipe" ${baseline:+"recipe $baseline=$work/base/scale/sentbreak-dask"}; do
  run=${remote/$recipe/${r#*=}}
  for how in "running cluster of 2=" "running cluster of 2, --shared=--shared"; do
    feed+=("${r%%=*} | ${how%%=*} | big=${run/$sb/$work/copy} ${how#*=} '$work/feed' '$work/out/o'"
      "${r%%=*} | ${how%%=*} | small=${run/$sb/$work/copy} ${how#*=} '$work/five' '$work/out/o'")
  done
done
timeall "${feed[@]}"
"$py" "$top/bench/feed.py" "$work/t.json" \
  "What the client feeds: $((large >> 1)) MiB through a copying program" "$work/feed"
PYTHONPATH=$top/scale "$py" "$top/bench/transfer.py" "$(cat "$work/c/address")" "$work/feed" "$runs"

# The cost of a task: the same program on pieces of 4 KiB, in seconds of the
# whole run and in CPU time of the scheduler, over the three runs.
median() {
  hyperfine --style none --runs 3 --export-json "$work/m.json" \
    --prepare "rm -rf '$work/out' && mkdir '$work/out'" "$1" >/dev/null 2>&1
  "$py" -c 'import json, sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$work/m.json"
}
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sched=$(pgrep -P "$cluster" -f 'dask scheduler')
head -c $((lines << 13)) "$work/feed" >"$work/tiny"
tasks=$(PYTHONPATH=$top/scale "$py" -c 'import os, sys; from sentbreak_dask.rule import cut_evenly
print(len(cut_evenly(0, os.path.getsize(sys.argv[1]), 4096)))' "$work/tiny")
for how in "" "--shared"; do
  before=$(cpu "$sched")
  s=$(median "${remote/$sb/$work/copy} $how --block-size 4K '$work/tiny' '$work/out/o'")
  "$py" -c 'import sys; s, n, ticks = float(sys.argv[1]), int(sys.argv[2]), int(sys.argv[4])
print("Cost of a task, running cluster of 2%s: %d pieces of 4 KiB in %.2f s, %.2f ms a piece; the scheduler'"'"'s CPU time, %.2f ms a piece." % (sys.argv[3], n, s, 1e3 * s / n, 1e3 * ticks / int(sys.argv[5]) / (3 * n)))' \
    "$s" "$tasks" "${how:+, $how}" $(($(cpu "$sched") - before)) "$(getconf CLK_TCK)"
done

# Peak memory on one file of $huge MiB, as GNU time's maximum resident set
# (of the recipe's process, or of a program it ran if that is larger), and
# each Dask process's VmHWM, on a cluster started afresh; the client's on as
# many bytes of nothing but points, which have no sentence end; then the
# recipe's own cluster on that file and on a file of 5 bytes, which shows
# the floor of Python and Dask.
stop && start
mib() { echo $(($(rss "$@") / 1024)); }
hwm() { echo $(($(awk '/VmHWM/ {print $2}' "/proc/$1/status") / 1024)); }
client=$(mib $remote "$work/huge" "$work/out/o")
dask=$(for p in $(pgrep -P "$cluster"); do
  printf '%s %s MiB, ' "$(tr '\0' ' ' <"/proc/$p/cmdline" | grep -o 'scheduler\|worker' | head -n 1)" "$(hwm "$p")"
done)
head -c $((huge << 20)) /dev/zero | tr '\0' . >"$work/points"
points=$(mib $remote "$work/points" "$work/out/o") && rm "$work/points"
echo "Peak memory on one file of $huge MiB, running cluster of 2 without --shared:" \
  "client $client MiB; ${dask%, }; client $points MiB on as many points." \
  "Local cluster of 2: $(mib $local "$work/huge" "$work/out/o") MiB" \
  "on $huge MiB, $(mib $local "$work/five" "$work/out/o") MiB on 5 bytes."
