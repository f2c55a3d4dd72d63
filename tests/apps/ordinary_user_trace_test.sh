#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Traces as ordinary users, compared against the unfiltered journal of the
# same time (trace_coverage.py): the logging probe, a script whose forked
# workers log through short-lived `logger` children, and, under a user
# manager, gnome-calculator under an X server of its own.
#
#   ordinary_user_trace_test.sh container SOURCE_DIR BINARY_DIR CLI PROBE
#       in a Debian root booted with systemd (scripts/user-manager-root), as
#       a user in systemd-journal and one who reads only their own journal,
#       each with a live user manager: every trace must run in a transient
#       scope and show every entry journald tied to the tree (the scope,
#       the target's PID, its streams); the share of all is printed (a
#       helper gone before journald read its /proc entry is tied to nothing)
#   ordinary_user_trace_test.sh host SOURCE_DIR BINARY_DIR CLI PROBE
#       on this machine's journal, without a user manager, as two users the
#       test creates (in systemd-journal and not): prints the share shown;
#       and a session bus that never answers must not hold the launch
#
# Root only (it creates the users, or boots the root); exit status 77 when
# this machine cannot. Waits on conditions with deadlines, never fixed sleeps.
set -euo pipefail

mode=$1
here=$(cd "$(dirname "$0")" && pwd)
say() { printf 'ordinary-user-trace: %s\n' "$*"; }
skip() { printf 'ordinary-user-trace: SKIPPED: %s\n' "$*"; exit 77; }

# Polls COMMAND until it succeeds or SECONDS pass.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

if [[ $mode == container ]]; then
  source_dir=$2 binary_dir=$3 cli=$4 probe=$5
  [[ $(id -u) -eq 0 ]] || skip "needs root to boot the container"
  status=0
  "$source_dir/scripts/user-manager-root" run \
    --bind-ro="$binary_dir:/opt/marrowfield/build" --bind-ro="$here:/opt/marrowfield/tests" -- \
    /opt/marrowfield/tests/ordinary_user_trace_test.sh inside \
    "/opt/marrowfield/build/${cli#"$binary_dir"/}" "/opt/marrowfield/build/${probe#"$binary_dir"/}" || status=$?
  [[ $status -eq 77 ]] && skip "the container cannot be booted here (reason above)"
  exit "$status"
fi

if [[ $mode == inside ]]; then
  cli=$2 probe=$3
  users=(mf-reader mf-plain)
  under_manager=1
  require=100
else
  [[ $mode == host ]] || { echo "usage: $0 container|host SOURCE_DIR BINARY_DIR CLI PROBE" >&2; exit 2; }
  cli=$4 probe=$5
  [[ $(id -u) -eq 0 ]] || skip "needs root to create the ordinary users"
  [[ -S /run/systemd/journal/socket ]] || skip "no systemd-journald is running"
  # A journald started by hand (scripts/ensure-journald) leaves its files to
  # root alone; a booted system's tmpfiles give them to systemd-journal,
  # which the first user needs. Only the group is let in.
  systemd-tmpfiles --create --prefix=/run/log/journal /usr/lib/tmpfiles.d/systemd.conf || true
  suffix=$(printf '%04x' $((RANDOM)))
  users=("mf-reader-$suffix" "mf-plain-$suffix")
  useradd -M -d /nonexistent -s /usr/sbin/nologin -G systemd-journal "${users[0]}"
  useradd -M -d /nonexistent -s /usr/sbin/nologin "${users[1]}"
  trap 'userdel "${users[0]}" 2>/dev/null || true; userdel "${users[1]}" 2>/dev/null || true' EXIT
  under_manager=0
  require=0
fi

work=$(mktemp -d)
chmod 755 "$work"
started_pids=()
finish() {
  local pid
  for pid in "${started_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  [[ $mode == host ]] && { userdel "${users[0]}" 2>/dev/null || true; userdel "${users[1]}" 2>/dev/null || true; }
  return 0
}
trap finish EXIT

# A script whose four forked workers log 50 lines each through `logger`
# children that live for milliseconds, with a `sh -c` child on stderr.
cat >"$work/workers" <<'EOF'
#!/bin/sh
marker=$1
for worker in 1 2 3 4; do
  (
    line=0
    while [ $line -lt 50 ]; do
      logger -t mf-worker "$marker worker-$worker line-$line"
      line=$((line + 1))
    done
  ) &
done
sh -c "echo '$marker sh-child' >&2"
wait
# Where the script itself ended up (a child forked now is where it is).
sed "s/^/$marker cgroup /" /proc/self/cgroup
EOF
chmod 755 "$work/workers"

# Runs COMMAND as USER in place of the calling (sub)shell, so that a
# background `(as_user ...) &` has the command's own PID in $!.
as_user() {
  local user=$1
  shift
  local uid
  uid=$(id -u "$user")
  local session=()
  if ((under_manager)); then
    session=(HOME="/home/$user" XDG_RUNTIME_DIR="/run/user/$uid" DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus")
  else
    session=(HOME="$work")
  fi
  exec setpriv --reuid="$uid" --regid="$(id -g "$user")" --init-groups \
    env -i PATH=/usr/bin:/bin LANG=C.UTF-8 USER="$user" LOGNAME="$user" "${session[@]}" "$@"
}

# Starts marrowfield-cli as USER in the background (under a user manager in
# an app scope of its own, as a desktop starts it); sets cli_pid.
start_trace() {
  local user=$1 out=$2
  shift 2
  local launcher=()
  ((under_manager)) && launcher=(systemd-run --user --scope --quiet "--unit=app-test-marrowfield-$RANDOM$RANDOM.scope" --)
  # Gone before the start, so nothing of an earlier run is read for this one.
  rm -f "$out" "$out.err"
  (as_user "$user" "${launcher[@]}" "$cli" trace --raw --no-fresh-launch "$@" >"$out" 2>"$out.err") &
  cli_pid=$!
  started_pids+=("$cli_pid")
}

# Until the trace started last has ended (the target's end, and the late
# lines after it); a trace that does not end is stopped and counted a failure.
finish_trace() {
  local label=$1
  trace_ended() { ! kill -0 "$cli_pid" 2>/dev/null; }
  if ! wait_for 120 trace_ended; then
    say "$label: FAILED: the trace did not end within 120 s"
    failures=$((failures + 1))
    kill -INT "$cli_pid" 2>/dev/null || true
  fi
  wait "$cli_pid" || true
}

launched_pid() { sed -n 's/.* launched with PID \([0-9]*\).*/\1/p' "$1" | head -n 1; }
has_launched() { [[ -n $(launched_pid "$1") ]]; }

failures=0
compare() {
  local label=$1 out=$2 since=$3 marker=$4
  journalctl -o json --no-pager --since "@$since" >"$out.journal"
  local status=0
  python3 "$here/trace_coverage.py" --journal "$out.journal" --trace "$out" --cli-pid "$cli_pid" \
    --marker "$marker" --require "$require" --label "$label" || status=$?
  if [[ $status -ne 0 ]]; then
    failures=$((failures + 1))
    echo "--- trace output ($out)"; cat "$out"; cat "$out.err"
  fi
}

# The transient scope: the trace's own account of where the target ran.
check_scope() {
  local label=$1 text=$2 out=$3
  if ((under_manager)) && [[ $text != *app.slice/app-marrowfield-* ]]; then
    say "$label: FAILED: the target did not run in an app-marrowfield-… scope: $text"
    failures=$((failures + 1))
    echo "--- trace output ($out)"; cat "$out" "$out.err"
  else
    say "$label: cgroup ${text:-?}"
  fi
}

for user in "${users[@]}"; do
  say "as $user ($(id -nG "$user"))$( ((under_manager)) && echo ', under its user manager')"

  marker="mfprobe-$RANDOM$RANDOM"
  since=$(date +%s.%N)
  start_trace "$user" "$work/probe.out" "$probe" -- all "$marker"
  finish_trace "$user probe"
  compare "$user probe" "$work/probe.out" "$since" "$marker"

  marker="mfworkers-$RANDOM$RANDOM"
  since=$(date +%s.%N)
  start_trace "$user" "$work/workers.out" "$work/workers" -- "$marker"
  finish_trace "$user workers"
  check_scope "$user workers" "$(grep -o "$marker cgroup 0::.*" "$work/workers.out" | head -n 1 || true)" "$work/workers.out"
  compare "$user workers" "$work/workers.out" "$since" "$marker"

  if ((under_manager)); then
    # gnome-calculator on an X server of this user's.
    display=$work/display-$user
    (as_user "$user" Xvfb -displayfd 1 -nolisten tcp >"$display" 2>"$display.err") &
    xvfb=$!
    started_pids+=("$xvfb")
    display_known() { [[ $(cat "$display" 2>/dev/null) == [0-9]* ]]; }
    wait_for 30 display_known || { say "Xvfb did not start: $(cat "$display.err")"; exit 1; }
    since=$(date +%s.%N)
    start_trace "$user" "$work/calculator.out" --env "DISPLAY=:$(head -n 1 "$display")" \
      /usr/share/applications/org.gnome.Calculator.desktop
    if ! wait_for 60 has_launched "$work/calculator.out"; then
      say "$user calculator: FAILED: not launched within 60 s"; cat "$work/calculator.out"*; exit 1
    fi
    calculator=$(launched_pid "$work/calculator.out")
    # The launch is reported once the target is in its scope.
    check_scope "$user calculator" "$(grep '^0::' "/proc/$calculator/cgroup" 2>&1 || true)" "$work/calculator.out"
    # Until it has written to the journal, then quit politely: the trace
    # ends with its exit, so every entry it wrote is in before the end.
    calculator_wrote() { [[ -n $(journalctl -q --no-pager -o cat "_PID=$calculator" --since "@$since") ]]; }
    wait_for 60 calculator_wrote || say "$user calculator: no journal entry within 60 s"
    # Without a network its currency downloads fail after a while, with two
    # warnings more; with one they succeed quietly.
    calculator_warned() { journalctl -q --no-pager -o cat "_PID=$calculator" --since "@$since" | grep -q 'currency'; }
    wait_for 20 calculator_warned || true
    [[ -n $calculator ]] && kill -TERM "$calculator" 2>/dev/null
    finish_trace "$user calculator"
    compare "$user calculator" "$work/calculator.out" "$since" ""
    sed -n '/CONSOLE/p;/Summary/q' "$work/calculator.out"
    kill -TERM "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
done

# A session bus that takes the connection and never answers: the launch
# waits for a user manager a second at most, then the target runs on.
if ((!under_manager)); then
  python3 -c '
import socket, sys, time
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1])
server.listen(8)
held = []
while True:
    held.append(server.accept()[0])
' "$work/hung-bus" &
started_pids+=("$!")
  wait_for 30 test -S "$work/hung-bus"
  chmod 777 "$work/hung-bus"
  marker="mfhung-$RANDOM$RANDOM"
  (as_user "${users[0]}" env DBUS_SESSION_BUS_ADDRESS="unix:path=$work/hung-bus" \
    "$cli" trace --raw --no-fresh-launch "$probe" -- all "$marker" >"$work/hung.out" 2>&1) &
  hung_cli=$!
  started_pids+=("$hung_cli")
  trace_ended() { ! kill -0 "$hung_cli" 2>/dev/null; }
  if wait_for 60 trace_ended && grep -q "$marker last-stdout" "$work/hung.out"; then
    say "a session bus that never answers: the trace ran to its end"
  else
    say "FAILED: with a session bus that never answers the trace did not run to its end"
    cat "$work/hung.out"
    failures=$((failures + 1))
  fi
fi

((failures == 0)) || { say "$failures check(s) failed"; exit 1; }
say "passed"
