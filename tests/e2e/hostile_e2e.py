"""Hostile inputs end to end (mark hostile): long command lines and paths, bytes above 127, blanks, Version
values that are no text or huge, a file or someone else's folder at the usual location.

Wine starts no program whose path is longer than 259 characters, runs none in a current directory longer
than 258, and kvitest.exe starts at most about 16,000 characters directly (hex on its own command line).
Longer command lines are reached through the programs: setup's "-f" reaches the bootstrap as "-force".
"""

import os
import shutil

import pytest

import harness
from cases import (ABSENT, HANDOFF, JAVAW, OWN_VERSION, PROBE, PROBE_ANSWER, REG_SZ, E2ECase, InstallCase, Refused,
                   SetupCase, quoted, word)
from harness import u8

pytestmark = pytest.mark.hostile

LONGEST_COMMAND = 32766  # the longest command line Windows starts: 32,767 characters with the terminator
LONGEST_DIRECT = 16000   # what kvitest.exe can start directly
# Where the bootstrap stand-in installs when it is given no location, and the command it runs there.
USUAL = "c:\\halviktorvanex\\install"
USUAL_INSTALL = "C:\\HalvikTorvanex\\Install\\Install.exe -register"
# What setup did with the copy in {inst}: current (probed and handed off), older (reinstalled into its folder) or none
# (a plain bootstrap run).
OUTCOMES = {"current": dict(install=[PROBE, HANDOFF]), "older": dict(boot="_instkvi.com -s -f {inst}"),
            "none": dict(boot="_instkvi.com -s")}


def folder_of_length(base, length):
    """A Windows folder path of exactly `length` characters: base, then parts of
    at most 100 "d"s each (no single name may be longer than a file system takes)."""
    path = base
    while len(path) < length:
        left = length - len(path) - 1          # characters behind the next backslash
        if left < 1:
            break
        path += "\\" + "d" * (left if left <= 100 else (100 if left - 100 >= 2 else 97))
    if len(path) != length:
        raise ValueError("no folder of %d characters below %s" % (length, base))
    return path


class HostileCase(E2ECase):
    cut = 200  # Wine's trace shortens long texts

    def decoy(self, win_path):
        """A program that must never be started: the recording stand-in under another name."""
        shutil.copy(self.m.programs["install_standin"], self.m.prefix.unix(win_path))

    def import_record(self, values):
        """Writes text values into the installation record, in the 32-bit registry view that both builds use, through
        Wine's reg.exe: for values too long to pass to kvitest.exe on its command line."""
        self.m.kvitest([["regdump"]])  # the test's first kvitest start clears the record
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[HKEY_LOCAL_MACHINE\\Software\\HalvikTorvanex\\HalvikTorvanexJI]"]
        lines += ['"%s"="%s"' % (k, v.replace("\\", "\\\\").replace('"', '\\"')) for k, v in values.items()]
        with open(os.path.join(self.m.root, "record.reg"), "w", encoding="utf-16", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        code, out, err = harness.run_quietly(harness.wine(
            "reg", "import", self.m.prefix.win(os.path.join(self.m.root, "record.reg")), "/reg:32"),
            self.m.prefix.env(), 120)
        assert code == 0, "reg import failed: %s" % (out + err).decode("latin-1")[-2000:]


# --- setup -------------------------------------------------------------------------

class HostileSetupTests(HostileCase, SetupCase):
    letter = "hs"

    def test_long_tail_reaches_the_bootstrap_whole(self):
        # The longest command line the runner can hand setup, in capitals.
        tail = " -QATEST " + "Q" * (LONGEST_DIRECT - len(self.setup) - 9)
        assert len(self.setup + tail) == LONGEST_DIRECT
        self.over(tail, boot="_instkvi.com -s -a  -qatest " + "q" * (len(tail) - 9))

    @pytest.mark.parametrize("length", (2047, 2048, 2049, 4096))
    def test_bootstrap_commands_around_2048_characters(self, length):
        # A fixed 2048-byte command buffer would cut or overrun here.
        command = "_instkvi.com -s -a  -qatest " + "q" * (length - 28)
        assert len(command) == length
        self.over(" -qatest " + "q" * (length - 28), boot=command)

    # Blank tokens are ignored and a run of dashes is one cut: no options at all.
    @pytest.mark.parametrize("tail", (lambda room: " " * room, lambda room: " " + "-" * (room - 1),
                                      lambda room: " -" * (room // 2), lambda room: " -\t" * (room // 3)),
                             ids=("blanks", "dashes", "blank_dash", "blank_dash_tab"))
    def test_long_tails_of_blanks_and_dashes(self, tail):
        self.over(tail(LONGEST_DIRECT - len(self.setup)), boot="_instkvi.com -s -a ")

    # Each " -f" (3 characters) reaches the bootstrap installer as " -force" (7): setup's own command line stays short
    # while the bootstrap command grows to the limit and past it, where Windows refuses it.
    @pytest.mark.parametrize("length, args", ((LONGEST_COMMAND, " -f" * 4400 + " -qatest " + "q" * 1938),
                                              (LONGEST_COMMAND + 1, " -f" * 4400 + " -qatest " + "q" * 1939),
                                              (35019, " -f" * 5000)), ids=("32766", "32767", "35019"))
    def test_bootstrap_command_at_the_windows_limit(self, length, args):
        command = "_instkvi.com -s -a " + args.replace(" -f", " -force")
        assert len(command) == length
        assert len(self.setup + args) <= LONGEST_DIRECT
        fits = length <= LONGEST_COMMAND
        self.over(args, boot=command if fits else Refused(command), usual=(True, True),
                  boxes=[] if fits else ["setup-launch-error"])

    def test_handoff_with_a_long_tail(self):
        tail = " -NoSplash -QATest " + "Q" * (LONGEST_DIRECT - len(self.setup) - 19)
        assert len(self.setup + tail) == LONGEST_DIRECT
        self.over(tail, plant=(OWN_VERSION, "{inst}"),
                  install=[PROBE, HANDOFF + "  -nosplash -qatest " + "q" * (len(tail) - 19)])

    @pytest.mark.parametrize("length", (246, 247, 249))
    def test_program_folder_at_the_path_limit(self, length):
        # setup.exe paths of 256, 257 and 259 characters (Wine starts nothing longer). _instkvi.com is looked for
        # beside setup: within 259 characters it must start; beyond that nothing starts and the launch box is shown,
        # whether the elevated setup cannot open it to judge it or (Wine opens 260 characters) cannot start it.
        folder = self.m.lay_medium(folder_of_length(self.m.w("p%d" % length), length))
        run = self.run_setup(" -NoSplash", setup=folder + "\\setup.exe")
        command = "_instkvi.com -s -a  -nosplash"
        started = length + len("\\_instkvi.com") <= 259 or self.m.records("_instkvi.com")
        self.expect(run, **(dict(starts=[command]) if started else {}), recs={"_instkvi.com": [
            dict(cmdline=command, cwd=folder, start_dir=self.start)] if started else []},
            record={"OriginalSource": (folder, length + 1)}, boxes=[] if started else ["setup-launch-error"])

    def test_current_directory_at_the_path_limit(self):
        # 258 characters: the longest current directory Wine runs a program in.
        cwd = self.m.place(folder_of_length(self.m.w("c"), 258))[1]
        self.over(" -nosplash", run=dict(cwd=cwd), start_dir=cwd, boot="_instkvi.com -s -a  -nosplash")

    @pytest.mark.parametrize("length", (261, 30000))
    def test_start_directory_longer_than_a_path_is_kept(self, length):
        value = "D:\\" + "s" * (length - 3)
        self.over(run=dict(env={"KVI_START_DIR": value}), start_dir=value, boot="_instkvi.com -s")

    # No Install.exe can be read there: the folder rule refuses it unread, no probe runs, and the copy is reinstalled
    # into the stored path, which must reach the bootstrap whole.
    @pytest.mark.parametrize("length, version", [(n, v) for n in (259, 260, 261) for v in (OWN_VERSION, "1.7-999")])
    def test_installed_path_at_the_path_limit(self, length, version):
        inst = folder_of_length(self.m.w("i"), length)
        self.over(" -nosplash", plant=(version, inst), boot="_instkvi.com -s -f " + inst + " -a  -nosplash",
                  usual=(True, True))

    def test_installed_path_at_the_path_limit_with_a_blank(self):
        inst = folder_of_length(self.m.w("my inst"), 260)
        self.over(plant=(OWN_VERSION, inst), boot="_instkvi.com -s -f " + inst)  # unreadable there: no probe

    @pytest.mark.parametrize("length", (259, 260, 261))
    def test_target_path_at_the_path_limit(self, length):
        target = folder_of_length(self.m.w("t"), length)
        self.over(" -Target " + target.upper(), boot="_instkvi.com -s -f  " + target + " -a ")

    @pytest.mark.parametrize("length", (16000, 40000))
    def test_installed_path_far_beyond_the_path_limit(self, length):
        # 16,000 characters: no probe (the folder cannot be read), the bootstrap command (16,019 characters) starts.
        # 40,000: it does not fit a command line, so the launch box.
        inst = self.m.w("i") + "\\" + "p" * (length - len(self.m.w("i")) - 1)
        assert len(inst) == length
        self.import_record({"Version": OWN_VERSION, "InstPath": inst})
        command = "_instkvi.com -s -f " + inst
        fits = len(command) <= LONGEST_COMMAND
        self.over(boot=command if fits else Refused(command), boxes=[] if fits else ["setup-launch-error"])

    def test_bytes_above_127_pass_unchanged(self):
        # The programs speak UTF-8, so each of these letters is two bytes above 127. Only A-Z are lowered: É, Ä, Ñ
        # stay capitals, and a non-breaking space is no blank. Š and Ÿ have lower-case forms too; Š's second byte is
        # 0xA0, the non-breaking space of the Western code page.
        medium, tail = self.m.lay_medium(self.m.w(u8("MÉDIUMÄ"))), u8("\xa0ÿéŠŸÀ")
        run = self.over(" -Batch C:\\" + u8("Ä\\Ñ") + ".TXT -NoSplash -QATest " + tail, setup=medium + "\\setup.exe",
                        boot="_instkvi.com -s -a  -batch  c:\\" + u8("Ä\\Ñ") + ".txt  -nosplash  -qatest " + tail,
                        cwd=self.m.w(u8("mÉdiumÄ")))
        # The stored folder is the folder as setup entered it: its capitals É and Ä kept.
        assert run.record["OriginalSource"] == (REG_SZ, ("c:\\e2e\\%s\\mÉdiumÄ\0" % self.name).encode("utf-8"))

    # (Tabs, quotes and words in the program's path are rows of the unit tables.)
    @pytest.mark.parametrize("setup", ('"{}\\setup.exe"', "{}\\setup.exe"), ids=("quoted", "unquoted"))
    def test_program_path_with_blanks(self, setup):
        medium = self.m.lay_medium(self.m.w("my medium"))
        self.over(" -NoSplash", setup=setup.format(medium), cwd=medium, boot="_instkvi.com -s -a  -nosplash")

    # C:\...\my.exe is what an unquoted "C:\...\my inst\Install.exe" would start.
    @pytest.mark.parametrize("version, outcome", (
        (OWN_VERSION, dict(install=[PROBE, HANDOFF + "  -nosplash"])),
        ("1.7-999", dict(boot="_instkvi.com -s -f {inst} -a  -nosplash"))), ids=(
        "installed_path_with_a_blank_never_starts_the_front_part", "older_copy_with_a_blank_is_named_as_stored"))
    def test_blank_row(self, version, outcome):
        self.decoy(self.m.w("my.exe"))
        self.over(" -NoSplash", inst="my inst", plant=(version, "{inst}"), **outcome)
        self.assert_not_started("my.exe")

    def test_handoff_into_a_folder_with_blanks_and_bytes_above_127(self):
        # The real Install.exe answers the probe and takes the hand-off: it registers the folder as it entered it (A-Z
        # lowered, Ä and É kept) and starts the runtime.
        inst, registered = self.m.lay_kit(self.m.w(u8("My KÄTÉ"))), self.m.w(u8("my kÄtÉ"))
        self.decoy(self.m.w("my.exe"))
        run = self.run_setup(" -NoSplash", before=self.plant_record(OWN_VERSION, inst))
        self.handed_off(run, inst, "  -nosplash", cwd=registered, record={
            "InstPath": registered, "UninstCmd": '"' + registered + '\\Install.exe" -remove',
            "OriginalSource": self.medium})
        self.assert_not_started("my.exe")

    @pytest.mark.parametrize("folder", ("inst", "my inst"), ids=word)
    def test_installed_path_ending_in_a_backslash(self, folder):
        # The stored path is used as it stands: a doubled separator in front of Install.exe.
        exe = quoted(self.m.w(folder) + "\\\\Install.exe")
        self.over(inst=folder, plant=(OWN_VERSION, "{inst}\\"),
                  install=[exe + " -verctrl", exe + " -silentLaunch -register"])

    @pytest.mark.parametrize("type_, data, outcome", [
            ("dword", b"\x02\x00\x00\x00", "older"),         # one piece
            ("dword", b"1.9-", "older"),                      # two pieces only
            ("binary", b"\xff\xfe9.9-9", "older"),            # 0, 9, 9: bytes above 127 are no digits
            ("binary", b"9.9-9", "current"),                  # no terminator
            ("binary", b"", "none"),                          # no length at all
            ("7", b"2.0-000\x000.1-000\x00\x00", "current"),  # REG_MULTI_SZ: its first string
            ("0", b"1.8-002", "current"),                     # REG_NONE
    ], ids=("dword_one_piece", "dword_two_pieces", "binary_bytes_above_127", "binary_without_terminator",
            "binary_of_no_length", "multi_sz", "reg_none"))
    def test_version_that_is_not_text(self, type_, data, outcome):
        self.over(plant=[["regset", "record", "Version", type_, data.hex()],
                         self.plant_record("", self.m.w("inst"))[1]], **OUTCOMES[outcome])

    @pytest.mark.parametrize("version, outcome", [
            ("1.4294967295-0", "current"),              # minor clamped, not wrapped to -1
            ("1.+4294967304-0", "current"),             # not wrapped to 8
            ("1.8-2147483648", "current"),              # not wrapped to a negative build
            ("1.8-" + "9" * 5000, "current"),
            ("0.99999999999999999999999-9", "older"),   # the major decides
            ("\t1. 8-+2", "current"),                   # white space and a sign in front of digits
            (u8("\xb9.9-9"), "older"),                  # superscript one (U+00B9) is no digit: 0.9.9
            (u8("1.\xb2\xb3-9"), "older"),               # nor are superscript two and three: 1.0.9
    ], ids=word)
    def test_version_fields_beyond_an_int(self, version, outcome):
        self.over(plant=(version, "{inst}"), **OUTCOMES[outcome])

    @pytest.mark.parametrize("version, outcome", [
        ("9" * 65536, "older"),                     # 64 KiB of digits: a single piece
        ("1.8-" + "0" * (1 << 20) + "2", "current"),  # 1 MiB: a build of 2 behind a million zeros
        ("1.7-" + "9" * (1 << 20), "older"),
    ], ids=word)
    def test_huge_version_values(self, version, outcome):
        self.import_record({"Version": version, "InstPath": self.m.w("inst")})
        self.over(**OUTCOMES[outcome])

    @pytest.mark.parametrize("args, older, command", (("", None, "_instkvi.com -s -f "),
                                                      (" -NoSplash", "1.7-999", "_instkvi.com -s -f  -a  -nosplash"),
                                                      (" -target c:\\alt", None, "_instkvi.com -s -f  c:\\alt -a ")),
                             ids=("no_arguments", "nosplash", "target_c_alt"))
    def test_file_named_like_the_base_folder(self, args, older, command):
        self.over_a_file(("HalvikTorvanex",), args, plant=(older, "{inst}") if older else None, boot=command)

    @pytest.mark.parametrize("args, command", (
        ("", "_instkvi.com -s -f "), (" -batch c:\\b.txt", "_instkvi.com -s -f  -a  -batch  c:\\b.txt"),
        (" -target c:\\alt", "_instkvi.com -s -f  c:\\alt -a ")), ids=("no_arguments", "batch_c_b_txt", "target_c_alt"))
    def test_file_named_like_the_usual_location(self, args, command):
        self.over_a_file(("HalvikTorvanex", "Install"), args, boot=command)

    def over_a_file(self, parts, args, **row):
        """A file where the usual location should be is not replaced: the bootstrap installer chooses."""
        path = self.m.prefix.drive_c(*parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"not a folder\r\n")
        self.over(args, **row)
        assert os.path.isfile(path), "the file was replaced"

    # Wine shows a folder's Unix owner and mode as its owner and list: a folder of another Unix user is owned by
    # Anonymous (S-1-5-7), one of mode 777 lets Everyone change it, and a symbolic link is a reparse point. None of
    # them is used; the folders an earlier run left are. (base, usual, elsewhere: Unix paths.)
    SPOILED = {"left_by_an_earlier_run": (None, "_instkvi.com -s"),
               "usual_location_of_mode_777": (lambda b, u, e: os.chmod(u, 0o777), "_instkvi.com -s -f "),
               "base_folder_of_mode_777": (lambda b, u, e: os.chmod(b, 0o777), "_instkvi.com -s -f "),
               "another_users_usual_location": (lambda b, u, e: os.chown(u, 65534, -1), "_instkvi.com -s -f "),
               "symbolic_link": (lambda b, u, e: (os.rmdir(u), os.symlink(e, u)), "_instkvi.com -s -f ")}

    @pytest.mark.skipif(harness.ON_WINDOWS, reason="Unix owners and modes; on Windows run_e2e's usual-location rows")
    @pytest.mark.parametrize("spoil, command", SPOILED.values(), ids=SPOILED)
    def test_usual_location_prepared_by_someone_else(self, spoil, command):
        elsewhere = self.m.place(self.m.w("elsewhere"))[0]
        self.over(boot="_instkvi.com -s")  # makes both folders
        if spoil:
            spoil(self.m.prefix.drive_c("HalvikTorvanex"), self.m.prefix.drive_c("HalvikTorvanex", "Install"),
                  elsewhere)
        self.m.clear_records()
        self.over(boot=command)
        assert os.listdir(elsewhere) == [], "nothing was put where the link points"

    # (Owners and modes as above.) Nothing is started from such a folder: the copy counts as older, and the bootstrap
    # is told its folder.
    @pytest.mark.parametrize("spoil", (lambda path: os.chown(path, 65534, -1), lambda path: os.chmod(path, 0o777)),
                             ids=("another_users_folder", "folder_of_mode_777"))
    def test_installed_copy_in_a_folder_others_control_is_not_probed(self, spoil):
        spoil(self.m.prefix.unix(self.m.lay_kit("inst", install="standin", jre=False)))
        self.over(plant=("1.8-002", "{inst}"), boot="_instkvi.com -s -f {inst}")

    # (Owners and modes as above.) Nor from below a folder that others may rename or re-point.
    @pytest.mark.skipif(harness.ON_WINDOWS, reason="Unix modes and links")
    @pytest.mark.parametrize("spoil", (lambda parent: os.chmod(parent, 0o777), lambda parent: (
        os.rename(parent, parent + "-real"), os.symlink(parent + "-real", parent))),
        ids=("parent_of_mode_777", "parent_a_symbolic_link"))
    def test_installed_copy_below_a_folder_others_control_is_not_probed(self, spoil):
        self.at["inst"] = self.m.lay_kit("box\\inst", install="standin", jre=False)
        spoil(self.m.dir("box"))
        self.over(inst=None, plant=("1.8-002", "{inst}"), boot="_instkvi.com -s -f {inst}")

    @pytest.mark.skipif(harness.ON_WINDOWS, reason="Unix modes")
    def test_bootstrap_beside_setup_in_a_folder_others_control_is_not_started(self):
        # The elevated setup judges its own folder before it starts the _instkvi.com in it: of mode 777, nothing is
        # started and the launch box is shown.
        os.chmod(self.m.prefix.unix(self.medium), 0o777)
        self.over(inst=None, boxes=["setup-launch-error"])

    @pytest.mark.parametrize("location, open_folder", (("open", "open"), ("open\\kit", "open"), ("kit", "kit\\JRE")),
                             ids=("open", "open_kit", "kit"))
    def test_example_bootstrap_refuses_a_folder_others_can_change(self, location, open_folder):
        # Given -f into a folder of mode 777, the example bootstrap ends with 1 and copies nothing, also into a folder
        # made inside it. An earlier copy's runtime folder of mode 777 is written into, but nothing is started.
        unix = self.m.place(open_folder)[0]
        os.chmod(unix, 0o777)
        shutil.copy(self.m.programs["example_bootstrap"], self.m.dir("medium", "boot.exe"))
        run = self.run_program(self.medium + "\\boot.exe -s -f " + self.m.w(location) + " -a  -noexecute")
        self.expect(run, exit="0x00000001", starts=[])
        if location.startswith(open_folder):
            assert os.listdir(unix) == [], "nothing was copied"


# --- Install -----------------------------------------------------------------------

class HostileInstallTests(HostileCase, InstallCase):
    letter = "hi"

    def test_long_tail_is_passed_whole(self):
        head = self.install + " -QATEST "
        run = self.run_program(head + "Q" * (LONGEST_DIRECT - len(head)))
        self.launched(run, JAVAW + "  -qatest " + "q" * (LONGEST_DIRECT - len(head)))

    def test_probe_answer_at_the_end_of_a_long_tail(self):
        head = self.install + " -qatest "
        run = self.run_program(head + "q" * (LONGEST_DIRECT - len(head) - 9) + " -VerCtrl", capture_stdout=True)
        self.expect(run, exit=PROBE_ANSWER, stdout=b"", starts=[], record=ABSENT)

    @pytest.mark.parametrize("length", (32618, 32619, LONGEST_COMMAND))
    def test_longest_command_lines_through_the_bootstrap(self, length):
        # setup's " -f" become " -force" on the way: the bootstrap installer then starts
        # "C:\HalvikTorvanex\Install\Install.exe -register" with all of them, a command line of up to 32,766
        # characters. Install's launch command is 148 characters longer (the base command and its blank instead of the
        # folder and "\Install.exe"), so it fits up to an Install command line of 32,618.
        medium, k = self.m.lay_medium(kit=True), 4300
        m = length - len(USUAL_INSTALL) - 7 * k - 9
        options = " -force" * k + " -qatest " + "q" * m
        install, launch = USUAL_INSTALL + options, JAVAW + "  -register" + options
        assert (len(install), len(launch)) == (length, length + 148)
        cmd = medium + "\\setup.exe" + " -f" * k + " -qatest " + "q" * m
        assert len(cmd) <= LONGEST_DIRECT
        fits = len(launch) <= LONGEST_COMMAND
        self.expect(self.run_program(cmd), starts=["_instkvi.com -s -a " + options, install,
                                                   launch if fits else Refused(launch)],
                    recs={"_instkvi.com": [dict(cmdline="_instkvi.com -s -a " + options, install_cmd=install,
                                                install_exit="0x0" if fits else "0xFFFFFFFF")],
                          "javaw.exe": [launch] if fits else []},
                    record={"InstPath": USUAL}, boxes=[] if fits else ["install-launch-error"])

    def test_program_folder_at_the_path_limit_registers(self):
        # Install.exe at 259 characters, the longest path Wine starts a program from; its shortcut target just fits
        # the 260-character buffer with its terminator.
        folder = self.m.lay_kit(folder_of_length(self.m.w("k"), 247))
        self.registered(self.run_program(folder + "\\Install.exe -Register -NoExecute"), folder)
        self.check_link(folder)

    @pytest.mark.parametrize("length, args", ((241, ""), (247, ""), (247, " -SilentLaunch")),
                             ids=("241", "247", "247_silentlaunch"))
    def test_program_folder_near_the_path_limit_launches(self, length, args):
        # The runtime is started as JRE\bin\javaw.exe from the program folder: within 259 characters it must start;
        # beyond, Windows may refuse, and then the launch box and -1 (none with -silentLaunch). Registration comes
        # first in either case.
        folder = self.m.lay_kit(folder_of_length(self.m.w("k%d" % length), length))
        run = self.run_program(folder + "\\Install.exe -Register" + args)
        launch = JAVAW + "  -register" + args.lower()
        started = length + len("\\JRE\\bin\\javaw.exe") <= 259 or self.m.records("javaw.exe")
        self.registered(run, folder, exit="0x00000000" if started else "0xFFFFFFFF",
                        starts=[(launch, 0, 0, folder + "\\JRE\\bin\\javaw.exe") if started else Refused(launch)],
                        recs={"javaw.exe": [dict(cmdline=launch, cwd=folder)] if started else []},
                        boxes=[] if started or args else ["install-launch-error"])
        self.check_link(folder)

    @pytest.mark.parametrize("length", (247, 248, 258))
    def test_current_directory_at_the_path_limit_registers(self, length):
        # Install started by its bare name (found on PATH) has no program directory and registers the current
        # directory. Up to 247 characters the shortcut's target fits; beyond, the shortcut box and no shortcut, never
        # a shortened target.
        cwd = self.m.place(folder_of_length(self.m.w("c"), length))[1]
        run = self.run_program("install.exe -register -noexecute", cwd=cwd,
                               run_env={"PATH": self.kit + ";C:\\windows\\system32;C:\\windows"})
        fits = length + len("\\Install.exe") < 260
        self.registered(run, cwd, starts=[], boxes=[] if fits else ["install-shortcut-error"])
        if fits:
            self.check_link(cwd)
        else:
            assert not os.path.exists(self.m.prefix.unix(self.m.link_path())), "a shortcut was made"

    def test_current_directory_at_the_path_limit_is_the_start_directory(self):
        cwd = self.m.place(folder_of_length(self.m.w("c"), 258))[1]
        self.launched(self.run_program(self.install + " -nosplash", cwd=cwd), JAVAW + "  -nosplash", start_dir=cwd)

    @pytest.mark.parametrize("length", (261, 30000))
    def test_start_directory_longer_than_a_path_is_kept(self, length):
        value = "D:\\" + "s" * (length - 3)
        self.launched(self.run_program(self.install, env={"KVI_START_DIR": value}), JAVAW, start_dir=value)

    def test_bytes_above_127_pass_unchanged(self):
        kit, tail = self.m.lay_kit(self.m.w(u8("KÄTÉ"))), " -input c:\\" + u8("Ñ\\É") + ".txt " + u8("\xa0ÿŠŸ")
        run = self.run_program(kit + "\\Install.exe -Register -NoSplash -Input C:\\" + u8("Ñ\\É") + ".TXT " +
                               u8("\xa0ÿŠŸ"))
        # Only A-Z are lowered: the folder keeps its Ä and É, the options their Ñ, É, Š, Ÿ.
        folder, launch = self.m.w(u8("kÄtÉ")), JAVAW + "  -register -nosplash" + tail
        self.registered(run, folder, starts=[launch], recs={"javaw.exe": [dict(cmdline=launch, cwd=folder)]})
        assert run.record["InstPath"][1] == ("c:\\e2e\\%s\\kÄtÉ\0" % self.name).encode("utf-8")
        self.check_link(folder)

    def test_uninstall_command_with_blanks_starts_install(self):
        # Windows runs the uninstall entry as a command line. Unquoted, it would start C:\...\my.exe; quoted, it
        # starts Install, which passes -remove on.
        kit = self.m.lay_kit(self.m.w("my kit"))
        self.decoy(self.m.w("my.exe"))
        run = self.run_program('"' + kit + '\\Install.exe" -register -noexecute')
        self.registered(run, kit)
        self.launched(self.run_program(run.uninstall["UninstallString"][1][:-1].decode("latin-1")), JAVAW + "  -remove",
                      cwd=kit)
        self.assert_not_started("my.exe")
