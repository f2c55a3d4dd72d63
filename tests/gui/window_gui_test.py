# SPDX-License-Identifier: GPL-3.0-or-later
# The Marrowfield window as a new user meets it, on a real X server of its own
# (scripts/with-x11: Xvfb, openbox, a session bus, the accessibility bus).
# Arguments: the marrowfield program, the demo program, and the folder that
# keeps the screenshots the checks read. MF_GUI_ONLY=initial-size runs only
# the first steps (used on a small screen: the size, then select and read);
# MF_README_SCREENSHOT=PATH saves the
# window with the demo's exit selected there (docs/screenshot.png).
#
# One journey, in the order a person works: the first window on the screen,
# choose, launch, copy the summary, a saved session and the Tab order, launch
# options and the keyboard after a launch, quit. What the window shows in
# each state is tested offscreen (tests/ui); here what the real window
# manager, focus, clipboard and accessibility bus carry.

import os
import shutil
import sys
import tempfile
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Heard, Targets, Window, clipboard, extents, key, pixels, run, state, type_text, wait_for  # noqa: E402

PROGRAM, DEMO, ARTIFACTS = (map(os.path.abspath, sys.argv[1:4]) if len(sys.argv) >= 4 else (None, None, None))
ONLY = os.environ.get("MF_GUI_ONLY", "")

# A target that says what it was given, then keeps printing warnings.
PROBE = """#!/bin/sh
printf 'warning: probe argv:'; for a in "$@"; do printf ' [%s]' "$a"; done; printf '\\n'
echo "warning: probe env: MF_PROBE=${MF_PROBE-unset}"
while :; do echo "warning: probe tick"; sleep 0.05; done
"""


def screen_value(info, name):
    return int(next(line for line in info.splitlines() if name in line).split()[-1])


class Journey(unittest.TestCase):
    w = None

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="mf-gui-home-")
        cls.shots = os.path.join(ARTIFACTS, ONLY or "journey")
        shutil.rmtree(cls.shots, ignore_errors=True)
        os.makedirs(cls.shots)
        # A demo of our own: a fresh launch quits every running instance of
        # the chosen executable, and other tests run the shared one.
        demo = os.path.join(cls.home, "bin", "marrowfield-demo")
        os.makedirs(os.path.dirname(demo))
        shutil.copy2(DEMO, demo)
        cls.entry = os.path.join(cls.home, ".local", "share", "applications", "marrowfield-demo.desktop")
        os.makedirs(os.path.dirname(cls.entry))
        with open(cls.entry, "w") as entry:
            entry.write("[Desktop Entry]\nType=Application\nName=Marrowfield Demo\n"
                        f"Exec=\"{demo}\" --bundle-id marrowfield-demo --exit 3\n")
        with open(os.path.join(os.path.dirname(cls.entry), "notes.txt"), "w") as notes:
            notes.write("not an application\n")
        cls.probe = os.path.join(cls.home, "probe", "mf-probe")
        os.makedirs(os.path.dirname(cls.probe))
        with open(cls.probe, "w") as probe:
            probe.write(PROBE)
        os.chmod(cls.probe, 0o755)
        env = dict(os.environ, HOME=cls.home, XDG_DATA_HOME=os.path.join(cls.home, ".local", "share"),
                   XDG_CONFIG_HOME=os.path.join(cls.home, ".config"), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        env.pop("QT_QPA_PLATFORM", None)
        cls.targets = Targets()
        cls.w = Window(PROGRAM, env, cls.home)
        cls.w.activate()

    @classmethod
    def tearDownClass(cls):
        output = cls.w.close() if cls.w else ""
        with open(os.path.join(cls.shots, "marrowfield-output.txt"), "w") as log:
            log.write(output)
        cls.targets.end()
        shutil.rmtree(cls.home, ignore_errors=True)
        # A sanitizer build reports what it found on the program's own output, some of it only at exit.
        for report in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
            if report in output:
                raise AssertionError(f"the program reported '{report}', see marrowfield-output.txt")

    def setUp(self):
        if ONLY and not self._testMethodName.startswith("test_0"):
            self.skipTest("initial size only")

    # ---------------------------------------------------------------- helpers
    def note_pids(self):
        self.w.row_with(" launched with PID ")
        for row in self.w.rows():
            if " launched with PID " in row:
                self.targets.hold(int(row.rsplit(" ", 1)[1]))

    def choose(self, path):
        key("ctrl+o")  # the chooser's key; test_10 opens it with the pointer
        dialog = self.w.chooser()
        # As wide as the screen allows, less room for a frame (1000 at most), its places 170 wide.
        places = extents(self.w.find(pyatspi.ROLE_LIST, "Sidebar", dialog))[2]
        self.assertEqual((extents(dialog)[2], places), (min(1000, screen_value(run("xwininfo", "-root"), "Width:") - 40), 170))
        type_text(path)
        key("Return")
        try:
            wait_for(lambda: state(dialog, pyatspi.STATE_DEFUNCT) or not state(dialog, pyatspi.STATE_SHOWING),
                     "the chooser to close", timeout=3)
        except AssertionError:
            key("Return")  # the first Return took the completer's suggestion
        wait_for(lambda: self.w.status().startswith("Ready to trace"), "the chosen target")

    def click_row(self, text):
        """Clicks the first row holding text once it is there; the list and the row's index."""
        self.w.row_with(text)
        rows = self.w.event_list()
        index = next(i for i in range(rows.childCount) if text in rows.getChildAtIndex(i).name)
        self.w.click(rows.getChildAtIndex(index))
        return rows, index

    # ---------------------------------------------------------------- steps
    def test_00_initial_size_fits_the_screen(self):
        def geometry():
            info = run("xwininfo", "-id", self.w.window_id)
            frame = run("xprop", "-id", self.w.window_id, "_NET_FRAME_EXTENTS").partition("=")[2]
            return ([screen_value(info, name) for name in ("Absolute upper-left X:", "Absolute upper-left Y:",
                                                           "Width:", "Height:")],
                    [int(v) for v in frame.replace(",", " ").split()])

        (x, y, width, height), (left, right, top, bottom) = wait_for(
            lambda: (lambda g: g if any(g[1]) else None)(geometry()), "the window frame")
        root = run("xwininfo", "-root")
        screen_w, screen_h = screen_value(root, "Width:"), screen_value(root, "Height:")
        self.assertTrue(width >= 1000 and height >= 680, (width, height))
        self.assertGreaterEqual(min(x - left, y - top), 0)
        self.assertLessEqual(x + width + right, screen_w, "the frame runs off the right edge")
        self.assertLessEqual(y + height + bottom, screen_h, "the frame runs off the bottom edge")
        _, ty, _, th = extents(self.w.find(pyatspi.ROLE_LABEL, "TARGET"))  # the sidebar's foot
        self.assertLessEqual(ty + th, screen_h)
        # The message column (from the EVENT head to the search field's right
        # edge and its margin) takes half the window on 1024 x 768 (the detail
        # pane starts folded there) and a third on a roomy screen.
        sx, _, sw, _ = extents(self.w.find(pyatspi.ROLE_TEXT, "Search diagnostics"))
        message_width = sx + sw + 16 - extents(self.w.find(pyatspi.ROLE_LABEL, "EVENT"))[0]
        self.assertGreaterEqual(message_width, width // 2 if width < 1280 else width // 3)

    def test_05_on_a_small_screen_a_selected_row_is_read_beside_it(self):
        if not ONLY:
            self.skipTest("the small screen's step")
        w = self.w
        self.choose(self.entry)
        # Ctrl+E opens Launch Options from the search field too.
        key("ctrl+f", "ctrl+e")
        options = wait_for(lambda: w.find_where(lambda o: o.name.startswith("Launch Options for "), w.app),
                           "the launch options")
        key("Escape")
        wait_for(lambda: state(options, pyatspi.STATE_DEFUNCT) or not state(options, pyatspi.STATE_SHOWING),
                 "the launch options to close")
        key("F5")
        self.note_pids()
        self.click_row("exited with status 3")
        # The detail pane, folded for room, opens with the row's message, on
        # the screen. (Each control's tooltip naming its key, the verdict
        # selecting its line, where the search and the status sit:
        # tests/ui/layout_test.cpp.)
        message = wait_for(lambda: w.find_where(lambda o: o.name == "MESSAGE" and o.getRole() != pyatspi.ROLE_LABEL and
                                                state(o, pyatspi.STATE_SHOWING) and
                                                "exited with status 3" in o.queryText().getText(0, -1)),
                           "the message in the detail pane")
        root = run("xwininfo", "-root")
        x, y, width, height = extents(message)
        self.assertTrue(x >= 0 and x + width <= screen_value(root, "Width:"), (x, width))

    def test_10_the_chooser_shows_the_users_applications(self):
        self.assertEqual(self.w.status(), "Ready")
        self.w.click(self.w.button("Choose App"))
        dialog = self.w.chooser()
        # It opens where the user's applications are, lists them by name, and
        # names its places so they can be told apart.
        look_in = wait_for(lambda: self.w.find(pyatspi.ROLE_COMBO_BOX, None, dialog), "the folder box")
        self.assertEqual(look_in.name, os.path.dirname(self.entry))
        places = self.w.find(pyatspi.ROLE_LIST, "Sidebar", dialog)
        labels = [places.getChildAtIndex(i).name for i in range(places.childCount)]
        self.assertEqual(labels[0], "My Applications")
        self.assertEqual(len(labels), len(set(labels)), labels)
        self.assertTrue(self.w.find(pyatspi.ROLE_COMBO_BOX, "Applications \u2014 desktop entries and executables", dialog))
        self.assertEqual(self.w.find_where(lambda o: "header" in o.getRoleName() and o.name == "Application", dialog).getIndexInParent(), 2)
        wait_for(lambda: self.w.find(pyatspi.ROLE_TABLE_CELL, "Marrowfield Demo", dialog), "the entry's Name=")
        self.assertIsNone(self.w.find(pyatspi.ROLE_TABLE_CELL, "notes.txt", dialog), "only applications are listed")
        # Typed anyway, it is refused by name, and the chooser comes back.
        type_text(os.path.join(os.path.dirname(self.entry), "notes.txt"))
        named = lambda: self.w.find_where(lambda o: o.getRole() == pyatspi.ROLE_LABEL and "notes.txt" in o.name, self.w.app)
        for _ in range(2):  # the first Return may take the completer's suggestion
            key("Return")
            try:
                wait_for(named, "the refusal", timeout=3)
                break
            except AssertionError:
                pass
        wait_for(named, "the refusal naming notes.txt")
        key("Return")
        dialog = self.w.chooser()
        self.w.click(self.w.find(pyatspi.ROLE_TABLE_CELL, "marrowfield-demo.desktop", dialog), repeat=2)
        wait_for(lambda: self.w.status() == "Ready to trace marrowfield-demo", "the chosen target")

    def test_20_launch_runs_to_the_exit_and_a_click_selects_its_row(self):
        self.w.click(self.w.button("Launch & Trace"))
        self.note_pids()
        wait_for(lambda: self.w.status() == "Process ended", "the end of the trace")
        self.assertIn("Exited with status 3", wait_for(self.w.cards, "a session card")[0].name)
        rows, index = self.click_row("exited with status 3")
        wait_for(lambda: state(rows.getChildAtIndex(index), pyatspi.STATE_SELECTED), "the row to read as selected")
        if os.environ.get("MF_README_SCREENSHOT"):
            run("import", "-window", self.w.window_id, os.environ["MF_README_SCREENSHOT"], timeout=30)

    def test_30_copy_summary_reaches_other_programs(self):
        key("ctrl+shift+c")
        text = wait_for(lambda: (lambda t: t if t and t.startswith("Marrowfield Diagnostic Summary") else None)(
            clipboard()), "the summary on the clipboard")
        self.assertIn("exited with status 3", text)

    def test_40_tab_visits_every_control_of_a_saved_session_in_order(self):
        self.w.click(self.w.cards()[0])
        wait_for(lambda: self.w.status() == "Viewing saved session", "the saved session")
        rows = self.w.event_list()
        self.w.click(rows.getChildAtIndex(0))
        wait_for(lambda: self.w.focused()[0] == "Events", "the list focused")
        # The keys reach the list (which row each selects: tests/ui/cases/keys.tsv); Ctrl+C copies the selection.
        key("Home", "Down")
        wait_for(lambda: state(rows.getChildAtIndex(1), pyatspi.STATE_SELECTED), "Home, Down to select row 1")
        key("ctrl+c")
        message = rows.getChildAtIndex(1).name.split(", ", 3)[3]
        wait_for(lambda: (clipboard() or "").endswith("]\n" + message), "the selected event on the clipboard")
        card = self.w.cards()[0].name
        expected = ["Copy selected event", "TYPE", "SOURCE", "TIME", "MESSAGE", "ORIGIN", "Clear launch history", card,
                    "Launch Options", "Copy Summary", "Show Sidebar", "Show Event Detail", "Choose App",
                    "Launch & Trace", "Clear view", "Current", "Search diagnostics", "Show Raw Log", "Fresh Launch",
                    "Events"]
        ring_checks = {"Choose App", "Show Raw Log", "Fresh Launch", "Clear launch history", "Events", card}
        for step, name in enumerate(expected):
            key("Tab")
            _, focused = wait_for(lambda: (lambda f: f if f[0] == name else None)(self.w.focused()),
                                  f"Tab {step + 1} to reach {name!r}", timeout=5)
            if name in ring_checks:  # the accent ring all round it, in a picture of the screen
                shot = os.path.join(self.shots, f"focus-{step + 1:02d}.png")
                run("import", "-window", "root", shot, timeout=30)
                x, y, w, h = extents(focused)
                ring = sum(1 for r, g, b in pixels(shot, max(0, x - 3), max(0, y - 3), w + 6, h + 6)
                           if b >= 200 and g >= 160 and r <= 160)
                self.assertGreater(ring, 2 * (w + h) // 3, f"no visible focus ring on {name!r} ({ring} pixels)")
        self.w.click(self.w.button("Current"))
        wait_for(lambda: self.w.status() != "Viewing saved session", "the live view")

    def test_50_launch_options_reach_the_target_and_the_keyboard_follows_the_launch(self):
        w = self.w
        self.choose(self.probe)
        key("ctrl+e")
        w.click(wait_for(lambda: w.find_where(lambda o: o.name == "Arguments" and o.getRole() in (
            pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY), w.app), "the launch options"))
        type_text('--alpha "two words"')
        key("Tab")
        type_text("MF_PROBE=hello world")
        w.click(w.find(pyatspi.ROLE_PUSH_BUTTON, "OK", w.app))
        wait_for(lambda: w.find_where(lambda o: "Environment: MF_PROBE='hello world'" in o.name),
                 "the options beside the target")
        # Enter on the focused "Launch & Trace" launches; the keyboard moves to
        # "Stop" (never on to "Clear view") and, when the trace ends, back.
        key("ctrl+f", "shift+Tab", "shift+Tab")
        wait_for(lambda: w.focused()[0] == "Launch & Trace", "Launch & Trace focused")
        key("Return")
        self.note_pids()
        w.row_with("probe argv: [--alpha] [two words]")
        w.row_with("probe env: MF_PROBE=hello world")
        wait_for(lambda: w.focused()[0] == "Stop", "the keyboard on Stop")
        # Shift+F5 stops; the session's card says what it ran with. The card
        # before it stays: a reader hears of no object that is already gone.
        heard = Heard(w.process.pid)
        self.addCleanup(heard.stop)
        key("shift+F5")
        wait_for(lambda: (lambda c: c and "Stopped" in c[0].name and "--alpha 'two words'" in c[0].description)(
            w.cards()), "the probe's card")
        wait_for(lambda: w.focused()[0] == "Launch & Trace", "the keyboard back on Launch & Trace")
        self.assertEqual(heard.count("object:state-changed:showing", existed=False), 0,
                         f"'showing' from objects already gone; heard {heard.events}")
        # A search takes rows away and Escape gives them back: a reader hears both.
        key("ctrl+f")
        type_text("probe argv")
        wait_for(lambda: heard.count("object:children-changed:remove"), "the hidden rows announced")
        added = heard.count("object:children-changed:add")
        key("Escape")
        wait_for(lambda: heard.count("object:children-changed:add") > added, "the rows given back announced")
        # Ctrl+L clears the view.
        key("ctrl+l")
        wait_for(lambda: w.event_list().childCount == 0, "Ctrl+L to clear the view")

    def test_99_ctrl_q_quits(self):
        key("ctrl+q")
        wait_for(lambda: self.w.process.poll() is not None, "the program to end")
        self.assertEqual(self.w.process.returncode, 0)


if __name__ == "__main__":
    if not PROGRAM:
        sys.exit("usage: window_gui_test.py MARROWFIELD DEMO ARTIFACT_DIR")
    unittest.main(argv=[sys.argv[0], "-v"])
