// The fault matrix. For every scenario the program first runs undisturbed,
// which counts how often it calls each platform operation. Then one case per
// operation and call index runs it again with exactly that call failing, and
// checks:
//   - the outcome: the undisturbed one, unless the table below names the
//     documented reaction to that failure (a box or silence, the exit status,
//     what is started, what is written, the shortcut, the relayed bytes);
//   - that the failure was reached, that nothing leaked (handles, keys, shell
//     links, COM), and that every box shown is one the program owns.
// A failure the table does not list must leave the outcome as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <utility>

#include "fault_matrix.h"

using fake::Op;

namespace fault {
namespace {

constexpr std::pair<Op, const char*> kOps[] = {
    {Op::get_env, "get_env"},
    {Op::set_env, "set_env"},
    {Op::get_current_dir, "get_current_dir"},
    {Op::set_current_dir, "set_current_dir"},
    {Op::create_directory, "create_directory"},
    {Op::own_program_path, "own_program_path"},
    {Op::create_key, "create_key"},
    {Op::open_key_for_subkeys, "open_key_for_subkeys"},
    {Op::open_key_for_reading, "open_key_for_reading"},
    {Op::set_string_value, "set_string_value"},
    {Op::query_value_size, "query_value_size"},
    {Op::query_value, "query_value"},
    {Op::start_process, "start_process"},
    {Op::start_elevated, "start_elevated"},
    {Op::wait_for, "wait_for"},
    {Op::exit_code, "exit_code"},
    {Op::terminate, "terminate"},
    {Op::close_handle, "close_handle"},
    {Op::std_input, "std_input"},
    {Op::set_std_input, "set_std_input"},
    {Op::std_input_redirected, "std_input_redirected"},
    {Op::create_pipe, "create_pipe"},
    {Op::duplicate_uninheritable, "duplicate_uninheritable"},
    {Op::read_file, "read_file"},
    {Op::write_file, "write_file"},
    {Op::programs_folder, "programs_folder"},
    {Op::create_shell_link, "create_shell_link"},
    {Op::link_persist, "link_persist"},
    {Op::save_link, "save_link"},
    {Op::read_folder, "read_folder"},
    {Op::process_user, "process_user"},
    {Op::open_for_append, "open_for_append"},
};
static_assert(std::size(kOps) == static_cast<std::size_t>(Op::open_for_append) + 1, "every operation of the fake");

// How a failure changes a scenario's outcome; what is not set stays as in the
// undisturbed run.
struct Change {
    std::optional<int> status;
    std::optional<std::vector<std::string>> launches;
    std::optional<std::vector<std::string>> boxes;
    std::optional<std::set<std::string>> written;
    std::optional<bool> link;
    std::optional<std::size_t> relayed;

    Change& exits(int s) {
        status = s;
        return *this;
    }
    Change& starts(std::vector<std::string> l) {
        launches = std::move(l);
        return *this;
    }
    Change& starts_nothing() { return starts({}); }
    Change& box(std::string caption) { return shows({std::move(caption)}); }
    Change& shows(std::vector<std::string> captions) {
        boxes = std::move(captions);
        return *this;
    }
    Change& writes(std::set<std::string> names) {
        written = std::move(names);
        return *this;
    }
    Change& writes_nothing() { return writes({}); }
    Change& no_link() {
        link = false;
        return *this;
    }
    Change& relays(std::size_t bytes) {
        relayed = bytes;
        return *this;
    }

    Reaction applied_to(Reaction r) const {
        if (status) r.status = *status;
        if (launches) r.launches = *launches;
        if (boxes) r.boxes = *boxes;
        if (written) r.written = *written;
        if (link) r.link = *link;
        if (relayed) r.relayed = *relayed;
        return r;
    }
};

// A further documented effect, checked on the machine after the run.
using Check = void (*)();

struct Row {
    const char* scenario;
    Op op;
    int nth;
    Change change;
    Check also = nullptr;
};

using expected::kJava;
using expected::kRecord;
const std::string kBatch = kJava + "  -batch c:\\answers.txt";
const std::set<std::string> kRecordValues = {"InstPath", "UninstCmd", "Version"};
const std::set<std::string> kEntryValues = {"DisplayName", "UninstallString"};
const std::set<std::string> kAllFive = {"DisplayName", "InstPath", "UninstCmd", "UninstallString", "Version"};
constexpr std::size_t kChunk = 4096;

Change c() { return Change(); }

void records_start_directory() {
    EXPECT_EQ(fake::value(kRecord, "OriginalSource"), std::string("C:\\Start", 9))
        << "the program directory could not be entered: the start directory is recorded";
}
void application_reads_own_input() {
    ASSERT_EQ(fake::state().launches.size(), 1u);
    const fake::Launch& app = fake::state().launches[0];
    EXPECT_TRUE(app.inherit_handles);
    EXPECT_EQ(app.std_input, plat::std_input()) << "without the pipe the application reads Install's own input";
}
void batch_console_instead_of_relay() {
    ASSERT_EQ(fake::state().launches.size(), 1u);
    EXPECT_TRUE(fake::state().launches[0].new_console);
    EXPECT_FALSE(fake::state().launches[0].inherit_handles);
}

// The documented reactions. The call indexes follow each program's order of
// steps; the comment in front of each group names the calls.
const Row kReactions[] = {
    // setup, every path. get_current_dir: 1 the start directory, 2 the
    // directory recorded as OriginalSource, 3 the saved directory of the
    // reachability test of the usual location. set_current_dir: 1 into the
    // program directory, 2 into the usual location, 3 back. create_directory:
    // 1 C:\HalvikTorvanex, 2 C:\HalvikTorvanex\Install.
    // The record cannot be opened or written: one "Registration Error" box, and
    // with no record to read the flow goes on as on a machine without a copy.
    {"setup_no_copy", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_no_copy", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_no_copy", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_no_copy", Op::set_current_dir, 1, c(), records_start_directory},
    // The usual location cannot be prepared: the bootstrap names an empty location.
    {"setup_no_copy", Op::create_directory, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_no_copy", Op::create_directory, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_no_copy", Op::set_current_dir, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_no_copy", Op::get_current_dir, 3, c().starts({"_instkvi.com -s -f "})},
    // Each folder made now is read back (read_folder 1 the base, 2 the usual
    // location): one that cannot be read is not trusted.
    {"setup_no_copy", Op::read_folder, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_no_copy", Op::read_folder, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_no_copy", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // A current copy: the check reads Version (query 1) and InstPath (query 2);
    // start_process 1 is the probe, 2 the hand-off. A failed probe or hand-off
    // makes the copy older: the bootstrap reinstalls into its InstPath.
    {"setup_current_copy", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    // The record cannot be opened for writing: read for the check all the same.
    {"setup_current_copy", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_current_copy", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_current_copy", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_current_copy", Op::query_value_size, 1, c().starts({"_instkvi.com -s -a  -nosplash"})},  // no Version: none
    {"setup_current_copy", Op::query_value_size, 2, c().starts({"_instkvi.com -s -a  -nosplash"})},  // no path: no probe
    {"setup_current_copy", Op::query_value, 1,  // Version unreadable: compared as empty, older
     c().starts({"_instkvi.com -s -f C:\\Kit -a  -nosplash"})},
    {"setup_current_copy", Op::query_value, 2, c().starts({"_instkvi.com -s -a  -nosplash"})},
    {"setup_current_copy", Op::start_process, 1, c().starts({"_instkvi.com -s -f C:\\Kit -a  -nosplash"})},
    {"setup_current_copy", Op::start_process, 2,
     c().starts({"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f C:\\Kit -a  -nosplash"})},
    {"setup_current_copy", Op::exit_code, 1,
     c().starts({"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f C:\\Kit -a  -nosplash"})},
    // InstPath (read_folder 1) and its Install.exe (2) cannot be read: no probe.
    {"setup_current_copy", Op::read_folder, 1, c().starts({"_instkvi.com -s -f C:\\Kit -a  -nosplash"})},
    {"setup_current_copy", Op::read_folder, 2, c().starts({"_instkvi.com -s -f C:\\Kit -a  -nosplash"})},

    // An older copy in C:\Old.
    {"setup_older_copy", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_older_copy", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_older_copy", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_older_copy", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_older_copy", Op::query_value_size, 1, c().starts({"_instkvi.com -s"})},
    {"setup_older_copy", Op::query_value_size, 2, c().starts({"_instkvi.com -s"})},  // empty InstPath: row 3
    {"setup_older_copy", Op::query_value, 2, c().starts({"_instkvi.com -s"})},
    // The drive cannot take the usual location: target flag, outcome none.
    {"setup_older_copy", Op::create_directory, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::create_directory, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::set_current_dir, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::get_current_dir, 3, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::read_folder, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::read_folder, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_older_copy", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // A batch installation: create_directory 3 and its reachability test
    // change nothing.
    {"setup_batch", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_batch", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_batch", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_batch", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_batch", Op::create_directory, 1, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::create_directory, 2, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::set_current_dir, 2, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::get_current_dir, 3, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::read_folder, 1, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::read_folder, 2, c().starts({"_instkvi.com -s -f  -a  -batch  c:\\answers.txt"})},
    {"setup_batch", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // The usual location left by an earlier run, owned by this user: it is
    // read (read_folder 1 the base folder, 2 the usual location; the user is
    // asked for each), and what cannot be read is not trusted.
    {"setup_second_run", Op::read_folder, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::read_folder, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::process_user, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::process_user, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_second_run", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_second_run", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_second_run", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_second_run", Op::create_directory, 1, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::create_directory, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::set_current_dir, 2, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::get_current_dir, 3, c().starts({"_instkvi.com -s -f "})},
    {"setup_second_run", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // -force: the record is written but not read.
    {"setup_force", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_force", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_force", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_force", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_force", Op::create_directory, 1, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::create_directory, 2, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::set_current_dir, 2, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::read_folder, 1, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::read_folder, 2, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::get_current_dir, 3, c().starts({"_instkvi.com -s -f  -a  -force"})},
    {"setup_force", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // -target: the location is named already, and the reachability test is
    // not made, so only the record and the start can fail visibly.
    {"setup_target", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing()},
    {"setup_target", Op::create_key, 1, c().box("Registration Error").writes_nothing()},
    {"setup_target", Op::set_string_value, 1, c().box("Registration Error").writes_nothing()},
    {"setup_target", Op::set_current_dir, 1, c(), records_start_directory},
    {"setup_target", Op::start_process, 1, c().starts_nothing().box("Application Launch Error")},

    // A standard user: the record opens for reading only (create_key fails
    // every time, with its box), which still finds the current copy: Version
    // is query 1, InstPath query 2; start_process 1 the probe, 2 the hand-off.
    // Without the hand-off the bootstrap names no location: a standard user
    // cannot give the usual location its owner.
    {"setup_standard_user", Op::open_key_for_reading, 1, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::query_value_size, 1, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::query_value_size, 2, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::query_value, 1, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::query_value, 2, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::read_folder, 1, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},  // InstPath
    {"setup_standard_user", Op::read_folder, 2, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::start_process, 1, c().starts({"_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::start_process, 2,
     c().starts({"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f  -a  -nosplash"})},
    {"setup_standard_user", Op::exit_code, 1,
     c().starts({"C:\\Kit\\Install.exe -verctrl", "_instkvi.com -s -f  -a  -nosplash"})},
    // A standard user's bootstrap that needs elevation: start_process 1 fails
    // with 740, and the shell's prompt starts it in setup's directory
    // (get_current_dir 3; 1 is the start directory, 2 the record's). Any other
    // failure of either start, and a directory that cannot be read, show the
    // box.
    {"setup_elevated_bootstrap", Op::start_process, 1,
     c().starts_nothing().shows({"Registration Error", "Application Launch Error"})},
    {"setup_elevated_bootstrap", Op::start_elevated, 1,
     c().starts_nothing().shows({"Registration Error", "Application Launch Error"})},
    {"setup_elevated_bootstrap", Op::get_current_dir, 3,
     c().starts_nothing().shows({"Registration Error", "Application Launch Error"})},
    {"setup_elevated_bootstrap", Op::set_current_dir, 1,
     c().starts({"runas D:\\Kit\\_instkvi.com -s -f  in C:\\Start"})},

    // Install, each launch mode: the program directory cannot be entered
    // (status 0, nothing started), or the application cannot be started (-1):
    // also when the directory that names the runtime (get_current_dir 2, the
    // first being the start directory) cannot be read.
    {"install_windowed", Op::get_current_dir, 2, c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_nojw", Op::get_current_dir, 2, c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_batch_console", Op::get_current_dir, 2,
     c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_batch_relay", Op::get_current_dir, 2,
     c().exits(-1).starts_nothing().box("Application Launch Error").relays(0)},
    {"install_windowed", Op::set_current_dir, 1, c().box("Set Directory Error").starts_nothing()},
    {"install_windowed", Op::start_process, 1, c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_nojw", Op::set_current_dir, 1, c().box("Set Directory Error").starts_nothing()},
    {"install_nojw", Op::start_process, 1, c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_batch_console", Op::set_current_dir, 1, c().box("Set Directory Error").starts_nothing()},
    {"install_batch_console", Op::start_process, 1, c().exits(-1).starts_nothing().box("Application Launch Error")},

    // The relay of an answer file (10000 bytes: reads of 4096, 4096, 1808).
    // close_handle: 1 the inheritable write end before the start, 2 Install's
    // read end, 3 the duplicated write end, 4 and 5 the application's handles.
    {"install_batch_relay", Op::set_current_dir, 1, c().box("Set Directory Error").starts_nothing().relays(0)},
    {"install_batch_relay", Op::start_process, 1,
     c().exits(-1).starts_nothing().box("Application Launch Error").relays(0)},
    {"install_batch_relay", Op::std_input_redirected, 1, c().relays(0), batch_console_instead_of_relay},
    {"install_batch_relay", Op::std_input, 1, c().box("INVALID_HANDLE_VALUE Error").relays(0)},
    {"install_batch_relay", Op::create_pipe, 1, c().box("CreatePipe Error").relays(0), application_reads_own_input},
    {"install_batch_relay", Op::set_std_input, 1, c().box("SetStdHandle Error").relays(0), application_reads_own_input},
    {"install_batch_relay", Op::duplicate_uninheritable, 1, c().box("DuplicateHandle Error").relays(0),
     application_reads_own_input},
    {"install_batch_relay", Op::set_std_input, 2, c().box("SetStdHandle Error")},  // restoring: the relay goes on
    {"install_batch_relay", Op::read_file, 1, c().relays(0)},
    {"install_batch_relay", Op::read_file, 2, c().relays(kChunk)},
    {"install_batch_relay", Op::read_file, 3, c().relays(2 * kChunk)},
    {"install_batch_relay", Op::write_file, 1, c().relays(0)},
    {"install_batch_relay", Op::write_file, 2, c().relays(kChunk)},
    {"install_batch_relay", Op::write_file, 3, c().relays(2 * kChunk)},
    {"install_batch_relay", Op::close_handle, 3, c().box("CloseHandle Error")},
    {"install_batch_relay", Op::exit_code, 1, c().box("Application Error")},  // terminated; status 0

    // Self-registration. get_current_dir: 1 the start directory, 2 the
    // directory registered, 3 the shortcut's. create_key: 1 the record, 2 the
    // uninstall entry. set_string_value: UninstCmd, InstPath, Version,
    // DisplayName, UninstallString.
    {"install_register", Op::set_current_dir, 1, c().box("Set Directory Error").starts_nothing().writes_nothing().no_link()},
    {"install_register", Op::get_current_dir, 2,  // nothing to register: ends like a failed entry
     c().box("Registration Error").starts_nothing().writes_nothing().no_link()},
    {"install_register", Op::create_key, 1, c().writes(kEntryValues)},  // record failures are silent
    {"install_register", Op::set_string_value, 1, c().writes({"DisplayName", "InstPath", "UninstallString", "Version"})},
    {"install_register", Op::set_string_value, 2, c().writes({"DisplayName", "UninstCmd", "UninstallString", "Version"})},
    {"install_register", Op::set_string_value, 3, c().writes({"DisplayName", "InstPath", "UninstCmd", "UninstallString"})},
    {"install_register", Op::open_key_for_subkeys, 1, c().writes(kRecordValues)},  // no entry, still the shortcut
    {"install_register", Op::create_key, 2, c().box("Registration Error").starts_nothing().writes(kRecordValues).no_link()},
    {"install_register", Op::set_string_value, 4, c().starts_nothing().writes(kRecordValues).no_link()},
    {"install_register", Op::set_string_value, 5,
     c().starts_nothing().writes({"DisplayName", "InstPath", "UninstCmd", "Version"}).no_link()},
    {"install_register", Op::get_current_dir, 3, c().box("Start Menu Creation Error").no_link()},
    {"install_register", Op::programs_folder, 1, c().no_link()},
    {"install_register", Op::create_shell_link, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register", Op::link_persist, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register", Op::create_directory, 1, c().box("Start Menu Creation Error").no_link()},  // the save decides
    {"install_register", Op::save_link, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register", Op::start_process, 1, c().exits(-1).starts_nothing().box("Application Launch Error")},
    {"install_register", Op::get_current_dir, 4, c().exits(-1).starts_nothing().box("Application Launch Error")},

    // -register -noexecute: the same, with nothing ever started.
    {"install_register_noexecute", Op::set_current_dir, 1, c().box("Set Directory Error").writes_nothing().no_link()},
    {"install_register_noexecute", Op::get_current_dir, 2, c().box("Registration Error").writes_nothing().no_link()},
    {"install_register_noexecute", Op::create_key, 1, c().writes(kEntryValues)},
    {"install_register_noexecute", Op::set_string_value, 1,
     c().writes({"DisplayName", "InstPath", "UninstallString", "Version"})},
    {"install_register_noexecute", Op::set_string_value, 2,
     c().writes({"DisplayName", "UninstCmd", "UninstallString", "Version"})},
    {"install_register_noexecute", Op::set_string_value, 3,
     c().writes({"DisplayName", "InstPath", "UninstCmd", "UninstallString"})},
    {"install_register_noexecute", Op::open_key_for_subkeys, 1, c().writes(kRecordValues)},
    {"install_register_noexecute", Op::create_key, 2, c().box("Registration Error").writes(kRecordValues).no_link()},
    {"install_register_noexecute", Op::set_string_value, 4, c().writes(kRecordValues).no_link()},
    {"install_register_noexecute", Op::set_string_value, 5,
     c().writes({"DisplayName", "InstPath", "UninstCmd", "Version"}).no_link()},
    {"install_register_noexecute", Op::get_current_dir, 3, c().box("Start Menu Creation Error").no_link()},
    {"install_register_noexecute", Op::programs_folder, 1, c().no_link()},
    {"install_register_noexecute", Op::create_shell_link, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register_noexecute", Op::link_persist, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register_noexecute", Op::create_directory, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_register_noexecute", Op::save_link, 1, c().box("Start Menu Creation Error").no_link()},

    // setup's hand-off (-silentLaunch -register): the directory, registration
    // and launch boxes are silenced; the shortcut's box is not.
    {"install_handed_off", Op::set_current_dir, 1, c().starts_nothing().writes_nothing().no_link()},
    {"install_handed_off", Op::get_current_dir, 2, c().starts_nothing().writes_nothing().no_link()},
    {"install_handed_off", Op::create_key, 1, c().writes(kEntryValues)},
    {"install_handed_off", Op::set_string_value, 1, c().writes({"DisplayName", "InstPath", "UninstallString", "Version"})},
    {"install_handed_off", Op::set_string_value, 2, c().writes({"DisplayName", "UninstCmd", "UninstallString", "Version"})},
    {"install_handed_off", Op::set_string_value, 3, c().writes({"DisplayName", "InstPath", "UninstCmd", "UninstallString"})},
    {"install_handed_off", Op::open_key_for_subkeys, 1, c().writes(kRecordValues)},
    {"install_handed_off", Op::create_key, 2, c().starts_nothing().writes(kRecordValues).no_link()},
    {"install_handed_off", Op::set_string_value, 4, c().starts_nothing().writes(kRecordValues).no_link()},
    {"install_handed_off", Op::set_string_value, 5,
     c().starts_nothing().writes({"DisplayName", "InstPath", "UninstCmd", "Version"}).no_link()},
    {"install_handed_off", Op::get_current_dir, 3, c().box("Start Menu Creation Error").no_link()},
    {"install_handed_off", Op::programs_folder, 1, c().no_link()},
    {"install_handed_off", Op::create_shell_link, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_handed_off", Op::link_persist, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_handed_off", Op::create_directory, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_handed_off", Op::save_link, 1, c().box("Start Menu Creation Error").no_link()},
    {"install_handed_off", Op::start_process, 1, c().exits(-1).starts_nothing()},
    {"install_handed_off", Op::get_current_dir, 4, c().exits(-1).starts_nothing()},
};

// What holds in a scenario whatever fails.
struct ScenarioCheck {
    const char* scenario;
    Check check;
};
void probe_answer_touches_nothing() {
    EXPECT_EQ(fake::state().cwd, "C:\\Start") << "the probe answer changes no directory";
    EXPECT_EQ(fake::call_count(Op::set_current_dir), 0);
    EXPECT_EQ(fake::call_count(Op::create_key), 0);
}
const ScenarioCheck kAlways[] = {
    {"install_verctrl", probe_answer_touches_nothing},
};

const char* op_name(Op op) {
    for (const auto& [o, name] : kOps)
        if (o == op) return name;
    return "?";
}

const Row* reaction_for(const Scenario& s, Op op, int nth) {
    for (const Row& row : kReactions)
        if (s.name == std::string(row.scenario) && row.op == op && row.nth == nth) return &row;
    return nullptr;
}

std::ptrdiff_t lines_of(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// How many lines each traced scenario writes when nothing fails.
std::map<std::string, std::ptrdiff_t>& traced_lines() {
    static std::map<std::string, std::ptrdiff_t> lines;
    return lines;
}

// How often each scenario calls each operation when nothing fails.
std::map<std::pair<std::string, Op>, int>& call_counts() {
    static std::map<std::pair<std::string, Op>, int> counts;
    return counts;
}

// The undisturbed run: the documented outcome, and nothing leaked.
class Undisturbed : public ::testing::Test {
public:
    explicit Undisturbed(const Scenario& s) : s_(s) {}
    void TestBody() override {
        fake::reset();
        prepare(s_);
        EXPECT_EQ(run_prepared(s_), s_.expected);
        EXPECT_EQ(fake::leaks(), std::vector<std::string>{});
        for (const ScenarioCheck& a : kAlways)
            if (s_.name == std::string(a.scenario)) a.check();
        if (s_.traced) {
            EXPECT_GE(fake::state().file_data[kTraceFile].size(), 200u) << "the traced run left its lines";
        }
    }

private:
    const Scenario& s_;
};

// One operation failing at one call index.
class OneFailure : public ::testing::Test {
public:
    OneFailure(const Scenario& s, Op op, int nth) : s_(s), op_(op), nth_(nth) {}
    void TestBody() override {
        const Row* row = reaction_for(s_, op_, nth_);
        fake::reset();
        prepare(s_);
        fake::fail(op_, nth_);
        Reaction got = run_prepared(s_);

        EXPECT_GE(fake::call_count(op_), nth_) << "the failure was not reached";
        Reaction want = row ? row->change.applied_to(s_.expected) : s_.expected;
        EXPECT_EQ(got, want) << (row ? "the documented reaction" : "a failure the table does not list changes nothing");
        if (s_.program == Program::setup) {
            EXPECT_EQ(got.status, 0) << "setup ends with 0 on every path";
        }
        EXPECT_EQ(fake::leaks(), std::vector<std::string>{});
        for (const std::string& caption : got.boxes)
            EXPECT_TRUE(captions_of(s_.program).count(caption)) << "a box the program does not own: " << caption;
        if (row && row->also) row->also();
        for (const ScenarioCheck& a : kAlways)
            if (s_.name == std::string(a.scenario)) a.check();
        if (s_.traced) check_trace();
    }

private:
    // A failed write loses its line; without the variable or the file there
    // is no trace; an unreadable directory is said so.
    void check_trace() {
        const std::string& text = fake::state().file_data[kTraceFile];
        if (op_ == Op::get_current_dir) {
            EXPECT_NE(text.find(" in unreadable\r\n"), std::string::npos) << text;
        } else {
            EXPECT_EQ(lines_of(text), op_ == Op::write_file ? traced_lines()[s_.name] - 1 : 0);
        }
    }

    const Scenario& s_;
    Op op_;
    int nth_;
};

// The trace's own calls in a traced scenario: the read of the variable and of
// the directory come first; every open and every write is the trace's.
bool trace_call(Op op, int nth) {
    return op == Op::open_for_append || op == Op::write_file || ((op == Op::get_env || op == Op::get_current_dir) && nth == 1);
}

// A row that names a call the scenario never makes is stale: the program's
// order of calls has changed and the table must follow.
TEST(FaultMatrix, EveryRowNamesACallTheScenarioMakes) {
    for (const Row& row : kReactions) {
        auto count = call_counts().find({row.scenario, row.op});
        int calls = count == call_counts().end() ? 0 : count->second;
        EXPECT_LE(row.nth, calls) << row.scenario << " " << op_name(row.op) << " " << row.nth;
        EXPECT_GE(row.nth, 1);
    }
}

// Runs each scenario once undisturbed to count its calls, then registers one
// test per operation and call index: <scenario>.<operation>_<index>.
void register_matrix() {
    for (const Scenario& s : scenarios()) {
        fake::reset();
        prepare(s);
        (void)run_prepared(s);
        traced_lines()[s.name] = lines_of(fake::state().file_data[kTraceFile]);
        std::vector<std::pair<Op, int>> counted;
        for (const auto& [op, name] : kOps) {
            int n = fake::call_count(op);
            call_counts()[{s.name, op}] = n;
            counted.emplace_back(op, n);
        }
        ::testing::RegisterTest(s.name, "undisturbed", nullptr, nullptr, __FILE__, __LINE__,
                                [&s]() -> ::testing::Test* { return new Undisturbed(s); });
        for (const auto& [op, n] : counted)
            for (int nth = 1; nth <= n; ++nth) {
                if (s.traced && !trace_call(op, nth)) continue;  // the untraced twin covers the rest
                std::string name = std::string(op_name(op)) + "_" + std::to_string(nth);
                ::testing::RegisterTest(s.name, name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                        [&s, op = op, nth]() -> ::testing::Test* { return new OneFailure(s, op, nth); });
            }
    }
}

}  // namespace
}  // namespace fault

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    fault::register_matrix();
    return RUN_ALL_TESTS();
}
