// The few operating-system services setup and Install use, in our own words.
// One Win32 implementation (platform_win32.cpp) goes into the programs; the
// unit tests link a fake (tests/fake) instead. No <windows.h> here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text.h"

namespace plat {

// A kernel handle (process, thread, file, pipe end). `none` is the null handle,
// `invalid` the platform's INVALID_HANDLE_VALUE.
enum class Handle : std::uintptr_t { none = 0, invalid = ~std::uintptr_t(0) };

// An open registry key; `none` when not open.
enum class Key : std::uintptr_t { none = 0 };

Key local_machine();

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// --- Start-up -------------------------------------------------------------

// Keeps DLLs from the program's folder and the current directory out of the
// DLL search: only the system folder is searched from here on.
void restrict_dll_search();

// Returns the process's command line as the platform keeps it.
const char* process_command_line();

// --- Environment and directories --------------------------------------------

// Reads an environment variable into buf (cap bytes). Returns its length, the
// needed size when buf is too small, or 0 when it is unset or empty.
std::uint32_t get_env(const char* name, char* buf, std::uint32_t cap);

// Sets an environment variable for this process and the ones it starts.
bool set_env(const char* name, const char* value);

// The texts below are read whole, however long: false when the system cannot
// give them or the heap is exhausted.
bool current_dir(kvi::Text& out);

// Makes path the current directory. Fails when it does not exist or cannot be entered.
bool set_current_dir(const char* path);

enum class MakeDir { created, already_exists, failed };
// How a new directory's access list is made: inherited from its parent, or
// the installed folder's own protected list (kInstalledFolderSddl).
enum class Acl { inherited, installed_folder };
// Creates one directory (no parents). With Acl::installed_folder the list is
// given to the creation itself; when it cannot be built, nothing is created
// and the result is `failed`.
MakeDir create_directory(const char* path, Acl acl);

// A security identifier in the platform's binary form: revision, count of
// sub-authorities, six bytes of authority (big-endian), then the
// sub-authorities (32 bits each, little-endian). At most 15 sub-authorities.
// These structures have no initialisers of their own: a caller zeroes them
// with `{}`.
struct Sid {
    std::uint8_t bytes[68];
};

// One entry of a folder's access list: whom it names, whether it allows or
// denies, and the access mask it carries for the folder itself: 0 for an
// entry that only its children inherit.
struct AccessEntry {
    Sid trustee;
    bool allows;
    std::uint32_t rights;
};

// What a folder is and who controls it, read from the folder itself.
struct FolderFacts {
    static constexpr std::uint32_t kMaxEntries = 16;
    bool directory;
    bool reparse_point;  // a junction, symbolic link or mount point
    // Its volume keeps no access lists (FAT, exFAT, a CD's file systems) or
    // is read-only; the owner and list are then not read.
    bool volume_without_lists;
    Sid owner;
    bool has_list;           // false: no access list at all, everyone may do anything
    std::uint32_t entry_count;  // all entries of the list; only the first kMaxEntries are in `entries`
    AccessEntry entries[kMaxEntries];
};

// --- Held folders and files: what an elevated start relies on ---------------

// Opens path (a folder, or a file when `folder` is false) without following
// a reparse point standing there, and reads its attributes, owner and access
// list through the handle, which is kept open until a start that relies on
// them has returned: while it is open a folder cannot be renamed or deleted
// (it is shared for reading and writing only), nor a file written, renamed
// or deleted (shared for reading only).
// Handle::none when nothing stands there (it, or a folder above it, is
// missing); Handle::invalid when it cannot be opened or read.
Handle open_held(const char* path, bool folder, FolderFacts& out);

// True when root ("X:\") is a local fixed drive; false for a network,
// removable, optical or RAM drive and for one that does not exist.
bool fixed_drive(const char* root);

// Copies a SID of at most `room` bytes into our form; false when it is not
// one or does not fit.
bool copy_sid(const void* from, std::size_t room, Sid& to);

// Reads the entries of an access list in the platform's binary form (ACL:
// its header, then the entries) into out.entries and out.entry_count. False
// when an entry runs past the list or is too short for the SID it must hold.
bool read_access_list(const std::uint8_t* list, FolderFacts& out);

// Reads the user this process runs as. False when it cannot be read.
bool process_user(Sid& out);

// True when this process runs with an administrator's full rights (an
// elevated token); false for a standard user, an administrator's filtered
// token, or when the token cannot be read.
bool process_elevated();

bool own_program_path(kvi::Text& out);

// --- Registry ----------------------------------------------------------------

// Every key is opened in the 32-bit view of the registry, whichever build
// asks, so that both builds and a 64-bit bootstrap see the same keys.

// Creates or opens parent\sub with full access (non-volatile, empty class).
// Returns Key::none on failure (a standard user's under HKEY_LOCAL_MACHINE).
Key create_key(Key parent, const char* sub);

// Opens an existing parent\sub with the right to create subkeys only; Key::none on failure.
Key open_key_for_subkeys(Key parent, const char* sub);

// Opens an existing parent\sub for reading only, as any user may; Key::none on failure.
Key open_key_for_reading(Key parent, const char* sub);

// Writes a REG_SZ value of exactly `bytes` bytes taken from data.
bool set_string_value(Key key, const char* name, const char* data, std::uint32_t bytes);

// Reads a value whole, however long, as a text up to its first zero byte, the
// type not examined. Returns its size as the registry gives it (for a text maybe
// an estimate below the real one): 0, nothing read, when it is missing, empty
// or cannot be asked; out is absent when only the read fails.
std::uint32_t read_string(Key key, const char* name, kvi::Text& out);

// False when the platform could not close it.
bool close_key(Key key);

// --- Processes -----------------------------------------------------------------

// The look of a new console window (batch console).
struct ConsoleLook {
    const char* title;
    std::uint32_t x, y, width, height;
    std::uint16_t fill;
    std::uint32_t flags;  // STARTF_USE* bits as the platform defines them
};

// How to start a process, with this process's environment and current directory.
struct StartRequest {
    const char* application = nullptr;     // the program by full path; null: the command line's first word
    char* command_line = nullptr;          // writable, as the platform may touch it
    bool inherit_handles = false;
    bool new_console = false;              // CREATE_NEW_CONSOLE
    bool no_window = false;                // CREATE_NO_WINDOW: a console program gets no console window
    const ConsoleLook* console = nullptr;  // null: start-up record all zero but its size
};

struct Started {
    Handle process = Handle::none;
    Handle thread = Handle::none;
    bool elevation_required = false;  // on failure: the program asks for rights this process lacks (740)
};

bool start_process(const StartRequest& request, Started& out);

// Starts program (a full path) with the arguments through the shell's
// elevation prompt, in directory, with no window of our own; does not wait.
// False when shell32 cannot be loaded, the start fails or the user refuses.
bool start_elevated(const char* program, const char* arguments, const char* directory);

enum class Wait { ended, timed_out, failed };
// Waits up to ms milliseconds (kInfinite: no limit) for a process to end.
Wait wait_for(Handle process, std::uint32_t ms);

// Reads a process's exit status (259 while it runs). False when it cannot be read.
bool exit_code(Handle process, std::uint32_t& code);

bool terminate(Handle process, std::uint32_t code);

bool close_handle(Handle handle);

void sleep_ms(std::uint32_t ms);

// --- Pipes and standard handles -------------------------------------------------

// The standard-input handle (GetStdHandle).
Handle std_input();
// Replaces the standard-input handle (SetStdHandle).
bool set_std_input(Handle handle);
// True when standard input is redirected: there is a handle and it is not an
// interactive console (a file, a pipe or the null device). False without a
// handle, with an invalid one, or on a console.
bool std_input_redirected();
// Creates an anonymous pipe, both ends inheritable, default size.
bool create_pipe(Handle& read_end, Handle& write_end);
// Duplicates a handle within this process, same access, not inheritable.
bool duplicate_uninheritable(Handle source, Handle& copy);
// Reads up to n bytes; `got` is 0 at the end of input.
bool read_file(Handle handle, void* buf, std::uint32_t n, std::uint32_t& got);
bool write_file(Handle handle, const void* buf, std::uint32_t n, std::uint32_t& wrote);
// Writes bytes to standard output unchanged.
void write_stdout(const char* text, std::uint32_t n);

// --- Trace file ---------------------------------------------------------------------

// A moment in UTC, as the system clock gives it (the fields of SYSTEMTIME).
struct UtcTime {
    std::uint16_t year, month, day_of_week, day, hour, minute, second, millisecond;
};
// The current time in UTC (GetSystemTime).
UtcTime utc_now();
std::uint32_t process_id();
// The error code the last failed call of this thread left (GetLastError).
std::uint32_t last_error();
// Opens a plain file for appending only (created when missing), shared for
// reading and for the appends of other processes, not inherited. A link or
// junction at that name is not followed. Handle::invalid when it cannot be
// opened, or when the name is a directory, a reparse point, a device or a
// file with a second name (a hard link).
Handle open_for_append(const char* path);

// --- Trace file: where an open file lies -------------------------------------------

// The full path of an open file as the system reads it back from the handle,
// with every junction and link on the way followed: drive letter and long
// names, no \\?\ in front (C:\Logs\trace.txt). False when it cannot be read,
// is longer than kPathMax, or has no exact spelling in this process's code page.
bool final_path(Handle file, kvi::Text& out);

// --- Message boxes ----------------------------------------------------------------

enum class Icon { none, error };
// Shows a modal box with an OK button and no owner window, and waits until it is dismissed.
void message_box(const char* text, const char* caption, Icon icon);

// --- Start-menu shortcut -----------------------------------------------------------

// Loads shfolder.dll from the system folder and asks it for the current
// user's Programs folder. False when the library or its function is missing
// or the lookup fails.
bool programs_folder(kvi::Text& out);

// The shortcut's link: what it starts, how it is shown, and where it is saved.
struct Shortcut {
    const char* target;
    const char* description;
    const char* working_dir;
    const char* icon_path;
    int icon_index;
    const char* folder;  // made (inheriting its list) just before the save; it may exist
    const char* file;    // ANSI, converted to UTF-16 in a 260-character buffer
};

// What became of a shortcut: the step that failed, or saved; in the order of
// the steps, so that from not_saved on the link reached its save.
enum class ShortcutMade { no_link, no_persist_file, not_saved, saved };

// Makes an in-process shell link under COM (single-threaded apartment, from
// ole32.dll loaded only now), describes it, asks it for its persist-file
// interface, makes its folder and saves it, remembering the file as the
// object's own. Every object is released and COM left on each way out.
ShortcutMade make_shortcut(const Shortcut& shortcut);

}  // namespace plat
