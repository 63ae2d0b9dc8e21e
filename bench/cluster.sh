# SPDX-License-Identifier: MIT
# The Dask recipe's cases of bench/run.sh, which sources this file: one large
# file and many small ones, on a cluster in the recipe's own process and on
# one already running, against sentbreak alone, xargs and a plain loop, each
# with two processes at most; then the peak memory on one huge file.
"$py" -c 'import distributed' 2>/dev/null ||
  { echo "Dask (python3-distributed) is not installed: no cluster tables." && exit 0; }
servers=()
# Stops the Dask processes, workers first; one can hang in its shutdown once
# its scheduler has gone, so what has not ended after 10 s is killed.
stop() {
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    kill "${servers[i]}" && { timeout 10 tail --pid="${servers[i]}" -f /dev/null ||
      kill -9 "${servers[i]}"; }
  done 2>/dev/null
  servers=()
}
trap 'stop; rm -rf "$work"; git -C "$top" worktree prune' EXIT
cluster() {  # starts a scheduler and two workers, and sets remote
  "$py" -m dask scheduler --host 127.0.0.1 --port 0 --dashboard-address 127.0.0.1:0 \
    --scheduler-file "$work/s.json" 2>/dev/null &
  servers+=($!)
  for _ in 1 2; do
    "$py" -m dask worker --scheduler-file "$work/s.json" --no-nanny --host 127.0.0.1 \
      --nthreads 1 --no-dashboard --death-timeout 60 2>/dev/null &
    servers+=($!)
  done
  remote="$top/scale/sentbreak-dask --sentbreak $sb --scheduler $("$py" -c 'import sys
from distributed import Client
with Client(scheduler_file=sys.argv[1], timeout=60) as c:
    c.wait_for_workers(2, timeout=60); print(c.scheduler.address)' "$work/s.json")"
}
cluster
local="$top/scale/sentbreak-dask --sentbreak $sb --workers 2"
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
# Peak memory on one file of $huge MiB, on workers started afresh.
stop && cluster
mib() { echo $(($(rss "$@") / 1024)); }
hwm() { echo $(($(awk '/VmHWM/ {print $2}' "/proc/$1/status") / 1024)); }
client=$(mib $remote "$work/huge" "$work/out/o")
echo "Peak memory on one file of $huge MiB, running cluster of 2 without --shared:" \
  "client $client MiB, scheduler $(hwm "${servers[0]}") MiB, workers" \
  "$(hwm "${servers[1]}") and $(hwm "${servers[2]}") MiB; local cluster of 2:" \
  "$(mib $local "$work/huge" "$work/out/o") MiB, workers included."
