#!/usr/bin/env bash
# A throw-away single-node Slurm cluster on this machine, for tests.
#
#   cluster.sh check            exit 0 when the Slurm and munge programs are installed,
#                               else say what is missing and exit 77 (ctest: skipped)
#   cluster.sh start DIR        start munged, slurmctld and slurmd with everything (key,
#                               config, state, spool, logs, pid files) under DIR; wait
#                               until the node is idle
#   cluster.sh stop DIR         cancel the cluster's jobs, stop the daemons by their pid
#                               files, then any process still carrying this cluster's
#                               configuration in its environment
#   cluster.sh status DIR       the daemons' pids and sinfo
#
# Clients reach the cluster with SLURM_CONF=DIR/etc/slurm.conf (`cluster.sh start` prints
# the line to export). Runs as root (slurmd must), needs no systemd and leaves nothing
# outside DIR; its ports are free ones found at start, never Slurm's defaults.
set -euo pipefail

SKIP=77
PROGRAMS=(munged slurmctld slurmd sbatch sinfo squeue scancel scontrol)

die() { echo "cluster.sh: $*" >&2; exit 1; }

check() {
  local missing=() p
  for p in "${PROGRAMS[@]}"; do
    command -v "$p" >/dev/null 2>&1 || [ -x "/usr/sbin/$p" ] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Slurm is not installed here (missing: ${missing[*]});" \
         "apt-get install slurmctld slurmd slurm-client munge" >&2
    return $SKIP
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "A test Slurm cluster needs root (slurmd runs jobs as their user)" >&2
    return $SKIP
  fi
}

prog() { command -v "$1" 2>/dev/null || echo "/usr/sbin/$1"; }

# Listening TCP ports, from /proc (no dependency on ss or netstat).
port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v h=":$hex" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == h { f = 1 }
                    END { exit !f }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Two consecutive free ports, starting from a point that depends on DIR so that
# clusters of different build trees rarely probe the same ones.
free_ports() {
  local base p i
  base=$(( 20000 + $(printf '%s' "$1" | cksum | cut -d' ' -f1) % 20000 ))
  for ((i = 0; i < 400; i += 2)); do
    p=$(( base + i ))
    if ! port_in_use "$p" && ! port_in_use $((p + 1)); then
      echo "$p"
      return 0
    fi
  done
  die "no two free consecutive TCP ports from $base"
}

# A live process (a zombie left by a killed daemon is not).
alive() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

pid_alive() { [ -f "$1" ] && alive "$(cat "$1")"; }

# Stops the process of a pid file: TERM, up to 15 s, then KILL.
stop_pidfile() {
  local file=$1 pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -n "$pid" ] && alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 150; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$file"
}

# Processes whose environment names this cluster's configuration: the step daemons
# and job processes that slurmd started (they inherit SLURM_CONF).
cluster_processes() {
  local conf=$1 e pid
  for e in /proc/[0-9]*/environ; do
    pid=${e#/proc/}
    pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' <"$e"; } 2>/dev/null | grep -qxF "SLURM_CONF=$conf"; then
      echo "$pid"
    fi
  done
}

start() {
  local dir host mem_kb mem_mb port conf i state
  dir=$(mkdir -p "$1" && cd "$1" && pwd)
  check || exit $?
  host=$(hostname -s)
  conf=$dir/etc/slurm.conf
  if pid_alive "$dir/run/slurmctld.pid" || pid_alive "$dir/run/munged.pid"; then
    die "a cluster is already running under $dir (cluster.sh stop $dir)"
  fi
  rm -rf "$dir/etc" "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" "$dir/run" "$dir/tmp"
  # munged refuses keys, sockets and logs that others could read or replace.
  mkdir -p "$dir/etc" "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" "$dir/run" "$dir/tmp"
  chmod 0700 "$dir/munge" "$dir/state" "$dir/spool"
  chmod 0755 "$dir/etc" "$dir/log" "$dir/run"

  # From here on, a failure (set -e, set -u or an explicit false) stops whatever
  # was started.
  started=no
  trap '[ "$started" = yes ] || { echo "cluster.sh: start failed; logs in $dir/log" >&2; stop "$dir" >/dev/null 2>&1 || true; }' EXIT

  dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
  chmod 0400 "$dir/munge/munge.key"
  "$(prog munged)" --force \
    --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/run/munged.pid" --log-file="$dir/log/munged.log" \
    --seed-file="$dir/munge/munged.seed"
  for ((i = 0; i < 100; i++)); do
    [ -S "$dir/munge/munge.socket" ] && break
    sleep 0.1
  done
  [ -S "$dir/munge/munge.socket" ] || { cat "$dir/log/munged.log" >&2; false; }

  mem_kb=$(awk '/^MemTotal:/ { print $2 }' /proc/meminfo)
  mem_mb=$(( mem_kb / 1024 * 9 / 10 ))   # leave the system a tenth
  port=$(free_ports "$dir")
  : >"$dir/etc/plugstack.conf"           # no site plugins from /etc/slurm
  cat >"$conf" <<EOF
# Single-node test cluster written by tests/cli/slurm/cluster.sh; everything under $dir.
ClusterName=zarnotest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
TmpFS=$dir/tmp
SlurmctldPidFile=$dir/run/slurmctld.pid
SlurmdPidFile=$dir/run/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig=$dir/etc/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
SchedulerType=sched/backfill
MpiDefault=none
SwitchType=switch/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MailProg=/bin/true
ReturnToService=2
SlurmdParameters=config_overrides
KillWait=5
MinJobAge=600
InactiveLimit=0
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 RealMemory=$mem_mb State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF=$conf
  # -c: no state from an earlier cluster in this directory.
  "$(prog slurmctld)" -c -f "$conf"
  "$(prog slurmd)" -c -f "$conf" -N "$host"

  for ((i = 0; i < 600; i++)); do
    state=$(sinfo -h -N -n "$host" -o '%T' 2>/dev/null || true)
    case $state in
      idle) break ;;
      drain*|down*|fail*)
        # A node left down by an earlier cluster comes back when told to.
        scontrol update nodename="$host" state=resume >/dev/null 2>&1 || true ;;
    esac
    sleep 0.1
  done
  if [ "$state" != idle ]; then
    echo "cluster.sh: node $host is '${state:-unknown}' after 60 s, not idle" >&2
    sinfo -h -N -n "$host" -o '%T %E' >&2 || true
    tail -n 20 "$dir/log/slurmctld.log" "$dir/log/slurmd.log" >&2 || true
    false
  fi
  started=yes
  echo "export SLURM_CONF=$conf"
}

stop() {
  local dir conf i pids
  dir=$(cd "$1" 2>/dev/null && pwd) || return 0
  conf=$dir/etc/slurm.conf
  if pid_alive "$dir/run/slurmctld.pid"; then
    SLURM_CONF=$conf timeout 10 scancel --quiet --user="$(id -un)" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
      [ -z "$(SLURM_CONF=$conf timeout 5 squeue -h -t running,completing -o %i 2>/dev/null || true)" ] && break
      sleep 0.1
    done
  fi
  stop_pidfile "$dir/run/slurmd.pid"
  stop_pidfile "$dir/run/slurmctld.pid"
  # Steps and jobs that outlived the daemons (a test stopped mid-job).
  pids=$(cluster_processes "$conf")
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
  fi
  stop_pidfile "$dir/run/munged.pid"
  rm -f "$dir/munge/munge.socket" "$dir/munge/munge.socket.lock"
}

status() {
  local dir=$1 d rc=0
  for d in munged slurmctld slurmd; do
    if pid_alive "$dir/run/$d.pid"; then
      echo "$d: running, pid $(cat "$dir/run/$d.pid")"
    else
      echo "$d: not running"
      rc=1
    fi
  done
  [ $rc = 0 ] && SLURM_CONF=$dir/etc/slurm.conf sinfo -N
  return $rc
}

case ${1:-} in
  check) check ;;
  start) [ $# = 2 ] || die "usage: cluster.sh start DIR"; start "$2" ;;
  stop) [ $# = 2 ] || die "usage: cluster.sh stop DIR"; stop "$2" ;;
  status) [ $# = 2 ] || die "usage: cluster.sh status DIR"; status "$2" ;;
  *) die "usage: cluster.sh check | start DIR | stop DIR | status DIR" ;;
esac
