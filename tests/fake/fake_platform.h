// A simulated machine behind the platform seam, for the unit tests: registry,
// directories, environment, started processes, standard input and pipes,
// message boxes and shell links. Each test resets it; any single operation can
// be made to fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace fake {

// The operations that can fail, written once: the enumeration and the names
// the calls are logged by both come from this list.
#define KVI_FAKE_OPS(X)                                                                                          \
    X(get_env) X(set_env) X(current_dir) X(set_current_dir) X(create_directory) X(own_program_path)             \
    X(create_key) X(open_key_for_subkeys) X(open_key_for_reading) X(set_string_value)                          \
    /* the steps of read_string that can fail: its size, its data */ X(read_string) X(read_string_data)        \
    X(start_process) X(start_elevated) X(wait_for) X(exit_code) X(terminate)                                   \
    X(close_handle) X(std_input) X(set_std_input) X(std_input_redirected) X(create_pipe)                       \
    X(duplicate_uninheritable) X(read_file) X(write_file) X(programs_folder)                                   \
    /* the steps of make_shortcut that can fail */ X(create_shell_link) X(link_persist) X(save_link)           \
    X(process_user) X(open_held) X(fixed_drive) X(open_for_append)                                             \
    /* the trace file: where an open file lies */ X(final_path)

#define KVI_FAKE_OP_ENUM(name) name,
#define KVI_FAKE_OP_NAME(name) #name,
enum class Op { KVI_FAKE_OPS(KVI_FAKE_OP_ENUM) };
inline constexpr const char* kOpNames[] = {KVI_FAKE_OPS(KVI_FAKE_OP_NAME)};
#undef KVI_FAKE_OP_ENUM
#undef KVI_FAKE_OP_NAME
inline constexpr int kOpCount = static_cast<int>(sizeof kOpNames / sizeof kOpNames[0]);

// A-Z to a-z only, as both programs lower-case; UTF-16 units of a UTF-8 text.
std::string lower(std::string s);
std::size_t utf16_units(const std::string& s);

// Case-insensitive ordering, as Windows compares paths and registry names.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct RegValue {
    std::uint32_t type = 1;  // REG_SZ
    std::string bytes;       // exactly the bytes written
};
using RegKey = std::map<std::string, RegValue, NoCase>;

struct Box {
    std::string text, caption;
    plat::Icon icon;
};

// What a started process was given.
struct Launch {
    std::string application;  // the program's path as given; empty: none given
    std::string command_line;
    bool inherit_handles = false, new_console = false, no_window = false;
    bool elevated = false;  // through the shell's prompt: application, arguments (as command_line), directory (as cwd)
    bool has_console_look = false;
    std::string title;
    plat::ConsoleLook look{};  // its title pointer is not kept: see `title`
    std::string cwd;
    std::optional<std::string> start_dir;  // KVI_START_DIR as the process inherits it
    plat::Handle std_input = plat::Handle::none;
    std::vector<std::string> held;  // the folders and files held open while it was started
};

// How a started program behaves.
struct Program {
    bool start_fails = false;
    std::uint32_t exit_status = 0;
    bool status_unreadable = false;
    int waits_before_end = 0;   // timed-out waits before it has ended
    bool reads_input = true;    // drains the pipe it was given
    bool needs_elevation = false;  // its manifest asks for administrator rights
};

// What standard input is at the start. A fresh machine's is a console.
enum class StdinKind { console, none, invalid, disk_file, pipe, null_device };

struct Link {
    std::string path, description, working_dir, icon_path;
    int icon_index = -1;
};

// One entry of a folder's access list; the trustee as a SID text ("S-1-5-18").
struct Ace {
    std::string trustee;
    bool allows = true;
    std::uint32_t rights = 0;
    bool inherit_only = false;  // for the children alone
};

// Who owns a folder and what its list allows. A folder without one of these
// has what setup gives its folders: owner Administrators, the protected list.
struct FolderSecurity {
    std::string owner = "S-1-5-32-544";
    bool has_list = true;
    std::vector<Ace> entries = protected_list();
    bool reparse_point = false;  // a junction or symbolic link

    static std::vector<Ace> protected_list() {
        return {{"S-1-5-18", true, 0x1F01FF}, {"S-1-5-32-544", true, 0x1F01FF}, {"S-1-5-32-545", true, 0x1200A9}};
    }
};

// A Windows 10 system drive's root: owned by TrustedInstaller; Authenticated
// Users may add a folder to it, and modify what is made in it.
FolderSecurity drive_root();

struct State {
    std::map<std::string, std::string, NoCase> env;
    std::string cwd = "C:\\Start";
    std::set<std::string, NoCase> dirs;           // existing directories
    std::set<std::string, NoCase> files;          // plain files: no directory can stand there
    std::set<std::string, NoCase> locked_dirs;    // exist but cannot be entered
    std::set<std::string, NoCase> read_only;      // creating a directory here fails
    std::vector<std::pair<std::string, plat::Acl>> dir_requests;  // each creation asked for, in order
    std::map<std::string, FolderSecurity, NoCase> security;       // folders unlike setup's own
    std::map<std::string, std::string, NoCase> drives;    // roots ("E:\") of drives not fixed: "network", "removable"
    std::set<std::string, NoCase> volumes_without_lists;  // roots of volumes that keep no lists or are read-only
    std::string user = "S-1-5-21-1-2-3-500";  // the user this process runs as
    std::string own_path = "D:\\Kit\\setup.exe";  // the running program's file
    std::string command_line;
    std::map<std::string, RegKey, NoCase> registry;  // "HKLM\..." -> values
    // A standard user (or an administrator's unelevated token): opens of
    // HKEY_LOCAL_MACHINE keys for writing fail, and so does the start of a
    // program that needs elevation (error 740); a folder cannot be given the
    // owner Administrators.
    bool elevated = true;
    bool prompt_accepted = true;  // what the user answers the elevation prompt
    // The size query gives an estimate in UTF-16 terms, two bytes a letter,
    // as the ANSI call can: too small for UTF-8 text of three bytes a letter.
    // The read that follows still gets the whole value.
    bool size_estimate_utf16 = false;

    std::vector<std::string> calls;  // every operation, in order: its name and what it was given
    std::vector<Box> boxes;
    std::vector<Launch> launches;
    std::function<Program(const std::string& command_line)> program;  // default: ends with 0
    std::string stdout_text;

    // Standard input and the relay pipe.
    StdinKind stdin_kind = StdinKind::console;
    std::string stdin_data;  // what a file holds or a pipe's writer sends; the null device gives nothing
    std::size_t stdin_pos = 0;
    std::size_t pipe_chunk = 1000;          // a read of a pipe gets at most this many bytes
    std::vector<std::uint32_t> read_sizes;  // bytes asked for by each read of standard input
    std::string piped;                      // bytes the application got through the pipe
    bool relay_blocked = false;             // a write would have blocked for ever
    std::size_t pipe_capacity = 65536;

    std::string programs_folder = "C:\\Users\\Ann\\Start Menu\\Programs";
    std::map<std::string, Link, NoCase> saved_links;  // by file
    int com_inits = 0;  // shortcuts begun under COM
    std::uint32_t slept_ms = 0;

    std::map<std::string, std::string, NoCase> file_data;  // what each file opened for appending holds
    std::set<std::string, NoCase> links;  // names where a link or junction stands
    // --- Trace file: where an open file lies ---
    // By the name a file was opened as (spelt as the system spells it), the
    // path its handle reads back as, where a junction on the way took the
    // open elsewhere. A file not named here reads back as that name.
    std::map<std::string, std::string, NoCase> final_paths;
    // --- end: trace file ---
    plat::UtcTime clock = {2026, 12, 3, 9, 4, 5, 6, 7};
    std::uint32_t pid = 4242;
    std::uint32_t last_error = 0;  // a failed start leaves 2 (file not found)
};

// The machine; reset() puts it back to a fresh state.
State& state();
void reset();

// Makes the nth call (from 1) of op fail, or every call. Several rules may stand.
void fail(Op op, int nth = 1);
void fail_always(Op op);
// How often op has been called since the last reset, failed calls included:
// the call indexes that fail(op, nth) can reach.
int call_count(Op op);

// Open handles and keys the code under test has not closed (the process's
// own standard handles do not count), and each close of one that was not
// open: closed twice, or never handed out. reset() stops the test run on a
// close of that kind that no call of leaks() has reported.
std::vector<std::string> leaks();

// Writes a value with exact bytes and a type, creating the key.
void put_value(const std::string& key, const std::string& name, const std::string& bytes, std::uint32_t type = 1);
// A value's bytes, or nothing.
std::optional<std::string> value(const std::string& key, const std::string& name);

// Texts of the boxes shown, as "caption: text"; their captions alone.
std::vector<std::string> box_list();
std::vector<std::string> captions();
// The command lines of the processes started, in order.
std::vector<std::string> commands();
// Whether a call was logged exactly so; the logged calls that begin with `prefix`.
bool called(const std::string& call);
std::vector<std::string> calls_starting(const std::string& prefix);

// Set-ups the tests share.
// An installed copy as Install's self-registration leaves it: the record's
// Version and InstPath and, for a path, the folder with its Install.exe; with
// `answer`, the programs as probe_answers() makes them.
void plant_copy(const std::string& version, const std::string& path, std::optional<std::uint32_t> answer = {},
                bool hand_off_fails = false);
// Every started program ends with 0 but the probe (-verctrl), which gives
// `answer`; with `hand_off_fails` a hand-off (-register) cannot start.
void probe_answers(std::uint32_t answer, bool hand_off_fails = false);
// Every started program behaves as `program`.
void each_program_is(Program program);
// The bootstrap's manifest asks for administrator rights.
void bootstrap_needs_elevation();
// Both folders of the usual location as `security` says; `there`: they stand
// before the run, else they read back so once setup has made them.
void usual_location(const FolderSecurity& security, bool there = true);
// The program runs in `dir`, which exists.
void enter(const std::string& dir);
// Standard input redirected from a file that holds `data`.
void answer_file(std::string data);

}  // namespace fake
