#!/usr/bin/env bash
# The test cluster itself: it starts, runs a batch job and an array on its node,
# and stops leaving no daemon or job process behind, even with a job still running.
#
# usage: cluster_test.sh WORK_DIR        (exit 0 passed, 1 failed, 77 no Slurm here)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# = 1 ] || { echo "usage: cluster_test.sh WORK_DIR" >&2; exit 2; }
work=$1
"$here/cluster.sh" check || exit 77

fail() { echo "FAILED: $*" >&2; exit 1; }
# A cluster left by an earlier run that was killed outright goes first.
"$here/cluster.sh" stop "$work/cluster"
rm -rf "$work"
mkdir -p "$work"
trap '"$here/cluster.sh" stop "$work/cluster"' EXIT
trap 'exit 1' INT TERM HUP
eval "$("$here/cluster.sh" start "$work/cluster")"
"$here/cluster.sh" status "$work/cluster"

# Waits for a job to leave the queue (sbatch --wait polls at growing intervals).
wait_gone() {
  local i
  for ((i = 0; i < 600; i++)); do
    [ -z "$(squeue -h -j "$1" -o %i 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "job $1 still queued after 60 s"
}

# A job runs on the node, with what it asked for.
wait_gone "$(sbatch --parsable --mem=10M --cpus-per-task=2 -o "$work/job.out" \
  --wrap 'echo "cpus=$SLURM_CPUS_PER_TASK conf=$SLURM_CONF"')"
grep -qx "cpus=2 conf=$SLURM_CONF" "$work/job.out" || fail "job output: $(cat "$work/job.out")"

# An array's tasks each see their index.
wait_gone "$(sbatch --parsable --mem=10M --array=0-2 -o "$work/task-%a.out" \
  --wrap 'echo "$SLURM_ARRAY_TASK_ID"')"
for t in 0 1 2; do
  [ "$(cat "$work/task-$t.out")" = "$t" ] || fail "array task $t wrote '$(cat "$work/task-$t.out")'"
done

# More memory than the node has is refused: memory is a consumable here, as --mem
# on a real cluster is.
if sbatch --quiet --mem=100000000M --wrap true 2>/dev/null; then
  fail "a job asking for more memory than the node has was accepted"
fi

# Stopping with a job running ends the daemons and the job's processes.
sbatch --quiet --mem=10M -o /dev/null --wrap "echo \$\$ > '$work/job.pid'; exec sleep 300"
for ((i = 0; i < 100; i++)); do
  [ -s "$work/job.pid" ] && break
  sleep 0.1
done
[ -s "$work/job.pid" ] || fail "the sleeping job never ran"
pids="$(cat "$work/cluster/run/"*.pid) $(cat "$work/job.pid")"
"$here/cluster.sh" stop "$work/cluster"
trap - EXIT
for p in $pids; do
  state=$(awk '{ print $3 }' "/proc/$p/stat" 2>/dev/null || true)
  [ -z "$state" ] || [ "$state" = Z ] || fail "process $p still runs after stop"
done
ls "$work/cluster/run/"*.pid >/dev/null 2>&1 && fail "pid files left after stop"
echo "PASSED"
