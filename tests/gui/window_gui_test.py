# SPDX-License-Identifier: GPL-3.0-or-later
"""The Marrowfield window as a new user meets it, on a real X server.

Run by scripts/with-x11 (Xvfb, openbox, a session bus, the accessibility
bus). Arguments: the marrowfield program, the demo program, and the folder
that keeps the screenshots the checks read. MF_GUI_ONLY=initial-size runs
only the first check (used on a small screen). MARROWFIELD_SCREENSHOTS=DIR
also keeps pictures of the main steps there, for a person to look at;
MF_README_SCREENSHOT=PATH saves the window's content with the demo's exit
selected there (docs/screenshot.png).

The journey builds on itself in the order a person works: choose, launch,
copy the summary, history, the Tab order, a fresh launch, stop, launch
options, quit. What the window shows for each state is tested offscreen, over
fakes (tests/ui); here the real program, window manager, clipboard and
accessibility bus carry it.
"""

import os
import shutil
import signal
import sys
import tempfile
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import (Screenshots, Window, clipboard, double_click_at as run_xdotool_double_click,  # noqa: E402
                     extents, is_focus_ring, key, run, screen_size, state, type_text, wait_for)

PROGRAM, DEMO, ARTIFACTS = (map(os.path.abspath, sys.argv[1:4]) if len(sys.argv) >= 4 else (None, None, None))
ONLY = os.environ.get("MF_GUI_ONLY", "")
MIN_WIDTH, MIN_HEIGHT = 1000, 680


def desktop_entry(folder, options, name="marrowfield-demo"):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"{name}.desktop")
    with open(path, "w") as entry:
        entry.write("[Desktop Entry]\nType=Application\nName=Marrowfield Demo\n"
                    f"Exec=\"{DEMO}\" --bundle-id marrowfield-demo {options}\nTerminal=false\n")
    return path


# A target that says what it was given, then keeps printing, one line at a
# time (as warnings, which the actionable list shows).
PROBE = """#!/bin/sh
printf 'warning: probe argv:'; for a in "$@"; do printf ' [%s]' "$a"; done; printf '\\n'
echo "warning: probe env: MF_PROBE=${MF_PROBE-unset}"
i=0
while [ $i -lt 100000 ]; do i=$((i + 1)); echo "warning: probe tick $i"; sleep 0.05; done
"""


class Journey(unittest.TestCase):
    window = None

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="mf-gui-home-")
        folder = os.path.join(ARTIFACTS, "initial-size" if ONLY else "journey")
        shutil.rmtree(folder, ignore_errors=True)
        cls.shots = Screenshots(folder)
        # A demo of our own: a fresh launch quits every running instance of
        # the chosen executable, and other tests run the shared one.
        global DEMO
        own = os.path.join(cls.home, "bin", "marrowfield-demo")
        os.makedirs(os.path.dirname(own))
        shutil.copy2(DEMO, own)
        DEMO = own
        applications = os.path.join(cls.home, ".local", "share", "applications")
        cls.exit3 = desktop_entry(applications, "--exit 3")
        cls.crash = desktop_entry(os.path.join(cls.home, "crash"), "--crash")
        cls.stay = desktop_entry(os.path.join(cls.home, "stay"), "--stay")
        cls.probe = os.path.join(cls.home, "probe", "mf-probe")
        os.makedirs(os.path.dirname(cls.probe))
        with open(cls.probe, "w") as probe:
            probe.write(PROBE)
        os.chmod(cls.probe, 0o755)
        env = dict(os.environ, HOME=cls.home, XDG_DATA_HOME=os.path.join(cls.home, ".local", "share"),
                   XDG_CONFIG_HOME=os.path.join(cls.home, ".config"), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        env.pop("QT_QPA_PLATFORM", None)
        cls.pids = set()
        cls.window = Window(PROGRAM, env, cls.home)
        cls.window.activate()

    @classmethod
    def tearDownClass(cls):
        output = None
        if cls.window is not None:
            output = cls.window.close()
            with open(os.path.join(cls.shots.folder, "marrowfield-output.txt"), "w") as log:
                log.write(output or "")
        # The targets this test launched, by the PIDs the trace reported.
        for pid in cls.pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        shutil.rmtree(cls.home, ignore_errors=True)
        # A sanitizer build reports what it found on the program's own
        # output, some of it only at exit.
        for report in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
            if report in (output or ""):
                raise AssertionError(f"the program reported '{report}', see marrowfield-output.txt")

    # ---------------------------------------------------------------- helpers
    @property
    def w(self):
        return self.window

    def note_pids(self):
        for row in self.w.rows():
            if " launched with PID " in row:
                self.pids.add(int(row.rsplit(" ", 1)[1]))

    def row_with(self, text, timeout=20):
        return wait_for(lambda: next((r for r in self.w.rows() if text in r), None), f"an event containing {text!r}",
                        timeout)

    def open_chooser(self):
        self.w.click(self.w.button("Choose App"))
        return wait_for(lambda: next((self.w.app.getChildAtIndex(i) for i in range(self.w.app.childCount)
                                      if self.w.app.getChildAtIndex(i).name == "Choose an application to trace"),
                                     None), "the chooser")

    def choose(self, path):
        dialog = self.open_chooser()
        type_text(path)
        key("Return")
        try:
            wait_for(lambda: dialog.getState().contains(pyatspi.STATE_DEFUNCT) or not dialog.getState().contains(
                pyatspi.STATE_SHOWING), "the chooser to close", timeout=3)
        except AssertionError:
            key("Return")  # the first Return took the completer's suggestion
        wait_for(lambda: self.w.status().startswith("Ready to trace"), "the chosen target")

    def message_width(self):
        """From the EVENT column head to the event pane's right edge (the search field's, and its margin)."""
        head = self.w.find(pyatspi.ROLE_LABEL, "EVENT")
        sx, _, sw, _ = extents(self.w.find(pyatspi.ROLE_TEXT, "Search diagnostics"))
        return sx + sw + 16 - extents(head)[0]

    def assert_one_line(self, widget):
        _, _, width, height = extents(widget)
        self.assertLess(height, 20, f"{widget.name!r} wraps: {width}x{height}")

    def assert_focus_ring(self, obj, shot):
        x, y, w, h = extents(obj)
        pad = 3
        pixels = Screenshots.pixels(shot, max(0, x - pad), max(0, y - pad), w + 2 * pad, h + 2 * pad)
        ring = sum(1 for p in pixels if is_focus_ring(p))
        self.assertGreater(ring, 2 * (w + h) // 3, f"no visible focus ring on {obj.name!r} ({ring} ring pixels)")

    # ---------------------------------------------------------------- steps
    def test_00_initial_size_fits_the_screen(self):
        (x, y, width, height), (left, right, top, bottom) = wait_for(
            lambda: (lambda g: g if g[1] != (0, 0, 0, 0) else None)(self.w.geometry()), "the window frame")
        screen_w, screen_h = screen_size()
        self.assertGreaterEqual(width, MIN_WIDTH)
        self.assertGreaterEqual(height, MIN_HEIGHT)
        self.assertGreaterEqual(x - left, 0)
        self.assertGreaterEqual(y - top, 0)
        self.assertLessEqual(x + width + right, screen_w, "the frame runs off the right edge")
        self.assertLessEqual(y + height + bottom, screen_h, "the frame runs off the bottom edge")
        # The sidebar's foot (the TARGET panel) is on screen.
        target = self.w.find(pyatspi.ROLE_LABEL, "TARGET")
        tx, ty, tw, th = extents(target)
        self.assertLessEqual(ty + th, screen_h)
        # The message column takes half the window on 1024 x 768 (the detail
        # pane starts folded there) and a third on a roomy screen; folding the
        # side columns that are shown gives it the rest, and showing them
        # again brings back the same widths.
        message = self.message_width()
        self.assertGreaterEqual(message, width // 2 if width < 1280 else width // 3,
                                f"message column {message} px of {width}")
        keys = {"Show Sidebar": "F9", "Show Event Detail": "shift+F9"}
        shown = [name for name in keys
                 if state(self.w.find_where(lambda o, n=name: o.name == n), pyatspi.STATE_CHECKED)]
        self.assertIn("Show Sidebar", shown)
        for toggle in shown:
            self.w.click(self.w.find_where(lambda o: o.name == toggle))
        wait_for(lambda: self.message_width() > message + 150, "the side columns to collapse")
        self.shots.take("columns-collapsed")
        key(*(keys[name] for name in shown))
        wait_for(lambda: self.message_width() == message, "the side columns back at their widths")

    @unittest.skipIf(ONLY, "initial size only")
    def test_10_choose_shows_a_one_line_status(self):
        self.assertEqual(self.w.status(), "Ready")
        dialog = self.open_chooser()
        # It opens where the user's applications are, lists them by name, and
        # names its places so they can be told apart.
        look_in = wait_for(lambda: self.w.find(pyatspi.ROLE_COMBO_BOX, None, dialog), "the folder box")
        self.assertEqual(look_in.name, os.path.dirname(self.exit3))
        places = self.w.find(pyatspi.ROLE_LIST, "Sidebar", dialog)
        labels = [places.getChildAtIndex(i).name for i in range(places.childCount)]
        self.assertEqual(labels[0], "My Applications")
        self.assertIn("Home", labels)
        self.assertEqual(len(labels), len(set(labels)), labels)
        wait_for(lambda: self.w.find(pyatspi.ROLE_TABLE_CELL, "Marrowfield Demo", dialog), "the entry's Name=")
        filters = [o.name for o in (self.w.find_where(lambda o: o.getRole() == pyatspi.ROLE_COMBO_BOX and
                                                      o.name.startswith("Applications"), dialog),) if o]
        self.assertEqual(filters, ["Applications \u2014 desktop entries and executables"])
        # Double-click the entry, as one does.
        cell = self.w.find(pyatspi.ROLE_TABLE_CELL, "marrowfield-demo.desktop", dialog)
        x, y, width, height = extents(cell)
        run_xdotool_double_click(x + width // 2, y + height // 2)
        wait_for(lambda: self.w.status().startswith("Ready to trace"), "the chosen target")
        self.assertEqual(self.w.status(), "Ready to trace marrowfield-demo")
        self.assert_one_line(self.w.status_widget())

    @unittest.skipIf(ONLY, "initial size only")
    def test_20_launch_runs_to_the_exit_and_records_a_session(self):
        self.w.click(self.w.button("Launch & Trace"))
        wait_for(lambda: self.w.status().startswith("Tracing PID") or self.w.status() == "Process ended",
                 "the launch")
        self.row_with("launched with PID")
        self.note_pids()
        self.row_with("exited with status 3")
        wait_for(lambda: self.w.status() == "Process ended", "the end of the trace")
        self.assert_one_line(self.w.status_widget())
        cards = wait_for(lambda: self.w.cards(), "a session card")
        self.assertIn("Exited with status 3", cards[0].name)

    @unittest.skipIf(ONLY, "initial size only")
    def test_30_the_reader_hears_rows_and_the_selection(self):
        rows = self.w.event_list()
        time_text, type_label, source, message = rows.getChildAtIndex(0).name.split(", ", 3)
        self.assertRegex(time_text, r"^\d\d:\d\d:\d\d$")
        self.assertEqual((type_label, source, message), ("INFO", "SESSION", "Launch trace started for marrowfield-demo"))
        index = next(i for i in range(rows.childCount) if "exited with status 3" in rows.getChildAtIndex(i).name)
        self.w.click(rows.getChildAtIndex(index))
        wait_for(lambda: state(rows.getChildAtIndex(index), pyatspi.STATE_SELECTED), "the row to read as selected")
        self.shots.take("selected-row")
        if os.environ.get("MF_README_SCREENSHOT"):
            run("import", "-window", self.w.window_id, os.environ["MF_README_SCREENSHOT"], timeout=30)

    @unittest.skipIf(ONLY, "initial size only")
    def test_50_copy_summary_reaches_other_programs(self):
        self.w.click(self.w.button("Copy Summary"))
        text = wait_for(lambda: (lambda t: t if t and t.startswith("Marrowfield Diagnostic Summary") else None)(
            clipboard()), "the summary on the clipboard")
        self.assertIn("App: marrowfield-demo", text)
        self.assertIn("exited with status 3", text)
        self.assertEqual(self.w.status(), "Summary copied")

    @unittest.skipIf(ONLY, "initial size only")
    def test_60_history_tells_a_crash_from_an_exit(self):
        self.choose(self.crash)
        self.w.click(self.w.button("Launch & Trace"))
        wait_for(lambda: len(self.w.cards()) == 2, "the second card")
        self.note_pids()
        crash, exit3 = self.w.cards()
        self.assertIn("Crashed: killed by signal 11 (SIGSEGV)", crash.name)
        self.assertIn("Exited with status 3", exit3.name)
        self.w.click(exit3)
        wait_for(lambda: self.w.status() == "Viewing saved session", "the saved session")
        self.assert_one_line(self.w.status_widget())
        # "Current" joins the toolbar without pushing the search to a second row.
        self.assertEqual(extents(self.w.button("Current"))[1] // 10,
                         extents(self.w.find(pyatspi.ROLE_TEXT, "Search diagnostics"))[1] // 10)
        self.w.click(self.w.button("Current"))
        wait_for(lambda: self.w.status() != "Viewing saved session", "the live view")

    @unittest.skipIf(ONLY, "initial size only")
    def test_70_tab_visits_every_control_in_order(self):
        # A saved session: every control has something to show.
        crash, exit3 = self.w.cards()
        self.w.click(exit3)
        wait_for(lambda: self.w.status() == "Viewing saved session", "the saved session")
        rows = self.w.event_list()
        wait_for(lambda: rows.childCount > 0, "the session's rows")
        self.w.click(rows.getChildAtIndex(0))
        wait_for(lambda: self.w.focused()[0] == "Events", "the list focused")
        cards = [card.name for card in self.w.cards()]
        expected = ["Copy selected event", "TYPE", "SOURCE", "TIME", "MESSAGE", "ORIGIN", "Clear launch history"]
        expected += cards
        expected += ["Launch Options", "Copy Summary", "Show Sidebar", "Show Event Detail", "Choose App",
                     "Launch & Trace", "Clear view", "Current", "Search diagnostics", "Show Raw Log", "Fresh Launch",
                     "Events"]
        ring_checks = {"Choose App", "Show Raw Log", "Fresh Launch", "Clear launch history", "Events", cards[0]}
        seen = []
        for step, name in enumerate(expected):
            key("Tab")
            focused = wait_for(lambda: (lambda f: f if f[0] == name else None)(self.w.focused()),
                               f"Tab {step + 1} to reach {name!r} (after {seen})", timeout=5)
            seen.append(name)
            if name in ring_checks:
                shot = self.shots.take(f"focus-{len(seen):02d}", checked=True)
                self.assert_focus_ring(focused[1], shot)
        self.w.click(self.w.button("Current"))
        wait_for(lambda: self.w.status() != "Viewing saved session", "the live view")

    @unittest.skipIf(ONLY, "initial size only")
    def test_80_fresh_launch_then_stop(self):
        self.choose(self.stay)
        self.w.click(self.w.button("Launch & Trace"))
        first = int(self.row_with("launched with PID").rsplit(" ", 1)[1])
        self.pids.add(first)
        wait_for(lambda: self.w.status() == f"Tracing PID {first}", "the trace to run")
        self.assert_one_line(self.w.status_widget())
        self.w.click(self.w.button("Stop"))
        self.row_with("Trace stopped")
        # Stop leaves the target running; a fresh launch quits it first.
        os.kill(first, 0)
        self.w.click(self.w.button("Launch & Trace"))
        self.row_with("Existing marrowfield-demo instance terminated for fresh launch")
        second = int(self.row_with("launched with PID").rsplit(" ", 1)[1])
        self.pids.add(second)
        self.assertNotEqual(first, second)
        wait_for(lambda: self.w.status() == f"Tracing PID {second}", "the new trace")
        self.w.click(self.w.button("Stop"))
        self.row_with("Trace stopped")
        cards = wait_for(lambda: (lambda c: c if len(c) >= 4 else None)(self.w.cards()), "the stopped sessions")
        self.assertIn("Stopped", cards[0].name)

    @unittest.skipIf(ONLY, "initial size only")
    def test_90_launch_options_reach_the_target(self):
        w = self.w
        # Screen-reader texts: plain descriptions, counts in the singular.
        for card in w.cards():
            self.assertNotIn("<", card.description)
            self.assertNotRegex(card.name, r"\b1 (errors|warnings)\b")
        self.assertEqual(w.status_widget().getRole(), pyatspi.ROLE_STATUS_BAR)

        # Launch options reach the target, and the detail of its events says them.
        self.choose(self.probe)
        key("ctrl+e")
        arguments = wait_for(lambda: w.find_where(lambda o: o.name == "Arguments" and o.getRole() in (
            pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY), w.app), "the launch options")
        w.click(arguments)
        type_text('--alpha "two words"')
        key("Tab")
        type_text("MF_PROBE=hello world")
        w.click(w.find_where(lambda o: o.getRole() == pyatspi.ROLE_PUSH_BUTTON and o.name == "OK", w.app))
        wait_for(lambda: w.find_where(lambda o: "Environment: MF_PROBE='hello world'" in o.name),
                 "the options beside the target")

        # Enter on the focused "Launch & Trace" launches; the keyboard moves to "Stop".
        key("ctrl+f", "shift+Tab", "shift+Tab")
        wait_for(lambda: w.focused()[0] == "Launch & Trace", "Launch & Trace focused")
        key("Return")
        self.row_with("probe argv: [--alpha] [two words]")
        self.row_with("probe env: MF_PROBE=hello world")
        self.note_pids()
        wait_for(lambda: w.focused()[0] == "Stop", "the keyboard on Stop")
        rows = w.event_list()
        w.click(next(rows.getChildAtIndex(i) for i in range(rows.childCount)
                     if "probe env:" in rows.getChildAtIndex(i).name))
        self.assertEqual(w.detail_value("LAUNCH OPTIONS"),
                         "Arguments: --alpha 'two words'\nEnvironment: MF_PROBE='hello world'")

        # Shift+F5 stops; the session's card says what it ran with.
        key("shift+F5")
        self.row_with("Trace stopped")
        card = wait_for(lambda: (lambda c: c[0] if c and "Stopped" in c[0].name and "MF_PROBE" in c[0].description
                                 else None)(w.cards()), "the probe's card")
        self.assertIn("Arguments: --alpha 'two words'", card.description)

    @unittest.skipIf(ONLY, "initial size only")
    def test_99_ctrl_q_quits(self):
        key("ctrl+q")
        wait_for(lambda: self.w.process.poll() is not None, "the program to end")
        self.assertEqual(self.w.process.returncode, 0)


if __name__ == "__main__":
    if not PROGRAM:
        print("usage: window_gui_test.py MARROWFIELD DEMO ARTIFACT_DIR", file=sys.stderr)
        sys.exit(2)
    unittest.main(argv=[sys.argv[0], "-v"])
