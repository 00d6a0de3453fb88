#!/usr/bin/env bash
# A study through a real single-node Slurm cluster (tests/cli/slurm/cluster.sh):
#  (a) the sample data, pattern counts 2 to 5, 3 chains, through `zarno slurm --submit`
#      with 4 workers: the same run files, bit for bit, as one `zarno run` on this
#      machine, and a survey with the same suggested count;
#  (b) one array task cancelled with scancel in the middle of its share, the array
#      submitted again: only that task's unfinished runs are computed again, and the
#      result is again identical to one machine's.
#
# usage: e2e.sh ZARNO DATA_DIR WORK_DIR
# Exit 0 passed, 1 failed, 77 skipped (no Slurm here, or a zarno without the
# commands); a part that cannot be checked says so on a line starting "SKIPPED".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# = 3 ] || { echo "usage: e2e.sh ZARNO DATA_DIR WORK_DIR" >&2; exit 2; }
zarno=$1
sample=$2/sample.txt
uncert=$2/sample.unc
work=$3
study=(--uncert "$uncert" --ranks 2:5 --chains 3)
# Runs long enough (about a second each here) for a task to be caught mid-share: every
# round, since the command's default stop would end them early.
long_rounds=12000
long=(--rounds "$long_rounds" --tolerance 0)

"$here/cluster.sh" check || exit 77
# The subcommands listed by `zarno --help` (an unknown one's --help still exits 0).
has_command() {
  "$zarno" --help 2>/dev/null | awk '/^Subcommands:/ { f = 1; next } /^[^ ]/ { f = 0 }
                                     f && NF { print $1 }' | grep -qx "$1"
}
if ! has_command run || ! has_command slurm; then
  echo "SKIPPED: $zarno has no 'run' or 'slurm' subcommand"
  exit 77
fi
command -v python3 >/dev/null || { echo "SKIPPED: python3 is needed to compare run.json"; exit 77; }

fail() { echo "FAILED: $*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# A cluster left by an earlier run that was killed outright goes first.
"$here/cluster.sh" stop "$work/cluster"
rm -rf "$work"
mkdir -p "$work"
trap '"$here/cluster.sh" stop "$work/cluster"' EXIT
trap 'exit 1' INT TERM HUP
eval "$("$here/cluster.sh" start "$work/cluster")"
echo "cluster up: $(sinfo -h -N -o '%N %c CPUs %m MB %T')"

# Waits until none of the jobs is queued or running (at most $2 seconds).
wait_gone() {
  local ids=$1 limit=${2:-600} i
  for ((i = 0; i < limit * 5; i++)); do
    [ -z "$(squeue -h -j "$ids" -o %i 2>/dev/null)" ] && return 0
    sleep 0.2
  done
  squeue -j "$ids" >&2 || true
  fail "jobs $ids still queued after $limit s"
}

# "task state" lines of an ended job (array tasks, or the job itself as task -).
states() {
  scontrol -o show job "$1" | awk '{
    task = "-"; state = "?"
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^ArrayTaskId=/) task = substr($i, 13)
      if ($i ~ /^JobState=/) state = substr($i, 10)
    }
    print task, state }' | sort -n
}

complete_runs() { find "$1/runs" -name run.json 2>/dev/null | sort; }

has_survey=no
if has_command survey && has_command report; then
  has_survey=yes
fi

suggested() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["suggested_patterns"])' \
    "$1/survey.json"
}

# --- (a) the sample study on 4 workers against one machine ---------------------------
echo "== (a) sample study, pattern counts 2 to 5, 3 chains: one machine, then 4 array tasks"
t=$(now)
"$zarno" run "$sample" "${study[@]}" --out "$work/single" --quiet
single_s=$(since "$t")
echo "one machine: $zarno run $sample ${study[*]} --out $work/single --quiet: ${single_s} s"

t=$(now)
"$zarno" slurm "$sample" "${study[@]}" --out "$work/array" --workers 4 --submit | tee "$work/submit.out"
array=$(sed -n 's/^array job: \([0-9]*\)$/\1/p' "$work/submit.out")
combine=$(sed -n 's/^combine job: \([0-9]*\)$/\1/p' "$work/submit.out")
[ -n "$array" ] && [ -n "$combine" ] || fail "no job ids from zarno slurm --submit"
wait_gone "$array,$combine" 300
slurm_s=$(since "$t")
echo "4 array tasks and the combine job: ${slurm_s} s from submission to the end of the combine job"
states "$array" | tee "$work/array.states"
[ "$(grep -c ' COMPLETED$' "$work/array.states")" = 4 ] || fail "not every array task completed"
python3 "$here/compare_runs.py" "$work/single" "$work/array" || fail "(a) the runs differ"

combine_state=$(states "$combine" | awk '{ print $2 }')
if [ $has_survey = yes ]; then
  [ "$combine_state" = COMPLETED ] || fail "the combine job ended $combine_state"
  "$zarno" survey "$work/single" --quiet >/dev/null 2>&1 || "$zarno" survey "$work/single" >/dev/null
  a=$(suggested "$work/single")
  b=$(suggested "$work/array")
  [ "$a" = "$b" ] || fail "suggested pattern count: one machine $a, array $b"
  [ -s "$work/array/report.html" ] || fail "the combine job wrote no report.html"
  echo "survey: the same suggested pattern count, $a"
else
  echo "SKIPPED (part of a): $zarno has no survey/report subcommand; the combine job ran" \
       "and ended $combine_state, the suggested counts were not compared"
fi

# --- (b) a task cancelled mid-share, the array submitted again -----------------------
echo "== (b) $long_rounds rounds per run; one task cancelled mid-share, the array submitted again"
"$zarno" run "$sample" "${study[@]}" "${long[@]}" --out "$work/single-long" --quiet
"$zarno" slurm "$sample" "${study[@]}" "${long[@]}" --out "$work/cancel" --workers 4 \
  >/dev/null
script=$work/cancel/slurm/array.sbatch
# One task at a time (%1), so the last one runs alone once the others are done and
# everything it has not finished is its own share.
first=$(sbatch --parsable --array=0-3%1 "$script")
first=${first%%;*}
target=
for ((i = 0; i < 3000; i++)); do
  queued=$(squeue -h -r -j "$first" -o '%K %T' 2>/dev/null || true)
  [ -n "$queued" ] || fail "every task ended before the last one could be caught running"
  if [ "$(wc -l <<<"$queued")" = 1 ] && [[ $queued == *" RUNNING" ]]; then
    target=${queued%% *}
    break
  fi
  sleep 0.1
done
[ -n "$target" ] || fail "the last task never ran"
complete_runs "$work/cancel" >"$work/others"  # the other three tasks' shares, all complete
others=$(wc -l <"$work/others")
for ((i = 0; i < 3000; i++)); do
  [ "$(complete_runs "$work/cancel" | wc -l)" -gt "$others" ] && break
  [ -n "$(squeue -h -j "$first" -o %i)" ] || break
  sleep 0.1
done
scancel "${first}_${target}"
wait_gone "$first" 120
states "$first" | tee "$work/first.states"
grep -q "^$target CANCELLED" "$work/first.states" \
  || fail "task $target was not cancelled (it ended first: runs too short?)"
[ "$(grep -c ' COMPLETED$' "$work/first.states")" = 3 ] || fail "the other tasks did not complete"

total=$(complete_runs "$work/single-long" | wc -l)
complete_runs "$work/cancel" >"$work/kept"
kept=$(wc -l <"$work/kept")
own_done=$((kept - others))
[ "$own_done" -ge 1 ] && [ "$kept" -lt "$total" ] \
  || fail "task $target was not cancelled mid-share ($own_done of its runs done, $kept of $total)"
echo "task $target cancelled with $own_done of its $((total - others)) runs done; $kept of $total runs complete"
# Identity of every complete run's files: a recomputed run is written anew.
snapshot() { xargs -r -a "$1" dirname | while read -r d; do stat -c '%n %i %y' "$d"/*; done; }
snapshot "$work/kept" >"$work/kept.stat"
if [ $has_survey = yes ]; then
  # The survey of the partial study names the missing runs and their worker alone.
  "$zarno" survey "$work/cancel" >"$work/survey-partial.out" 2>&1 \
    || fail "the survey of the partial study failed: $(cat "$work/survey-partial.out")"
  grep -q "^Missing $((total - kept)) of the $total runs" "$work/survey-partial.out" \
    && grep -q "^  worker $target: " "$work/survey-partial.out" \
    && [ "$(grep -c '^  worker ' "$work/survey-partial.out")" = 1 ] \
    || fail "the survey does not list task $target's missing runs: $(cat "$work/survey-partial.out")"
  echo "survey of the partial study: $(grep "^  worker $target: " "$work/survey-partial.out")"
fi

again=$(sbatch --parsable "$script")
again=${again%%;*}
wait_gone "$again" 300
states "$again" | tee "$work/again.states"
[ "$(grep -c ' COMPLETED$' "$work/again.states")" = 4 ] || fail "the re-submitted array did not complete"

complete_runs "$work/cancel" >"$work/final"
comm -13 "$work/kept" "$work/final" >"$work/recomputed"
recomputed=$(wc -l <"$work/recomputed")
snapshot "$work/kept" | diff "$work/kept.stat" - >/dev/null \
  || fail "runs complete before the re-submission were written again"
[ "$recomputed" = $((total - kept)) ] \
  || fail "$recomputed runs computed on re-submission, expected $((total - kept))"
echo "re-submission: $recomputed runs computed (task $target's unfinished ones), $kept kept untouched"
python3 "$here/compare_runs.py" "$work/single-long" "$work/cancel" || fail "(b) the runs differ"

echo "PASSED: one machine ${single_s} s, 4 Slurm array tasks ${slurm_s} s (sample study)"
