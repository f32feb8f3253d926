"""Message boxes on a real display: the real setup.exe and Install.exe under Wine on Xvfb.

Without a display a box returns at once, so the other suites see which boxes
were called but never one that waits for its OK. Here Wine draws in a
desktop window on a virtual X display of the suite's own (Xvfb picks a free
display number, so the two builds' runs never meet); xdotool finds each box
by its caption and presses Return, which is its OK. Each case checks that the
program is still running while its box is open, that it has done nothing
beyond the box meanwhile, and what it does after OK: setup ends with 0, and
Install goes on with its flow.

kvitest.exe starts the program, as in the other suites, and gives its full
exit status and the moment it ended; the relay trace gives the box's texts
and the button that closed it, and Wine's DLL trace where user32.dll came from.

Run by run_e2e.py --group display (tests/e2e/README.md).
"""

import os
import re
import shutil
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import run_e2e  # noqa: E402
from run_e2e import JAVAW, MB_OK, OWN_VERSION, SETUP_USAGE, SETUP_VERSION, rows  # noqa: E402

IDOK = 1
# How long a program may take to end after its OK: far more than it needs, a
# hang detector rather than a measurement.
END_AFTER_OK_S = 20

SCREEN = None  # harness.Screen, for the whole suite


def prefix():
    return run_e2e.PREFIX


class DisplayTests(run_e2e.E2ECase):
    """Boxes drawn by Wine on a virtual display and closed by pressing OK."""

    letter = "v"

    @classmethod
    def setUpClass(cls):
        global SCREEN
        if harness.ON_WINDOWS:
            raise unittest.SkipTest("Wine's display; on Windows every run's boxes are windows kvitest presses")
        SCREEN = harness.Screen()

    @classmethod
    def tearDownClass(cls):
        SCREEN.close()

    def setUp(self):
        super().setUp()
        self.on_screen = []

    def tearDown(self):
        for run in self.on_screen:
            run.kill()
        super().tearDown()

    def on_display(self, cmd, cwd=None, env=None, debug="-all,+pid,+relay", console=False, before=()):
        run = self.m.show(SCREEN, cmd, cwd=cwd, env=dict(env or {}, WINEDEBUG=debug), console=console, before=before)
        self.on_screen.append(run)
        return run

    def box_waits_for_ok(self, run, program, caption, check_meanwhile=lambda: None):
        """The box titled caption appears while the program keeps running and the
        run goes no further; Return closes it. Returns the moment OK was pressed."""
        window = SCREEN.wait_window(caption, timeout=60, still=lambda: not run.ended())
        self.assertIsNotNone(window, "no window %r appeared; run ended: %s" % (caption, run.ended()))
        for _ in range(2):  # at once, and again a second later: the box is waiting
            self.assertTrue(prefix().running(program), "%s is not running while its box is open" % program)
            self.assertFalse(run.ended(), "the run ended while the box was open")
            self.assertEqual(SCREEN.windows(caption), [window])
            check_meanwhile()
            time.sleep(1)
        pressed = time.time()
        SCREEN.press_return(window)
        return pressed

    def assertEndsAfter(self, run, pressed, exit_status):
        self.assertTrue(run.wait_end(END_AFTER_OK_S), "the run did not end within %d s of OK" % END_AFTER_OK_S)
        self.assertEqual(run.status["timeout"], "0")
        self.assertEqual(run.status["exit"], exit_status)
        self.assertEqual(run.status["tree_done"], "1")
        # Wine's clock is the host's: the program ended after the key press, not before.
        self.assertGreaterEqual(run.ended_at_unix(), pressed)
        self.assertEqual(run.box_answers(), [IDOK] * len(run.traced_boxes), "a box closed by other than OK")

    # --- the informational boxes of setup ----------------------------------------------

    def check_informational_box(self, option, caption, text):
        medium = self.lay_medium()
        setup = medium + "\\setup.exe"
        run = self.on_display(setup + " " + option)
        pressed = self.box_waits_for_ok(run, setup, caption)
        self.assertEndsAfter(run, pressed, "0x00000000")
        self.assertBoxes(run, [(caption, text, MB_OK)])
        self.assertFalse(prefix().running(setup))
        self.assertEqual(SCREEN.windows(caption), [])
        self.assertNotStarted("_instkvi.com")

    def test_version_box_waits_for_ok_then_setup_ends(self):
        self.check_informational_box("-version", "Version Information", SETUP_VERSION)

    def test_usage_box_waits_for_ok_then_setup_ends(self):
        self.check_informational_box("-help", "Usage Help", SETUP_USAGE)

    # --- boxes in the middle of a flow -----------------------------------------------------

    def test_install_goes_on_to_the_runtime_after_the_search_error(self):
        # Started under a name without "install", Install says so, and only after
        # OK goes on to start the windowed runtime from the current directory.
        kit = self.lay_kit("kit", install_name="Launcher.exe")
        launcher = kit + "\\Launcher.exe"
        run = self.on_display(launcher + " -nojw", cwd=kit)
        pressed = self.box_waits_for_ok(run, launcher, "Search Error",
                                        check_meanwhile=lambda: self.assertNotStarted("java.exe", "javaw.exe"))
        self.assertEndsAfter(run, pressed, "0x00000000")
        self.assertBoxes(run, [run_e2e.BOXES["install-search-error"]])
        rec = self.one_record("javaw.exe")
        self.assertEqual(rec["cmdline"], JAVAW)   # no option was read, not even -nojw
        self.assertEqual(rec["cwd"], kit)
        self.assertNotStarted("java.exe")

    def test_setup_ends_after_the_launch_error(self):
        # A medium without the bootstrap installer: setup has written the record
        # and made the usual location before its box, and ends with 0 after OK.
        medium = self.lay_medium()
        os.remove(self.dir("medium", "_instkvi.com"))
        setup = medium + "\\setup.exe"
        run = self.on_display(setup)
        pressed = self.box_waits_for_ok(
            run, setup, "Application Launch Error",
            check_meanwhile=lambda: self.assertEqual(self.usual_location_exists(), (True, True)))
        self.assertEndsAfter(run, pressed, "0x00000000")
        self.assertBoxes(run, [run_e2e.BOXES["setup-launch-error"]])

    # --- a console on the screen ------------------------------------------------------------

    def test_batch_with_console_input_opens_the_batch_console(self):
        # With a display, Wine gives a new console a window of its own, and its
        # input answers GetConsoleMode as a console's does on Windows: -batch then
        # opens the batch console instead of relaying.
        kit = self.lay_kit("kit")
        run = self.on_display(kit + "\\Install.exe -Batch C:\\Answers.TXT", console=True,
                              env={"KVI_STANDIN_SLEEP_MS": "1500"})
        self.assertTrue(run.wait_end(60), "the run did not end")
        self.assertEqual(run.status.get("console_input"), "1", "the runner's console input is not a console")
        self.assertEqual(run.status["exit"], "0x00000000")
        rec = self.one_record("java.exe")
        self.assertEqual(rec["cmdline"], run_e2e.JAVA + "  -batch c:\\answers.txt")
        self.assertEqual(rec["si_title"], "Halvik Torvanex Install")
        self.assertEqual((rec["si_flags"], rec["si_fill"]), ("0x16", "0x74"))
        self.assertEqual(rec["console_processes"], rec["pid"], "java.exe is not alone in a new console")
        self.assertEqual(rec["stdin_read"], "0")
        self.assertLess(int(run.status["time_end"]), int(rec["time_end"]), "Install waited for the application")
        self.assertBoxes(run, [])

    # Install is a console program: each start of it from setup, which has
    # no console, opens a console window on Windows. The probe and the
    # hand-off get none; with -nojw the hand-off keeps its console, in
    # which the console runtime runs. (Wine attaches setup to its caller's
    # console instead, so the runner gets one with a window of its own:
    # a start without the flag shares that window, one with it has none.)
    @rows((("without_nojw", "", "0"), ("nojw", " -NoJW", "1")))
    def test_probe_and_handoff_open_no_console_window(self, what, option, handoff_window):
        medium = self.lay_medium()
        inst = self.lay_kit("inst", install="standin", jre=False)
        run = self.on_display(medium + "\\setup.exe" + option, before=self.plant_record(OWN_VERSION, inst),
                              console=True)
        self.assertTrue(run.wait_end(60), "the run did not end")
        self.assertEqual(run.status["exit"], "0x00000000")
        probe, handoff = self.records("install.exe")
        self.assertEqual(probe["mode"], "probe")
        self.assertEqual((probe["console_window"], handoff["console_window"]), ("0", handoff_window), option)
        self.assertEqual(handoff["cmdline"],
                         inst + "\\Install.exe -silentLaunch -register" + (" " + option.lower() if option else ""))
        self.assertBoxes(run, [])

    # --- user32.dll, loaded when a box is shown ----------------------------------------------

    def user32_loads(self, trace, pid):
        """The paths from which the process pid loaded user32.dll, as Wine's DLL trace gives them."""
        return [harness._wine_unescape(m.group(2)) for m in re.finditer(
            r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]*)" at', trace, re.M)
            if int(m.group(1), 16) == pid and m.group(2).lower().endswith("user32.dll")]

    def test_user32_comes_from_the_system_folder_when_a_box_is_shown(self):
        # The programs import no user32.dll; the first box loads it by its full
        # path in the system folder, and the box works on a display. A module
        # named user32.dll planted beside setup (a program of ours without
        # MessageBoxA), with Wine told to prefer such a copy to its own, would
        # take the box away if setup let the DLL be looked for in its own folder.
        medium = self.lay_medium()
        shutil.copy(run_e2e.OPTIONS.java, self.dir("medium", "user32.dll"))
        setup = medium + "\\setup.exe"
        run = self.on_display(setup + " -version", debug="-all,+pid,+relay,+loaddll",
                         env={"WINEDLLOVERRIDES": harness.DLL_OVERRIDES + ";user32=n,b"})
        pressed = self.box_waits_for_ok(run, setup, "Version Information")
        self.assertEndsAfter(run, pressed, "0x00000000")
        # Wine's trace names the path as asked for: the system folder as Windows
        # gives it to the program (to a 32-bit one on 64-bit Windows too, whose
        # system32 Windows then quietly redirects to syswow64).
        self.assertEqual([p.lower() for p in self.user32_loads(run.trace, int(run.status["main_pid"]))],
                         ["c:\\windows\\system32\\user32.dll"])

        # The same program on a run without a box never loads it.
        quiet = self.run_program(setup + " -target c:\\alt", env={
            "KVI_BOOTSTRAP_RECORD_ONLY": "1", "WINEDEBUG": "-all,+pid,+relay,+loaddll"})
        self.assertExit(quiet, "0x00000000")
        self.assertBoxes(quiet, [])
        self.assertEqual(self.user32_loads(quiet.result.trace, int(quiet.status["main_pid"])), [])
        self.assertEqual(self.one_record("_instkvi.com")["cmdline"], "_instkvi.com -s -f  c:\\alt -a ")


CLASSES = [DisplayTests]
