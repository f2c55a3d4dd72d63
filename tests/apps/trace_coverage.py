#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How much of a launched process tree's journal a `marrowfield-cli trace --raw`
showed, judged against the unfiltered journal of the same time.

  trace_coverage.py --journal FILE --trace FILE --cli-pid N [--marker TEXT]
                    [--require PERCENT] [--label TEXT]

FILE of --journal: `journalctl -o json` lines. The tree's entries are those
of its transient scope (_SYSTEMD_USER_UNIT = the app-marrowfield-... unit of
the launched PID's entries), of the launched PID itself, of the target's
stderr stream (opened by the CLI, so the CLI's _PID on the stdout
transport), the target's stdout lines as the CLI stored them, and, with
--marker, every entry whose message carries the marker (helpers that left
before any of the above could name them). An entry counts as shown when one
line printed live by the trace (before its summary) ends with its message; each
printed line counts once.

Prints one line of figures and the entries missed; exits 1 when the share
shown of the entries journald tied to the tree (all but those known only by
the marker: their sender was gone before journald read its metadata) is
below --require.
"""

import argparse
import json
import re
import sys


def first_line(message):
    if isinstance(message, list):  # journalctl's form of a non-UTF-8 message
        message = bytes(message).decode("utf-8", "replace")
    return (message or "").split("\n", 1)[0].strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--journal", required=True)
    parser.add_argument("--trace", required=True)
    parser.add_argument("--cli-pid", required=True)
    parser.add_argument("--marker", default="")
    parser.add_argument("--require", type=float, default=0.0)
    parser.add_argument("--label", default="trace")
    args = parser.parse_args()

    with open(args.trace, encoding="utf-8", errors="replace") as f:
        text = f.read()
    live = text.split("Marrowfield Diagnostic Summary", 1)[0].splitlines()
    launched = re.search(r" launched with PID (\d+)", text)
    if not launched:
        print(f"{args.label}: the trace never launched its target", file=sys.stderr)
        return 1
    root = launched.group(1)

    entries = []
    with open(args.journal, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.strip()
            if line:
                entries.append(json.loads(line))

    units = {e.get("_SYSTEMD_USER_UNIT") for e in entries
             if e.get("_PID") == root or (args.marker and args.marker in first_line(e.get("MESSAGE")))}
    units = {u for u in units if u and u.startswith("app-marrowfield-")}

    def kind(e):
        if e.get("_SYSTEMD_USER_UNIT") in units:
            return "scope"
        if e.get("_PID") == root:
            return "pid"
        if e.get("_PID") == args.cli_pid:
            # The CLI's own: the target's stderr stream, and its stdout lines
            # handed to the journal under the target's name.
            return "stderr" if e.get("_TRANSPORT") == "stdout" else "stdout"
        # (Not the service manager's notes on the units, whose command
        # lines carry the marker too.)
        if args.marker and args.marker in first_line(e.get("MESSAGE")) and e.get("_COMM") != "systemd":
            return "marker"
        return None

    expected = [(kind(e), first_line(e.get("MESSAGE")), e) for e in entries]
    expected = [x for x in expected if x[0] and x[1]]

    used = [False] * len(live)
    missed = []
    by_kind = {}
    for what, message, entry in expected:
        shown = False
        for i, line in enumerate(live):
            if not used[i] and (line == message or line.endswith(" " + message)):
                used[i] = shown = True
                break
        total, got = by_kind.get(what, (0, 0))
        by_kind[what] = (total + 1, got + (1 if shown else 0))
        if not shown:
            missed.append(entry)

    total = len(expected)
    got = total - len(missed)
    share = 100.0 * got / total if total else 100.0
    # What journald could still tie to the tree (the scope, the target's own
    # PID, its streams) must all be there; the rest came from senders gone
    # before journald looked them up, known here only by the marker.
    tied = [(t, g) for k, (t, g) in by_kind.items() if k != "marker"]
    tied_total = sum(t for t, _ in tied)
    tied_share = 100.0 * sum(g for _, g in tied) / tied_total if tied_total else 100.0
    detail = ", ".join(f"{k} {g}/{t}" for k, (t, g) in sorted(by_kind.items()))
    print(f"{args.label}: {got} of {total} journal entries of the tree shown ({share:.1f}%)"
          f" [{detail}]; of those journald tied to the tree: {tied_share:.1f}%;"
          f" scope: {', '.join(sorted(units)) or 'none'}")
    for entry in missed[:20]:
        print(f"  missed: _PID={entry.get('_PID')} _COMM={entry.get('_COMM')}"
              f" unit={entry.get('_SYSTEMD_USER_UNIT')} transport={entry.get('_TRANSPORT')}"
              f" written={entry.get('_SOURCE_REALTIME_TIMESTAMP', '?')} stored={entry.get('__REALTIME_TIMESTAMP')}:"
              f" {first_line(entry.get('MESSAGE'))[:160]}")
    if len(missed) > 20:
        print(f"  ... and {len(missed) - 20} more")
    return 0 if tied_share >= args.require else 1


if __name__ == "__main__":
    sys.exit(main())
