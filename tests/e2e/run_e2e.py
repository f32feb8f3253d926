"""The end-to-end suites of setup and Install, by area (marks setup, install, handoff, registration, road): the
real setup.exe and Install.exe of one build beside stand-ins that record their starts; every expected text is
written out by hand (cases.py). conftest.py gives the machine, README.md the command."""

import os
import random
import re
import shutil

import pytest

import harness
from cases import (ABSENT, ANY_LANGUAGE, HANDOFF, INSTALL_USAGE, JAVA, JAVAW, LONG_CHINESE, OWN_VERSION, PROBE,
                   PROBE_ANSWER, REG_SZ, E2ECase, InstallCase, Refused, SetupCase, ascii_lower, fill, quoted, word)


# --- setup -------------------------------------------------------------------

@pytest.mark.setup
class SetupTests(SetupCase):
    letter = "s"

    def test_clean_machine_no_arguments(self):
        run = self.over(boot="_instkvi.com -s", usual=(True, True), uninstall=ABSENT,
                        starts=[("_instkvi.com -s", 0, 0, "{medium}\\_instkvi.com")])
        assert self.m.records("_instkvi.com")[0]["path"].lower() == self.medium + "\\_instkvi.com"
        assert sorted(run.record) == ["OriginalSource"]
        # Both folders of the usual location get setup's own access list.
        if not harness.ON_WINDOWS:
            assert run.created_dirs() == [("C:\\HalvikTorvanex", True), ("C:\\HalvikTorvanex\\Install", True)]

    def owner_and_list(self, folder=None):
        """Of folder: whether it was read, its owner, whether its list is protected, its entries;
        without folder, the same of the descriptor setup gives CreateDirectoryA, converted as setup does."""
        v = self.m.kvitest([["secread", folder]] if folder else [["sddl"]]).values
        return (v.get("read", v.get("converted")), v.get("owner"), v.get("dacl_protected"),
                [v.get("ace%d" % i) for i in range(int(v.get("aces", "0")))], v.get("dacl_present"))

    # The owner is Administrators, which only an elevated administrator can give; SYSTEM and Administrators get full
    # control, Users read and execute, folders and files inherit it.
    USUAL_LIST = ("1", "S-1-5-32-544", "1", [
        "0,0x3,0x1F01FF,S-1-5-18", "0,0x3,0x1F01FF,S-1-5-32-544", "0,0x3,0x1200A9,S-1-5-32-545"])

    def test_usual_location_access_list(self):
        assert self.owner_and_list() == self.USUAL_LIST + ("1",)

    def test_usual_location_made_by_setup_has_its_owner_and_list(self):
        # Read back from Windows: both folders carry setup's owner and list, and a second run uses them.
        want = self.USUAL_LIST
        if not harness.ON_WINDOWS:
            # Wine: the Unix owner (the user), and no entry for Everyone (no mode bits for others).
            user = self.owner_and_list(self.start)[1]
            want = ("1", user, "0", ["0,0x3,0x1F01FF,S-1-5-18", "0,0x3,0x1F01FF," + user])
        self.run_setup()
        for folder in ("C:\\HalvikTorvanex", "C:\\HalvikTorvanex\\Install"):
            assert self.owner_and_list(folder)[:4] == want, folder
        self.m.clear_records()
        self.over(boot="_instkvi.com -s")

    def test_planted_dll_that_a_system_dll_loads_by_name_stays_out(self):
        # user32 loads imm32.dll and uxtheme.dll by name once a window is made. Planted beside the program (Wine told
        # to prefer such a copy, as Windows takes the first it finds), they are loaded into a program of ours without
        # the DLL search restriction (showbox); setup, whose box needs user32 too, loads neither.
        for name in ("imm32.dll", "uxtheme.dll"):
            shutil.copy(self.m.programs["plant"], self.m.dir("medium", name))
        shutil.copy(self.m.programs["showbox"], self.m.dir("medium", "showbox.exe"))
        env = {"WINEDLLOVERRIDES": harness.DLL_OVERRIDES + ";imm32,uxtheme=n,b"}
        self.run_program(self.medium + "\\showbox.exe 41 42 none", env=env)
        assert self.medium + "\\uxtheme.dll" in [r["path"].lower() for r in self.m.records("planted.dll")]
        os.remove(os.path.join(self.m.rec, "planted.dll.rec"))
        self.expect(self.run_setup(" -version", env=env), boxes=["setup-version"])
        assert self.m.records("planted.dll") == []

    def test_missing_bootstrap_is_not_searched_for(self):
        # setup found on PATH and started by its bare name stays in the current directory, which holds a planted
        # _instkvi.com; so does a folder on PATH. The elevated setup finds no _instkvi.com beside it to judge, and
        # starts nothing at all.
        os.remove(self.m.dir("medium", "_instkvi.com"))
        for folder in ("start", "plant"):
            shutil.copy(self.m.programs["bootstrap"], os.path.join(self.m.place(folder)[0], "_instkvi.com"))
        path = "{medium};{w}\\plant;C:\\windows\\system32;C:\\windows"
        self.over(setup="setup.exe", run=dict(run_env={"PATH": path}), boxes=["setup-launch-error"], record={})

    def test_options_are_normalised_for_the_bootstrap(self):
        kit = self.m.lay_medium("Kit", setup_name="SETUP.EXE").lower()
        self.over(" -Batch C:\\Inst\\b.txt -f -NoJW", setup="C:\\E2E\\%s\\Kit\\SETUP.EXE" % self.name.upper(), cwd=kit,
                  boot="_instkvi.com -s -a  -batch  c:\\inst\\b.txt  -force -nojw")

    def test_medium_in_a_folder_with_a_non_latin_name(self, request):
        # The medium in C:\Носитель, started from its own folder as Explorer does: the bootstrap installer and the
        # record get the real name, not question marks.
        medium = harness.u8("C:\\Носитель")
        harness.remove(self.m.prefix.unix(medium))
        request.addfinalizer(lambda: harness.remove(self.m.prefix.unix(medium)))
        self.m.lay_medium(medium)
        # setup entered its program directory, lowered A-Z only: the Cyrillic capital stays.
        self.over(" -NoSplash", setup='"%s\\setup.exe"' % medium, run=dict(cwd=medium), start_dir=medium,
                  cwd=harness.u8("c:\\Носитель"), boot="_instkvi.com -s -a  -nosplash")

    def test_medium_under_a_long_chinese_path_is_recorded_whole(self):
        medium = self.m.lay_medium(LONG_CHINESE)
        self.over(setup=medium + "\\setup.exe", run=dict(cwd=medium), cwd=medium, start_dir=medium,
                  boot="_instkvi.com -s")

    def test_installed_path_with_a_blank_is_quoted(self):
        # What setup passed, as the trace shows it: Wine itself puts quotes around an unquoted program path with a
        # blank before the started program sees its command line, so the records alone cannot tell.
        self.over(" -nosplash", "inst dir", (OWN_VERSION, "{inst}"), install=[PROBE, HANDOFF + "  -nosplash"])
        assert self.m.records("install.exe")[0]["path"].lower() == self.m.w("inst dir", "install.exe")

    # The box's text is the usage text, 641 bytes, and the version text, 41 bytes.
    @pytest.mark.parametrize("args", (" -help", " -HELP -version", " -h -force", " -hx", " -batch",
                                      " -target c:\\my-dir"), ids=word)
    def test_help_shows_usage_and_starts_nothing(self, args):
        run = self.over(args, plant=(OWN_VERSION, "{inst}"), boxes=["setup-usage"], usual=(False, False),
                        record={"OriginalSource": None})
        assert [len(box.text) for box in run.boxes] == [641]

    @pytest.mark.parametrize("args", (" -version -help", " -V", " -ver -force"), ids=word)
    def test_version_shows_version_and_starts_nothing(self, args):
        run = self.over(args, boxes=["setup-version"], usual=(False, False), record=ABSENT)
        assert [len(box.text) for box in run.boxes] == [41]

    # setup over a planted installation record (plant: Version, InstPath; {inst} a folder holding the stand-in
    # Install.exe, {gone} one that does not exist, {upper} this test's folder as C:\E2E\<NAME>): the bootstrap command
    # (boot) or the stand-in's (install), and whether the usual location's two folders exist afterwards (usual).
    SETUP_ROWS = {
        "pass_through_words_and_empty_options": dict(
            args=" -s -QATest -delay 5 -SilentLaunch -Register -verctrl2 -lfwx",
            boot="_instkvi.com -s -a  -s  -qatest  -delay 5  -silentlaunch  -register  -verctrl2  -lfwx"),
        "argument_tail_without_options_ends_in_separator": dict(args="   ", boot="_instkvi.com -s -a "),
        "empty_start_directory_is_set": dict(run=dict(run_env={"KVI_START_DIR": ""}), boot="_instkvi.com -s"),
        "start_directory_already_set_is_kept": dict(
            args=" -nosplash", run=dict(run_env={"KVI_START_DIR": "D:\\Given Start"}), start_dir="D:\\Given Start",
            boot="_instkvi.com -s -a  -nosplash"),
        "batch_file_whose_path_holds_the_program_name": dict(
            args=" -batch c:\\setup\\answers.txt", boot="_instkvi.com -s -a  -batch  c:\\setup\\answers.txt"),
        "target_skips_the_check_and_names_the_location": dict(
            args=" -target c:\\alt\\loc", plant=(OWN_VERSION, "{inst}"), boot="_instkvi.com -s -f  c:\\alt\\loc -a ",
            usual=(True, True)),
        "target_with_force": dict(args=" -target c:\\inst -force", boot="_instkvi.com -s -f  c:\\inst  -a  -force"),
        "force_skips_the_probe_of_a_current_copy": dict(
            args=" -force", plant=(OWN_VERSION, "{inst}"), boot="_instkvi.com -s -a  -force", usual=(True, True)),
        # InstPath is used as stored, letter case and all.
        "older_copy_is_reinstalled_in_its_place": dict(
            plant=("1.8-001", "{upper}\\Inst"), boot="_instkvi.com -s -f {upper}\\Inst", usual=(True, True)),
        "older_copy_with_options": dict(
            args=" -NoSplash", plant=("1.7-999", "{inst}"), boot="_instkvi.com -s -f {inst} -a  -nosplash"),
        "version_of_two_pieces_counts_as_older": dict(plant=("1.8", "{inst}"), boot="_instkvi.com -s -f {inst}"),
        "current_copy_is_probed_and_handed_off": dict(
            args=" -NoSplash -Input C:\\In\\X.txt", plant=(OWN_VERSION, "{inst}"),
            install=[PROBE, HANDOFF + "  -nosplash -input c:\\in\\x.txt"], usual=(False, False)),
        # InstPath of 614 bytes: read back whole, the probe and the hand-off name it.
        "current_copy_under_a_long_chinese_path_is_read_whole": dict(
            args=" -NoSplash", inst=LONG_CHINESE, plant=(OWN_VERSION, "{inst}"),
            install=[PROBE, HANDOFF + "  -nosplash"]),
        "newer_copy_without_arguments": dict(plant=("2.0-000", "{inst}"), install=[PROBE, HANDOFF]),
        "version_stored_as_binary_without_terminator": dict(
            plant=("1.9-000", "{inst}", "binary", False), install=[PROBE, HANDOFF]),
        "probe_with_a_wrong_answer_leads_to_reinstall": dict(
            plant=(OWN_VERSION, "{inst}"), run=dict(run_env={"KVI_PROBE_EXIT": "0"}), install=[PROBE],
            probe_exit="0x0", boot="_instkvi.com -s -f {inst}", usual=(True, True)),
        # Nothing to read there, so nothing is started from there: no probe.
        "installed_copy_that_is_missing_leads_to_reinstall": dict(
            args=" -nosplash", plant=(OWN_VERSION, "{gone}"), boot="_instkvi.com -s -f {gone} -a  -nosplash"),
        "noexecute_with_a_current_copy_only_probes": dict(
            args=" -noexecute", plant=(OWN_VERSION, "{inst}"), install=[PROBE], usual=(False, False)),
    }

    @pytest.mark.parametrize("row", SETUP_ROWS.values(), ids=SETUP_ROWS)
    def test_setup_row(self, row):
        self.over(**row)

    # A usual location that exists, given an owner and list as Windows would (SDDL): used while only administrators
    # (and SYSTEM) may change it, else the bootstrap installer is left to choose ("-f " naming nothing). Wine keeps of
    # a folder's owner and list only what its Unix owner and mode can hold (everyone's right to write, here): the rows
    # marked windows_only need Windows.
    USUAL_LOCATION_ROWS = {
        "usual_location_that_exists_deny_entry_for_users": dict(
            folder="\\Install", sddl="O:BAD:P(A;OICI;FA;;;BA)(D;OICI;FA;;;BU)", boot="_instkvi.com -s"),
        "usual_location_that_exists_users_may_add_a_file": dict(
            folder="\\Install", sddl="O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x2;;;BU)", boot="_instkvi.com -s -f ",
            windows_only=True),
        "usual_location_that_exists_base_writable_by_everyone": dict(
            folder="", sddl="O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x10000000;;;WD)", boot="_instkvi.com -s -f "),
        "usual_location_that_exists_owned_by_users": dict(
            folder="\\Install", sddl="O:BUD:P(A;OICI;FA;;;BA)", boot="_instkvi.com -s -f ", windows_only=True),
        "usual_location_that_exists_no_list_entries_of_others": dict(
            folder="\\Install", sddl="O:SYD:P(A;OICI;FA;;;SY)(A;OICI;0x1200A9;;;WD)", boot="_instkvi.com -s"),
        # It matters only where the bootstrap would install into it: an older copy in a sound folder is updated there.
        "usual_location_open_to_everyone_leaves_an_older_copy_in_its_folder": dict(
            folder="\\Install", sddl="O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x10000000;;;WD)", args=" -nosplash",
            plant=("1.7-999", "{inst}"), boot="_instkvi.com -s -f {inst} -a  -nosplash"),
    }

    @pytest.mark.parametrize("row", USUAL_LOCATION_ROWS.values(), ids=USUAL_LOCATION_ROWS)
    def test_usual_location_row(self, row):
        self.usual_location(**row)

    def usual_location(self, folder, sddl, windows_only=False, **row):
        if windows_only and not harness.ON_WINDOWS:
            pytest.skip("Wine keeps no such owner or list")
        self.run_setup()  # makes both folders
        self.m.clear_records()
        assert self.m.kvitest([["secset", "C:\\HalvikTorvanex" + folder, sddl]]).values.get("set") == "1"
        self.over(**row)


# --- Install -------------------------------------------------------------------

@pytest.mark.install
class InstallTests(InstallCase):
    letter = "i"

    INSTALL_ROWS = {
        "version_probe_answer": dict(cmd="{install} -verctrl", capture_stdout=True, exit=PROBE_ANSWER, stdout=b"",
                                     record=ABSENT),
        "help_and_probe": dict(cmd="{install} -help -verctrl", capture_stdout=True, exit=PROBE_ANSWER,
                               stdout=INSTALL_USAGE.encode("latin-1")),
        "start_directory_already_set_is_kept": dict(
            cmd="{install} -nosplash", run_env={"KVI_START_DIR": "D:\\Given Start"},
            recs={"javaw.exe": [dict(cmdline=JAVAW + "  -nosplash", start_dir="D:\\Given Start")]}),
        "relay_ends_for_an_application_that_ends_with_259": dict(
            cmd="{install} -batch", console=True, run_env={"KVI_STANDIN_EXIT": "259"}, timeout_ms=20000,
            stdin=("small.bin", b"line one\r\nline two\r\n\x1a\x00\xff"),
            recs={"java.exe": [dict(stdin_bytes="23", exit="0x103")]}),
        "relay_into_an_application_that_does_not_read": dict(
            cmd="{install} -batch", console=True, run_env={"KVI_STANDIN_READ": "0"}, timeout_ms=20000,
            stdin=("big.bin", bytes(4 * 1024 * 1024)), recs={"java.exe": [dict(stdin_read="0")]}),
        "noexecute_starts_nothing": dict(cmd="{install} -noexecute", starts=[], record=ABSENT),
        "started_by_bare_name_from_its_folder": dict(
            cmd="install.exe -nojw", cwd="{kit}",
            recs={"java.exe": [dict(cmdline=JAVA + "  -nojw", cwd="{kit}", start_dir="{kit}")]}),
    }

    @pytest.mark.parametrize("row", INSTALL_ROWS.values(), ids=INSTALL_ROWS)
    def test_install_row(self, row):
        stdin = row.get("stdin")
        self.row(**dict(row, stdin=self.m.input_file(*stdin) if stdin else None))

    def test_help_prints_usage_then_launches(self):
        # The usage text, 401 bytes; the windowed runtime's command, 184 characters before its tail.
        run = self.run_program(self.install + " -Help", capture_stdout=True)
        assert run.stdout == INSTALL_USAGE.encode("latin-1") and len(run.stdout) == 401
        assert len(self.launched(run, JAVAW + "  -help")["cmdline"]) == 184 + len("  -help")

    def run_console(self, args, sleep="1500", run_env=None, **kw):
        run_env = dict(KVI_STANDIN_SLEEP_MS=sleep, **(run_env or {}))
        return self.run_program(self.install + args, console=True, run_env=run_env, **kw)

    def assert_not_waited(self, run, rec):
        assert run.ended_at() < int(rec["time_end"]), "Install waited for the application"

    def test_no_arguments_starts_the_windowed_runtime(self):
        run = self.run_console("", capture_stdout=True)
        assert run.stdout == b""
        # (Whether javaw.exe has a console says nothing here: Wine attaches a windowed program to its caller's
        # console, Windows does not.)
        self.assert_not_waited(run, self.launched(run, JAVAW, si_flags="0x0"))

    def test_nojw_runs_java_in_the_same_console(self):
        # The console runtime's command: 183 characters before its tail.
        run = self.run_console(" -NoJW")
        rec = self.launched(run, JAVA + "  -nojw", si_flags="0x0")
        assert len(rec["cmdline"]) == 183 + len("  -nojw")
        assert run.status["runner_pid"] in rec["console_processes"].split(","), \
            "java.exe is not in the console Install was started in"
        self.assert_not_waited(run, rec)

    @pytest.mark.parametrize("args, tail, stdin", ((" -Batch C:\\Answers.TXT", "  -batch c:\\answers.txt", None),
                                                 (" -b", "  -b", "none")), ids=(
        "batch_with_console_input_opens_the_batch_console", "batch_without_standard_input_opens_the_batch_console"))
    def test_batch_console_row(self, args, tail, stdin):
        run = self.run_console(args, stdin=stdin)
        if stdin is None and run.status.get("console_input") != "1":
            # Install tells a console by GetConsoleMode; the display suite, where Wine's consoles have windows, and
            # the fake cover it then.
            pytest.skip("this Wine's console input does not answer GetConsoleMode without a display")
        rec = self.launched(run, JAVA + tail, flags=0x10, si_title="Halvik Torvanex Install",   # CREATE_NEW_CONSOLE
                            si_x="10", si_y="10", si_xsize="800", si_ysize="600", si_fill="0x74", si_flags="0x16",
                            stdin_read="0")
        assert rec["console_processes"] == rec["pid"], "java.exe is not alone in a new console"
        self.assert_not_waited(run, rec)

    # Install relays its input (redirected from a file; a pipe, as `type answers | Install -batch` or an automation
    # tool hands it; the null device) to the application in its own console, without the batch console, and ends after
    # the application has; the application's own status (KVI_STANDIN_EXIT) is not passed on.
    @pytest.mark.parametrize("args, size, seed, how, sleep, exit", (
        (" -batch c:\\a.txt -silent", 5 * 1024 * 1024 + 123, 1110, "", "2100", "3"),
        (" -Batch c:\\a.txt", 300 * 1024 + 17, 1111, "pipe:", "1500", "4"), (" -b", 0, 0, "nul", "1500", None)), ids=(
        "batch_with_redirected_input_relays_it", "batch_with_piped_input_relays_it",
        "batch_with_the_null_device_relays_its_end"))
    def test_relay_row(self, args, size, seed, how, sleep, exit):
        data = random.Random(seed).randbytes(size)
        run = self.run_console(args, sleep=sleep, run_env={"KVI_STANDIN_EXIT": exit} if exit else {},
                               stdin="nul" if how == "nul" else how + self.m.input_file("input.bin", data))
        rec = self.launched(run, JAVA + " " + ascii_lower(args), inherit=1, stdin_type="pipe", si_flags="0x0",
                            stdin_bytes=str(len(data)))
        assert run.status["runner_pid"] in rec["console_processes"].split(","), "java.exe is not in Install's console"
        assert harness.read_bytes(os.path.join(self.m.rec, rec["stdin_file"])) == data, \
            "the relayed bytes differ from the input's"
        lag_ms = (run.ended_at() - int(rec["time_end"])) / 10000.0
        assert lag_ms >= -50, "Install ended before the application"
        if sleep == "2100":
            # Install returns promptly once the application has ended. (It ends 2100 ms after its input: a look every
            # 2000 ms alone would see that only at 4000 ms, 1900 ms late.)
            assert lag_ms < 1000, "Install ended %.0f ms after the application" % lag_ms

    # A kit without its runtime: Install's arguments, whether a folder on PATH holds a JRE\\bin (never searched for),
    # and the start it tries, refused, with the launch box (None: silent, no box).
    @pytest.mark.parametrize("args, planted, command", (
        (" -nosplash", False, JAVAW + "  -nosplash"), (" -nosplash", True, JAVAW + "  -nosplash"),
        (" -nojw", True, JAVA + "  -nojw"), (" -silent", False, None), (" -silentLaunch", False, None)),
        ids=("nosplash", "nosplash_runtime_on_path", "nojw_runtime_on_path", "silent", "silentlaunch"))
    def test_missing_runtime(self, args, planted, command):
        bare = self.m.lay_kit("bare", jre=False)
        path = ";".join([self.m.lay_kit("plant", install=None), "C:\\windows\\system32", "C:\\windows"])
        run = self.run_program(bare + "\\Install.exe" + args, run_env={"PATH": path} if planted else None)
        if command is None:
            self.expect(run, exit="0xFFFFFFFF")
        else:
            self.expect(run, exit="0xFFFFFFFF", boxes=["install-launch-error"],
                        starts=[Refused((command, 0, 0, bare + "\\" + command.split(" ", 1)[0]))])

    def test_name_without_install(self):
        self.m.lay_kit("kit", install="real", jre=False, install_name="Launcher.exe")
        self.row("{kit}\\Launcher.exe -verctrl", cwd="{kit}", boxes=["install-search-error"],
                 recs={"javaw.exe": [dict(cmdline=JAVAW, cwd="{kit}")]})


# --- the hand-off ------------------------------------------------------------------

@pytest.mark.handoff
class HandoffTests(SetupCase):
    """setup.exe hands off to a registered copy of the real Install.exe."""

    letter = "h"

    def handoff(self, folder, args, **kw):
        """setup with args over a current copy of the real Install.exe in folder: (run, kit)."""
        kit = self.m.lay_kit(folder)
        return self.run_setup(args, before=self.plant_record(OWN_VERSION, kit), **kw), kit

    def test_handoff_reaches_the_runtime(self):
        run, kit = self.handoff("kit", " -NoSplash -Input C:\\In\\Pre.txt")
        self.handed_off(run, kit, "  -nosplash -input c:\\in\\pre.txt", usual=(False, False))

    def test_handoff_with_noexecute_goes_no_further_than_the_probe(self):
        run, kit = self.handoff("kit", " -noexecute")
        self.expect(run, starts=[kit + "\\Install.exe -verctrl"],
                    record={"OriginalSource": self.medium, "InstPath": kit}, uninstall=ABSENT)
        # Not registered again: the values stay as written before the run.
        assert sorted(run.record) == ["InstPath", "OriginalSource", "Version"]

    @pytest.mark.parametrize("folder, option, runtime", ((ANY_LANGUAGE, "-NoSplash", JAVAW),
                                                         ("kit dir", "-nojw", JAVA)),
                             ids=("named_in_any_language", "with_a_blank"))
    def test_handoff_into_a_folder(self, folder, option, runtime):
        # The runtime gets the option in lower case; the record names the folder.
        run, kit = self.handoff(folder, " " + option)
        self.handed_off(run, kit, "  " + ascii_lower(option), runtime, record={
            "InstPath": kit, "UninstCmd": '"' + kit + '\\Install.exe" -remove'} if folder == ANY_LANGUAGE else None)

    # KVI_TRACE set for setup reaches both Install processes: one file with the lines of all three, in the order they
    # happened. A folder at that name, a link to one (Wine 8 makes no junctions and shows a Unix link to a folder as
    # that folder) or a second name of another file is not written to, and the road is the same. Nor is a name that
    # is no .log or .txt file made: Wine runs every program elevated.
    @pytest.mark.parametrize("name", ("trace.txt", "folder", "link", "second.txt", "trace.cmd"), ids=word)
    def test_trace_holds_the_whole_road(self, name):
        kit = self.m.lay_kit("kit")
        os.makedirs(self.m.dir("folder"))
        os.symlink(self.m.dir("folder"), self.m.dir("link"))
        with open(self.m.dir("other.txt"), "wb") as f:
            f.write(b"other")
        os.link(self.m.dir("other.txt"), self.m.dir("second.txt"))
        run = self.run_setup("", before=self.plant_record(OWN_VERSION, kit), run_env={"KVI_TRACE": self.m.w(name)})
        self.handed_off(run, kit)
        assert os.listdir(self.m.dir("folder")) == []
        assert harness.read_bytes(self.m.dir("other.txt")) == b"other"
        if name != "trace.txt":
            assert not os.path.exists(self.m.dir("trace.txt"))
            assert not os.path.exists(self.m.dir("trace.cmd"))
            return
        lines = [re.match(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\S+) (\d+) (.*)$", line)
                 for line in harness.read_bytes(self.m.dir("trace.txt")).decode("utf-8").split("\r\n")]
        assert lines.pop() is None, "the file ends with a line's end"
        assert all(lines), "every line begins with its time, program and process id"
        assert [m.group(1) for m in lines] == sorted(m.group(1) for m in lines), "times in order"
        who = dict(zip(dict.fromkeys(m.group(3) for m in lines), ("setup", "probe", "handoff")))
        got = ["%s %s %s" % (who[m.group(3)], m.group(2), m.group(4)) for m in lines]
        at = dict(self.at, kit=kit, m=len(self.medium) + 1, k=len(kit) + 1, u=len(kit) + 21,
                  lnk=self.m.prefix.programs_folder())
        started = "setup setup started <{kit}\\Install.exe %s> program (its first word) flags 0x08000000"
        assert [g for g in got if not g.startswith("handoff")] == fill([
            "setup setup start 1.8-002 <{medium}\\setup.exe> in {start}", "setup setup start dir set {start}",
            "setup setup program dir {medium}\\ entered", "setup setup record opened",
            "setup setup wrote OriginalSource, {m} bytes <{medium}>", "setup setup read Version, 8 bytes <1.8-002>",
            "setup setup read InstPath, {k} bytes <{kit}>", "setup setup installed copy current", started % "-verctrl",
            "probe Install start 1.8-002 <{kit}\\Install.exe -verctrl> in {medium}",
            "probe Install start dir kept {start}", "probe Install exit 0xFFFFFBAA",
            "setup setup probe exit 0xFFFFFBAA",
            started % "-silentLaunch -register", "setup setup exit 0x00000000"], at)
        # The hand-off's lines come after setup started it; setup may end at any time meanwhile.
        assert got.index(fill(started % "-silentLaunch -register", at)) < \
            min(i for i, g in enumerate(got) if g.startswith("handoff"))
        wrote = "handoff Install wrote %s, %s bytes <%s>"
        assert [g for g in got if g.startswith("handoff")] == fill([
            "handoff Install start 1.8-002 <{kit}\\Install.exe -silentLaunch -register> in {medium}",
            "handoff Install start dir kept {start}", "handoff Install program dir {kit}\\ entered",
            wrote % ("UninstCmd", "{u}", "{kit}\\Install.exe -remove"), wrote % ("InstPath", "{k}", "{kit}"),
            wrote % ("Version", 8, "1.8-002"), wrote % ("DisplayName", 25, "Halvik Torvanex Products"),
            wrote % ("UninstallString", "{u}", "{kit}\\Install.exe -remove"),
            "handoff Install shortcut saved {lnk}\\Halvik Torvanex\\Halvik Install.lnk",
            "handoff Install started <" + JAVAW + "  -silentlaunch -register> program {kit}\\JRE\\bin\\javaw.exe "
            "flags 0x00000000", "handoff Install exit 0x00000000"], at)


# --- registration ---------------------------------------------------------------------

@pytest.mark.registration
class RegistrationTests(E2ECase):
    """Install -register: the installation record, the uninstall entry, the shortcut."""

    letter = "g"

    def register(self, folder, args, launch=None, **kw):
        """Install in a kit in folder run with args registered it, made its shortcut and started
        the runtime with the tail launch (None: nothing). Returns (run, kit)."""
        kit = self.m.lay_kit(folder)
        run = self.run_program(quoted(kit + "\\Install.exe") + args, **kw)
        self.registered(run, kit, recs={"javaw.exe": [dict(cmdline=JAVAW + launch, cwd=kit, start_dir=self.start)]}
                        if launch else None)
        self.check_link(kit)
        return run, kit

    def test_register_writes_record_entry_and_shortcut(self):
        run, kit = self.register("kit", " -register -noexecute")
        assert sorted(run.record) == ["InstPath", "UninstCmd", "Version"]
        # The shortcut folder lies in the user's own profile and inherits its access list.
        if not harness.ON_WINDOWS:
            assert run.created_dirs() == [(self.m.prefix.programs_folder() + "\\Halvik Torvanex", False)]

    def test_register_keeps_original_source_and_launches(self):
        run, kit = self.register("kit", " -Register", "  -register", before=[
            ["regset", "record", "OriginalSource", "sz", b"d:\\medium\0".hex()],
            ["regset", "record", "Version", "sz", b"0.1-000\0".hex()]])
        self.assert_reg_sz(run.record, "OriginalSource", "d:\\medium")

    def test_register_in_a_folder_with_a_blank_quotes_the_command(self):
        self.register("my kit", " -register -noexecute")

    def test_register_in_a_folder_named_in_any_language(self):
        # Cyrillic, CJK and a blank: the record, the uninstall entry and the shortcut hold the real name, and the
        # runtime starts in that folder.
        run, kit = self.register(ANY_LANGUAGE, " -Register -NoSplash", "  -register -nosplash")
        assert os.path.isdir(os.path.join(self.m.root, "Программы 安装"))
        assert run.record["InstPath"][1] == ("c:\\e2e\\%s\\Программы 安装" % self.name).encode("utf-8") + b"\0"

    @pytest.mark.skipif(harness.ON_WINDOWS, reason="a drive of the Wine prefix")
    def test_register_at_a_drive_root(self, request):
        # Drive K: of the prefix is this test's folder "root" for the time of the test.
        self.m.lay_kit("root")
        drive = os.path.join(self.m.prefix.path, "dosdevices", "k:")
        harness.remove(drive)
        os.symlink(self.m.dir("root"), drive)
        request.addfinalizer(lambda: os.remove(drive))
        run = self.run_program("K:\\Install.exe -register -noexecute")
        # The command gets no second backslash, and its byte count stays directory length + 21: the terminator and one
        # more zero byte.
        self.expect(run, record={"InstPath": ("k:\\", 4)})
        assert run.record["UninstCmd"] == (REG_SZ, b"k:\\Install.exe -remove\0\0")
        assert run.uninstall["UninstallString"] == (REG_SZ, b"k:\\Install.exe -remove\0\0")
        self.check_link("k:", workdir="k:\\")

    def test_uninstall_entry_needs_only_the_right_to_add_a_key(self, request):
        # The key holding the uninstall entries lets administrators add a key below it and nothing more (its entries
        # then give them everything): Install asks for just that right, so the entry is written. (Wine opens no key
        # below one whose list refuses the reader: the list is put back before the registry is read.)
        saved = self.m.kvitest([["keyacl", "get", "uninstall-parent"]]).values["sddl"]
        request.addfinalizer(lambda: self.m.kvitest([["keyacl", "set", "uninstall-parent", saved]]))
        only_add = "D:P(A;;0x60004;;;BA)(A;;0x60004;;;SY)(A;CIIO;KA;;;BA)(A;CIIO;KA;;;SY)"
        self.register("kit", " -register -noexecute", before=[["keyacl", "set", "uninstall-parent", only_add]],
                      after=[["keyacl", "set", "uninstall-parent", saved]])

    def test_register_twice_gives_the_same_values(self):
        first, kit = self.register("kit", " -register -noexecute")
        second = self.run_program(kit + "\\Install.exe -register -noexecute")
        assert (first.record, first.uninstall) == (second.record, second.uninstall)
        self.check_link(kit)
        self.assert_boxes(second, [])


# --- the whole road ----------------------------------------------------------------------

@pytest.mark.road
class RoadTests(E2ECase):
    """A medium with setup.exe, the stand-in bootstrap installer (which copies the kit
    and runs Install -register) and the kit: installation, then hand-off."""

    letter = "r"

    @pytest.fixture(autouse=True)
    def road_medium(self, clean_machine):
        self.medium = self.m.lay_medium(kit=True)
        self.setup = self.medium + "\\setup.exe"

    # setup's arguments, the record planted (version, folder; "kit": a kit of its own), the folder installed into, the
    # bootstrap's and Install's command lines, the tail of the launch, a REG_SZ value then written ({f}: the folder,
    # {p}: its Install.exe, quoted when it holds a blank), and the arguments of a second run that hands off (None: no
    # second run). {w}: this test's folder.
    THROUGH = {
        "clean_machine": ("", None, "c:\\halviktorvanex\\install", "_instkvi.com -s",
                          "C:\\HalvikTorvanex\\Install\\Install.exe -register", "",
                          ("uninstall", "UninstallString", "{f}\\Install.exe -remove"), " -NoSplash"),
        "older_copy": (" -nosplash", ("1.7-999", "{w}\\old"), "{w}\\old", "_instkvi.com -s -f {f} -a  -nosplash",
                       "{f}\\Install.exe -register -nosplash", " -nosplash", None, None),
        "force": (" -force", (OWN_VERSION, "kit"), "c:\\halviktorvanex\\install", "_instkvi.com -s -a  -force",
                  "C:\\HalvikTorvanex\\Install\\Install.exe -register -force", " -force", None, None),
        "target_with_a_blank": (" -target {f}", None, "{w}\\my target", "_instkvi.com -s -f  {f} -a ",
                                "{p} -register", "", ("record", "UninstCmd", "{p} -remove"), ""),
        "target_in_any_language": (" -target {f}", None, "{w}\\" + ANY_LANGUAGE, "_instkvi.com -s -f  {f} -a ",
                                   "{p} -register", "", ("record", "UninstCmd", "{p} -remove"), ""),
    }

    @pytest.mark.parametrize("args, plant, folder, boot, install, tail, value, second", THROUGH.values(), ids=THROUGH)
    def test_through_the_bootstrap(self, args, plant, folder, boot, install, tail, value, second):
        folder = folder.format(w=self.m.w())
        where = dict(w=self.m.w(), f=folder, p=quoted(folder + "\\Install.exe"))
        before = self.plant_record(plant[0], self.m.lay_kit("kit") if plant[1] == "kit" else fill(plant[1], where)) \
            if plant else ()
        run = self.run_program(self.setup + fill(args, where), before=before)
        # setup started the bootstrap installer, which started Install, which started the runtime.
        boot, install, launch = fill(boot, where), fill(install, where), JAVAW + "  -register" + tail
        self.expect(run, starts=[boot, install, launch],
                    record={"InstPath": folder, "Version": OWN_VERSION, "OriginalSource": self.medium},
                    recs={"_instkvi.com": [dict(cmdline=boot, copied="1", install_cmd=install, install_exit="0x0")],
                          "javaw.exe": [dict(cmdline=launch, cwd=folder, start_dir=self.start)]})
        assert self.m.records("_instkvi.com")[0]["location"].lower() == folder.lower()
        assert run.uninstall is not None
        for name in ("Install.exe", "JRE\\bin\\javaw.exe"):
            assert os.path.isfile(self.m.prefix.unix(folder + "\\" + name)), name
        if plant and plant[1] != "kit":
            assert self.m.usual_location_exists() == (True, True)
        if value:
            self.assert_reg_sz(getattr(run, value[0]), value[1], fill(value[2], where))
        if second is not None:
            self.second_run_hands_off(folder, second)

    def second_run_hands_off(self, folder, args):
        """A second run of setup finds the copy in folder: probe, then hand-off."""
        self.m.clear_records()
        self.handed_off(self.run_program(self.setup + args), folder, " " + args.lower() if args else "",
                        record={"InstPath": folder})

    # The NSIS example of examples/bootstrap in place of the stand-in, with its own kit (this build's Install.exe, the
    # stand-in runtime): {t} the target, {a} an answers file, {w} this test's folder; the record planted, if any. The
    # batch installation goes on to the hand-off and the bootstrap's exit statuses.
    EXAMPLE = {
        "clean_machine": ("", "_instkvi.com -s", "c:\\halviktorvanex\\install", "javaw.exe", "  -register", None),
        "target": (' -target "{t}"', '_instkvi.com -s -f  "{t}" -a ', "{t}", "javaw.exe", "  -register", None),
        "target_batch": (" -target {t} -batch {a}", "_instkvi.com -s -f  {t}  -a  -batch  {a}", "{t}", "java.exe",
                         "  -register -batch  {a}", None),
        # " -a " in the older copy's folder is part of its name (setup's separator is followed by " -" or nothing).
        "older_copy_named_with_a": ("", "_instkvi.com -s -f {w}\\my -a kit", "{w}\\my -a kit", "javaw.exe",
                                    "  -register", ("1.7-999", "{w}\\my -a kit")),
    }

    @pytest.mark.parametrize("args, boot_cmdline, location, runtime, tail, plant", EXAMPLE.values(), ids=EXAMPLE)
    def test_example_bootstrap(self, args, boot_cmdline, location, runtime, tail, plant):
        self.m.lay_medium(bootstrap="example_bootstrap")
        shutil.rmtree(self.m.dir("medium", "kit"))
        target, answers = self.m.w("my target"), ascii_lower(self.m.input_file("answers.txt", b"yes\n"))
        where = dict(t=target, a=answers, w=self.m.w())
        before = self.plant_record(plant[0], fill(plant[1], where)) if plant else ()
        run = self.run_program(self.setup + fill(args, where), before=before)
        # Started by any other path than the location's, Install would register another folder.
        location = fill(location, where)
        self.expect(run, main=[fill(boot_cmdline, where)], record={"InstPath": location}, recs={runtime: [dict(
            cmdline=(JAVA if runtime == "java.exe" else JAVAW) + fill(tail, where), cwd=location)]})
        assert os.path.isfile(self.m.prefix.unix(location + "\\JRE\\bin\\javaw.exe"))
        if "-batch" in args:
            self.example_bootstrap_then(target)

    def example_bootstrap_then(self, target):
        """After the example bootstrap installed into target: the hand-off, then its exit statuses."""
        self.second_run_hands_off(target, "")
        # Exit statuses for a script: 0 installed and registered; 1 the kit could not be installed (here under a
        # file), and nothing started.
        bootstrap = self.medium + "\\_instkvi.com"
        self.assert_exit(self.run_program(bootstrap + " -s -f  " + target + " -a  -noexecute"), "0x00000000")
        open(self.m.dir("a file"), "w").close()
        run = self.run_program(bootstrap + " -s -f " + self.m.w("a file", "kit"))
        self.assert_exit(run, "0x00000001")
        self.assert_starts(run, [])
        # -f naming nothing: setup did not take the usual location, which is there (setup's run made it), so the
        # bootstrap does not install into it either.
        assert self.m.usual_location_exists() == (True, True)
        run = self.run_program(bootstrap + " -s -f  -a ")
        self.assert_exit(run, "0x00000001")
        self.assert_starts(run, [])
