"""Message boxes on the prefix's display (mark display): kvitest leaves them open, xdotool presses their OK.
The program keeps running while its box is open and goes no further until OK."""

import re
import shutil
import time

import pytest

import harness
from cases import BOXES, JAVA, JAVAW, E2ECase

pytestmark = [pytest.mark.display, pytest.mark.skipif(
    harness.ON_WINDOWS, reason="Wine's display; on Windows every run's boxes are windows kvitest presses")]

IDOK = 1
# How long a program may take to end after its OK: a hang detector, not a measurement.
END_AFTER_OK_S = 20


class DisplayTests(E2ECase):
    """Boxes drawn by Wine on a virtual display and closed by pressing OK."""

    letter = "v"

    @pytest.fixture(autouse=True)
    def display(self, clean_machine, request):
        self.screen, self.at_end = self.m.prefix.screen, request.addfinalizer

    def on_display(self, cmd, debug="-all,+pid,+relay", env=None, **kw):
        run = self.m.run(cmd, wait=False, env=dict(env or {}, WINEDEBUG=debug), **kw)
        self.at_end(run.kill)
        return run

    def press_ok(self, program, args, box, meanwhile=lambda: True, **kw):
        """Runs program on the display: the box appears while it keeps running and the run goes no further
        (meanwhile() holds); after Return the run ends with 0, after the key press."""
        run, caption = self.on_display(program + args, **kw), BOXES[box][0]
        window = self.screen.wait_window(caption, run)
        assert window is not None, "no window %r appeared; run ended: %s" % (caption, run.ended())
        for _ in range(2):  # at once, and again a second later: the box is waiting
            assert self.m.prefix.running(program), "%s is not running while its box is open" % program
            assert not run.ended(), "the run ended while the box was open"
            assert self.screen.windows(caption) == [window]
            assert meanwhile(), "while the box was open"
            time.sleep(1)
        pressed = time.time()
        self.screen.press_return(window)
        assert run.wait_end(END_AFTER_OK_S), "the run did not end within %d s of OK" % END_AFTER_OK_S
        assert (run.status["timeout"], run.status["exit"], run.status["tree_done"]) == ("0", "0x00000000", "1")
        # Wine's clock is the host's: the program ended after the key press, not before.
        assert (run.ended_at() - harness.UNIX_EPOCH_FILETIME) / 1e7 >= pressed
        assert run.box_answers() == [IDOK] * len(run.traced_boxes), "a box closed by other than OK"
        return run

    @pytest.mark.parametrize("option, box", (("-version", "setup-version"), ("-help", "setup-usage")),
                             ids=("version_box_waits_for_ok_then_setup_ends", "usage_box_waits_for_ok_then_setup_ends"))
    def test_informational_box_row(self, option, box):
        setup = self.m.lay_medium() + "\\setup.exe"
        self.expect(self.press_ok(setup, " " + option, box), boxes=[box])
        assert not self.m.prefix.running(setup)
        assert self.screen.windows(BOXES[box][0]) == []

    def test_install_goes_on_to_the_runtime_after_the_search_error(self):
        # Started under a name without "install", Install says so, and only after OK starts the windowed runtime from
        # the current directory, having read no option.
        kit = self.m.lay_kit("kit", install_name="Launcher.exe")
        run = self.press_ok(kit + "\\Launcher.exe", " -nojw", "install-search-error", cwd=kit,
                            meanwhile=lambda: self.m.records("java.exe") + self.m.records("javaw.exe") == [])
        self.expect(run, boxes=["install-search-error"], recs={"javaw.exe": [dict(cmdline=JAVAW, cwd=kit)]})

    def test_setup_ends_after_the_launch_error(self):
        # Without the bootstrap installer: setup has written the record and made the usual location before its box.
        setup = self.m.lay_medium(bootstrap=None) + "\\setup.exe"
        run = self.press_ok(setup, "", "setup-launch-error",
                            meanwhile=lambda: self.m.usual_location_exists() == (True, True))
        self.expect(run, boxes=["setup-launch-error"])

    def test_batch_with_console_input_opens_the_batch_console(self):
        # With a display, Wine gives a new console a window of its own, and its input answers GetConsoleMode as a
        # console's does on Windows: -batch then opens the batch console instead of relaying.
        kit = self.m.lay_kit("kit")
        run = self.on_display(kit + "\\Install.exe -Batch C:\\Answers.TXT", console=True,
                              env={"KVI_STANDIN_SLEEP_MS": "1500"})
        assert run.wait_end(60), "the run did not end"
        assert run.status.get("console_input") == "1", "the runner's console input is not a console"
        self.expect(run, recs={"java.exe": [dict(cmdline=JAVA + "  -batch c:\\answers.txt",
                                                 si_title="Halvik Torvanex Install", si_flags="0x16", si_fill="0x74",
                                                 stdin_read="0")]})
        rec = self.m.records("java.exe")[0]
        assert rec["console_processes"] == rec["pid"], "java.exe is not alone in a new console"
        assert run.ended_at() < int(rec["time_end"]), "Install waited for the application"

    # Install is a console program: each start of it from setup, which has no console, opens a console window on
    # Windows. The probe and the hand-off get none; with -nojw the hand-off keeps its console, in which the console
    # runtime runs. (Wine attaches setup to its caller's console instead, so the runner gets one with a window of its
    # own: a start without the flag shares that window, one with it has none.)
    @pytest.mark.parametrize("option, handoff_window", (("", "0"), (" -NoJW", "1")), ids=("without_nojw", "nojw"))
    def test_probe_and_handoff_open_no_console_window(self, option, handoff_window):
        medium, inst = self.m.lay_medium(), self.m.lay_kit("inst", install="standin", jre=False)
        run = self.on_display(medium + "\\setup.exe" + option, before=self.plant_record("1.8-002", inst), console=True)
        assert run.wait_end(60), "the run did not end"
        handoff = inst + "\\Install.exe -silentLaunch -register" + (" " + option.lower() if option else "")
        self.expect(run, recs={"install.exe": [dict(mode="probe", console_window="0"),
                                               dict(cmdline=handoff, console_window=handoff_window)]})

    def user32_loads(self, run):
        """The paths from which the started program loaded user32.dll (Wine's DLL trace)."""
        return [harness.wine_unescape(m.group(2)).lower() for m in re.finditer(
            r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]*)" at', run.result.trace, re.M)
            if int(m.group(1), 16) == int(run.status["main_pid"]) and m.group(2).lower().endswith("user32.dll")]

    def test_user32_comes_from_the_system_folder_when_a_box_is_shown(self):
        # The programs import no user32.dll; the first box loads it by its full path in the system folder. A module
        # named user32.dll planted beside setup (a program of ours without MessageBoxA), with Wine told to prefer such
        # a copy, would take the box away if setup let the DLL be looked for in its own folder.
        medium = self.m.lay_medium()
        shutil.copy(self.m.programs["java"], self.m.dir("medium", "user32.dll"))
        setup = medium + "\\setup.exe"
        run = self.press_ok(setup, " -version", "setup-version", debug="-all,+pid,+relay,+loaddll",
                            env={"WINEDLLOVERRIDES": harness.DLL_OVERRIDES + ";user32=n,b"})
        self.expect(run, boxes=["setup-version"])
        # The system folder as Windows gives it to the program (to a 32-bit one on 64-bit Windows too, whose system32
        # Windows then quietly redirects to syswow64).
        assert self.user32_loads(run) == ["c:\\windows\\system32\\user32.dll"]
        # The same program on a run without a box never loads it.
        quiet = self.run_program(setup + " -target c:\\alt", env={
            "KVI_BOOTSTRAP_RECORD_ONLY": "1", "WINEDEBUG": "-all,+pid,+relay,+loaddll"})
        self.expect(quiet, recs={"_instkvi.com": ["_instkvi.com -s -f  c:\\alt -a "]})
        assert self.user32_loads(quiet) == []
