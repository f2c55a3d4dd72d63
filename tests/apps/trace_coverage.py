#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How much of a launched process tree's journal a `marrowfield-cli trace --raw`
showed, judged against the unfiltered journal of the same time.

  trace_coverage.py JOURNAL TRACE CLI_PID MARKER LABEL

JOURNAL holds `journalctl -o json` lines. The tree's entries: those of its
transient scope (the app-marrowfield-... unit of the launched PID's entries),
of the launched PID, of the target's streams (the CLI's PID: its stderr
stream, and its stdout lines as the CLI stored them), and with a MARKER every
entry that carries it. An entry counts as shown when a line the trace printed
live ends with its message; each line counts once. Exits 1 when an entry was
not shown; where the trace said that lines of short-lived helpers may be
missed, only when one journald tied to the tree was (any but those known only
by the marker, whose senders were gone before journald read them).
"""

import json
import re
import sys


def first_line(message):
    if isinstance(message, list):  # journalctl's form of a non-UTF-8 message
        message = bytes(message).decode("utf-8", "replace")
    return (message or "").split("\n", 1)[0].strip()


def main(journal, trace, cli_pid, marker, label):
    with open(trace, encoding="utf-8", errors="replace") as f:
        text = f.read()
    live = text.split("Marrowfield Diagnostic Summary", 1)[0].splitlines()
    launched = re.search(r" launched with PID (\d+)", text)
    if not launched:
        print(f"{label}: the trace never launched its target")
        return 1
    root = launched.group(1)
    with open(journal, encoding="utf-8", errors="replace") as f:
        entries = [json.loads(line) for line in f if line.strip()]
    marked = lambda e: marker and marker in first_line(e.get("MESSAGE"))
    units = {e.get("_SYSTEMD_USER_UNIT") or "" for e in entries if e.get("_PID") == root or marked(e)}
    units = {u for u in units if u.startswith("app-marrowfield-")}

    def kind(e):
        if e.get("_SYSTEMD_USER_UNIT") in units:
            return "scope"
        if e.get("_PID") == root:
            return "pid"
        if e.get("_PID") == cli_pid:
            return "stderr" if e.get("_TRANSPORT") == "stdout" else "stdout"
        # (Not the service manager's notes on the units, whose command lines carry the marker too.)
        return "marker" if marked(e) and e.get("_COMM") != "systemd" else None

    used = [False] * len(live)
    missed, by_kind = [], {}
    for e in entries:
        what, message = kind(e), first_line(e.get("MESSAGE"))
        if not what or not message:
            continue
        at = next((i for i, line in enumerate(live)
                   if not used[i] and (line == message or line.endswith(" " + message))), None)
        if at is None:
            missed.append(e)
        else:
            used[at] = True
        total, got = by_kind.get(what, (0, 0))
        by_kind[what] = (total + 1, got + (at is not None))
    tied = [(t, g) for k, (t, g) in by_kind.items() if k != "marker"]
    tied_share = 100.0 * sum(g for _, g in tied) / max(1, sum(t for t, _ in tied)) if tied else 100.0
    total = sum(t for t, _ in by_kind.values())
    detail = ", ".join(f"{k} {g}/{t}" for k, (t, g) in sorted(by_kind.items()))
    print(f"{label}: {total - len(missed)} of {total} journal entries of the tree shown [{detail}];"
          f" of those journald tied to the tree: {tied_share:.1f}%; scope: {', '.join(sorted(units)) or 'none'}")
    for e in missed[:20]:
        print(f"  missed: _PID={e.get('_PID')} _COMM={e.get('_COMM')} unit={e.get('_SYSTEMD_USER_UNIT')}"
              f" transport={e.get('_TRANSPORT')}: {first_line(e.get('MESSAGE'))[:160]}")
    complete = "helpers that live only milliseconds may be missed" not in text
    return 0 if tied_share == 100.0 and (not missed or not complete) else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:6]))
