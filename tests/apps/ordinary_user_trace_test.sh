#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Traces as ordinary users.
#
#   ordinary_user_trace_test.sh container SOURCE_DIR BINARY_DIR CLI PROBE
#       in a Debian root booted with systemd (scripts/user-manager-root), as
#       a user in systemd-journal and one who reads only their own journal,
#       each with a live user manager: every trace must run in a transient
#       scope and show every entry of the tree, compared with the unfiltered
#       journal of the same time (trace_coverage.py; where the kernel keeps
#       fork records from this user, a helper gone before journald read its
#       /proc entry is tied to the tree by them alone): the logging probe, a
#       script whose forked workers log through short-lived `logger`
#       children, gnome-calculator on an X server of its own
#   ordinary_user_trace_test.sh host SOURCE_DIR BINARY_DIR CLI PROBE
#       on this machine, without a user manager, as a user the test creates:
#       a session bus that never answers must not hold the launch, and the
#       probe's lines on stdout and stderr, the last ones too, are shown;
#       and the workers' script shows every entry as above
#
# Root only (it creates the users, or boots the root); exit status 77 when
# this machine cannot. Waits on conditions with deadlines, never fixed sleeps.
set -euo pipefail

mode=$1
here=$(cd "$(dirname "$0")" && pwd)
say() { printf 'ordinary-user-trace: %s\n' "$*"; }
skip() { say "SKIPPED: $*"; exit 77; }
failures=0
fail() { say "$1: FAILED: $2"; failures=$((failures + 1)); [[ -z ${3-} ]] || cat "$3" "$3.err"; }

# Polls COMMAND until it succeeds or SECONDS pass.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

[[ $(id -u) -eq 0 || $mode == inside ]] || skip "needs root to create the users or boot the container"
case $mode in
  container)
    status=0
    "$2/scripts/user-manager-root" run --bind-ro="$3:/opt/marrowfield/build" --bind-ro="$here:/opt/marrowfield/tests" -- \
      /opt/marrowfield/tests/ordinary_user_trace_test.sh inside \
      "/opt/marrowfield/build/${4#"$3"/}" "/opt/marrowfield/build/${5#"$3"/}" || status=$?
    [[ $status -eq 77 ]] && skip "the container cannot be booted here (reason above)"
    exit "$status" ;;
  inside)
    cli=$2 probe=$3 users=(mf-reader mf-plain) under_manager=1 ;;
  host)
    cli=$4 probe=$5 under_manager=0
    [[ -S /run/systemd/journal/socket ]] || skip "no systemd-journald is running"
    users=("mf-plain-$(printf '%04x' $((RANDOM)))")
    useradd -M -d /nonexistent -s /usr/sbin/nologin -G systemd-journal "${users[0]}" ;;
  *) echo "usage: $0 container|host SOURCE_DIR BINARY_DIR CLI PROBE" >&2; exit 2 ;;
esac

work=$(mktemp -d)
chmod 755 "$work"
started_pids=()
finish() {
  local pid
  for pid in "${started_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  [[ $mode != host ]] || userdel "${users[0]}" 2>/dev/null || true
}
trap finish EXIT

# Four forked workers log 50 lines each through `logger` children that live
# for milliseconds, with a `sh -c` child on stderr; then where the script ran.
cat >"$work/workers" <<'SCRIPT'
#!/bin/sh
for worker in 1 2 3 4; do
  (line=0; while [ $line -lt 50 ]; do logger -t mf-worker "$1 worker-$worker line-$line"; line=$((line + 1)); done) &
done
sh -c "echo '$1 sh-child' >&2"
wait
sed "s/^/$1 cgroup /" /proc/self/cgroup
SCRIPT
chmod 755 "$work/workers"

# Runs COMMAND as USER in place of the calling (sub)shell, so that a
# background `(as_user ...) &` has the command's own PID in $!.
as_user() {
  local user=$1 uid session=(HOME="$work")
  shift
  uid=$(id -u "$user")
  ((under_manager)) && session=(HOME="/home/$user" XDG_RUNTIME_DIR="/run/user/$uid"
                                DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus")
  exec setpriv --reuid="$uid" --regid="$(id -g "$user")" --init-groups \
    env -i PATH=/usr/bin:/bin LANG=C.UTF-8 USER="$user" LOGNAME="$user" "${session[@]}" "$@"
}

# Traces ARGS as USER into OUT in the background (under a user manager in an
# app scope of its own, as a desktop starts it); sets cli_pid and since.
start_trace() {
  local user=$1 out=$2
  shift 2
  rm -f "$out" "$out.err"
  since=$(date +%s.%N)
  local scope=()
  ((under_manager)) && scope=(systemd-run --user --scope --quiet "--unit=app-test-marrowfield-$RANDOM$RANDOM.scope" --)
  (as_user "$user" "${scope[@]}" "$cli" trace --raw --no-fresh-launch "$@" >"$out" 2>"$out.err") &
  cli_pid=$!
  started_pids+=("$cli_pid")
}

# Waits for the trace started last to end (the target's end and the late
# lines after it), then compares it with the journal.
trace_ended() { ! kill -0 "$cli_pid" 2>/dev/null; }
finish_trace() {
  local label=$1 out=$2 marker=$3
  wait_for 120 trace_ended || { fail "$label" "the trace did not end within 120 s"; kill -INT "$cli_pid" || true; }
  wait "$cli_pid" || true
  journalctl -o json --no-pager --since "@$since" >"$out.journal"
  python3 "$here/trace_coverage.py" "$out.journal" "$out" "$cli_pid" "$marker" "$label" ||
    fail "$label" "entries of the tree missing" "$out"
}

# The transient scope: the trace's own account of where the target ran.
check_scope() {
  if [[ $2 != *app.slice/app-marrowfield-* ]]; then
    fail "$1" "the target did not run in an app-marrowfield-… scope: $2" "$3"
  else
    say "$1: cgroup $2"
  fi
}

# A session bus that takes the connection and never answers: the launch
# waits for a user manager a second at most, then the target runs on, its
# streams shown to the end.
if ((!under_manager)); then
  # Every connection is taken and held, never answered.
  python3 -c 'import socket, sys; server = socket.socket(socket.AF_UNIX); server.bind(sys.argv[1]); server.listen(8)
held = [server.accept()[0] for _ in iter(int, 1)]' "$work/hung-bus" &
  started_pids+=("$!")
  wait_for 30 test -S "$work/hung-bus"
  chmod 777 "$work/hung-bus"
  marker="mfhung-$RANDOM$RANDOM"
  (as_user "${users[0]}" env DBUS_SESSION_BUS_ADDRESS="unix:path=$work/hung-bus" \
    "$cli" trace --raw --no-fresh-launch "$probe" -- all "$marker" >"$work/hung.out" 2>&1) &
  cli_pid=$!
  started_pids+=("$cli_pid")
  wait_for 60 trace_ended || fail "a session bus that never answers" "the trace did not end within 60 s"
  for line in stdout stderr last-stdout last-stderr; do
    grep -q " $marker $line\$" "$work/hung.out" || fail "as ${users[0]}" "the probe's '$line' line is not shown"
  done
  ((failures == 0)) || { cat "$work/hung.out"; exit 1; }
fi

trace_workers() {
  marker="mfworkers-$RANDOM$RANDOM"
  start_trace "$1" "$work/workers.out" "$work/workers" -- "$marker"
  finish_trace "$1 workers" "$work/workers.out" "$marker"
  # Where the kernel lets a user record their own processes' forks, no line
  # may be missed, and the trace must not say otherwise.
  if (($(cat /proc/sys/kernel/perf_event_paranoid) <= 2)) && grep -q "may be missed" "$work/workers.out"; then
    fail "$1 workers" "the trace says helpers' lines may be missed" "$work/workers.out"
  fi
}

if ((!under_manager)); then
  trace_workers "${users[0]}"
  ((failures == 0)) || exit 1
  say "passed"
  exit 0
fi

for user in "${users[@]}"; do
  say "as $user ($(id -nG "$user")), under its user manager"
  marker="mfprobe-$RANDOM$RANDOM"
  start_trace "$user" "$work/probe.out" "$probe" -- all "$marker"
  finish_trace "$user probe" "$work/probe.out" "$marker"

  trace_workers "$user"
  check_scope "$user workers" "$(grep -o "$marker cgroup 0::.*" "$work/workers.out" | head -n 1 || true)" "$work/workers.out"

  # gnome-calculator on an X server of this user's.
  display=$work/display-$user
  (as_user "$user" Xvfb -displayfd 1 -nolisten tcp >"$display" 2>"$display.err") &
  xvfb=$!
  started_pids+=("$xvfb")
  display_known() { [[ $(cat "$display" 2>/dev/null) == [0-9]* ]]; }
  wait_for 30 display_known || { say "Xvfb did not start: $(cat "$display.err")"; exit 1; }
  out=$work/calculator.out
  start_trace "$user" "$out" --env "DISPLAY=:$(head -n 1 "$display")" /usr/share/applications/org.gnome.Calculator.desktop
  launched() { calculator=$(sed -n 's/.* launched with PID \([0-9]*\).*/\1/p' "$out" | head -n 1); [[ -n $calculator ]]; }
  wait_for 60 launched || { fail "$user calculator" "not launched within 60 s" "$out"; exit 1; }
  # The launch is reported once the target is in its scope.
  check_scope "$user calculator" "$(grep '^0::' "/proc/$calculator/cgroup" 2>&1 || true)" "$out"
  # Until it has written to the journal (without a network its currency
  # downloads fail after a while, with two warnings more), then it is asked
  # to quit: the trace ends with its exit, every entry it wrote in before.
  logged() { journalctl -q --no-pager -o cat "_PID=$calculator" --since "@$since" | grep -q "${1-}"; }
  wait_for 60 logged || say "$user calculator: no journal entry within 60 s"
  wait_for 20 logged currency || true
  kill -TERM "$calculator" 2>/dev/null || true
  finish_trace "$user calculator" "$out" ""
  sed -n '/CONSOLE/p;/Summary/q' "$out"
  kill -TERM "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
done

((failures == 0)) || { say "$failures check(s) failed"; exit 1; }
say "passed"
