#!/usr/bin/env bash
# A study into a file system that fills up mid-study: a small tmpfs mounted in
# a mount namespace of its own, with a file taking all but half the room the
# study needs. `zarno run` must end with exit 1 and a message naming the file
# it could not write, leave no run looking complete that is not, and corrupt
# nothing; once the filler is removed, --resume must complete the study to
# the same files as an uninterrupted one.
#
# usage: full_disk.sh ZARNO DATA_DIR     (exit 0 passed, 1 failed, 77 skipped)
set -euo pipefail
[ $# = 2 ] || { echo "usage: full_disk.sh ZARNO DATA_DIR" >&2; exit 2; }
zarno=$1 data=$2

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

if [ -z "${ZARNO_FULL_DISK_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root to mount a small tmpfs in a mount namespace of its own"
  command -v unshare >/dev/null || skip "no unshare (Debian: util-linux)"
  ZARNO_FULL_DISK_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

work=$(mktemp -d)
mnt=$work/mnt
mkdir "$mnt"
mount -t tmpfs -o size=16m,mode=0755 zarno-full-disk "$mnt" || skip "cannot mount a tmpfs here"
trap 'umount "$mnt" 2>/dev/null; rm -rf "$work"' EXIT

study=(run "$data/sample.txt" --uncert "$data/sample.unc" --ranks 2:5 --chains 3 --rounds 50
       --threads 2 --quiet --no-report)

# The uninterrupted study, outside the small file system.
"$zarno" "${study[@]}" --out "$work/reference" || fail "the reference study failed"

# A run's wall time is the one thing that differs between two studies.
same() {
  local a=$1 b=$2
  case $a in
    *run.json) diff <(grep -v '"seconds"' "$a") <(grep -v '"seconds"' "$b") >/dev/null ;;
    *summary.tsv) diff <(cut -f 1-5 "$a") <(cut -f 1-5 "$b") >/dev/null ;;
    *) cmp -s "$a" "$b" ;;
  esac
}

# What the study needs here, counted by the file system itself.
cp -r "$work/reference" "$mnt/measure"
need=$(df -B1 --output=used "$mnt" | tail -1)
rm -rf "$mnt/measure"
free=$(df -B1 --output=avail "$mnt" | tail -1)
fill=$(((free - need / 2) / 4096))
dd if=/dev/zero of="$mnt/filler" bs=4096 count="$fill" status=none 2>/dev/null || true

set +e
"$zarno" "${study[@]}" --out "$mnt/study" >"$work/out" 2>&1
status=$?
set -e
said=$(cat "$work/out")
[ "$status" = 1 ] || fail "exit $status on a full disk, not 1: $said"
grep -q "No space left on device" <<<"$said" || fail "the message does not say the disk is full: $said"
grep -qE "$mnt/study/([^ :;]*/)?[a-z]+\.(tsv|json): No space" <<<"$said" ||
  fail "the message names no file of the study: $said"
grep -q -- "--resume" <<<"$said" || fail "the message does not say how to go on: $said"

# Nothing half written: every file under its final name is whole, every run
# with a run.json is complete, and summary.tsv lists only complete runs.
complete=0
while IFS= read -r -d '' f; do
  rel=${f#"$mnt/study/"}
  case $(basename "$rel") in
    .*) fail "a temporary file was left: $rel" ;;
  esac
  [ -f "$work/reference/$rel" ] || fail "a file the study never writes: $rel"
  [ "$rel" = summary.tsv ] || same "$f" "$work/reference/$rel" ||
    fail "$rel differs from the uninterrupted study's"
  case $rel in
    runs/*/run.json)
      complete=$((complete + 1))
      folder=$(dirname "$f")
      [ -f "$folder/amplitudes.tsv" ] && [ -f "$folder/patterns.tsv" ] ||
        fail "$rel without its matrices" ;;
  esac
done < <(find "$mnt/study" -type f ! -name .lock -print0)
total=$(find "$work/reference/runs" -name run.json | wc -l)
[ "$complete" -lt "$total" ] || fail "every run was written: the disk never filled"
if [ -f "$mnt/study/summary.tsv" ]; then
  while IFS=$'\t' read -r p c _; do
    [ "$p" = patterns ] && continue
    [ -f "$mnt/study/runs/k$p/c$c/run.json" ] || fail "summary.tsv lists the incomplete run k$p/c$c"
  done <"$mnt/study/summary.tsv"
  cut -f 1-5 "$mnt/study/summary.tsv" | grep -vxFf <(cut -f 1-5 "$work/reference/summary.tsv") &&
    fail "summary.tsv holds lines the uninterrupted study's has not"
fi
echo "full disk: exit 1 after $complete of $total runs; $(grep -m1 'No space' <<<"$said")"

# Room again: --resume completes the study to the uninterrupted study's files.
rm -f "$mnt/filler"
"$zarno" "${study[@]}" --out "$mnt/study" --resume >"$work/out" 2>&1 ||
  fail "--resume after the disk was freed: $(cat "$work/out")"
(cd "$work/reference" && find . -type f ! -name .lock | sort) >"$work/want"
(cd "$mnt/study" && find . -type f ! -name .lock | sort) >"$work/got"
diff "$work/want" "$work/got" >/dev/null || fail "other files after --resume: $(diff "$work/want" "$work/got")"
while IFS= read -r rel; do
  same "$mnt/study/$rel" "$work/reference/$rel" || fail "$rel differs after --resume"
done <"$work/want"
echo "resumed: $(wc -l <"$work/want") files equal to the uninterrupted study's"
