// The Win32 side of platform.h: each function is one system call (or a very
// short sequence) translated into our own vocabulary. The flows never see a
// Windows type; the unit tests link a fake in place of this file.
#include <cstring>

#include "constants.h"
#include "handles.h"
#include "platform.h"
#include "platform_win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

namespace plat {

using namespace win32;

namespace {

// MinGW's headers lack it: the error CreateProcess gives for a program whose
// manifest asks for rights the caller does not have.
constexpr DWORD kErrorElevationRequired = 740;

// True once SetDefaultDllDirectories has limited every later load to the
// system folder.
bool g_default_dirs_set = false;

}  // namespace

HMODULE win32::system_library(const char* file_name) {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    UINT at = length;
    path[at++] = '\\';
    for (const char* c = file_name; *c; ++c) {
        if (at + 1 >= MAX_PATH) return nullptr;
        path[at++] = *c;
    }
    path[at] = '\0';
    // Without the default directories (Windows 7 without its loader update),
    // a DLL that the system one needs in turn would be looked for beside the
    // program first; the altered search looks in the system folder instead.
    return LoadLibraryExA(path, nullptr, g_default_dirs_set ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

Key local_machine() { return from_win(HKEY_LOCAL_MACHINE); }

// --- Start-up ---------------------------------------------------------------

void restrict_dll_search() {
    // setup is usually started from a Downloads folder or a medium that anyone
    // could have written to; a DLL planted beside it (or in the current
    // directory) must never be loaded in place of a system one.
    // SetDefaultDllDirectories exists from Windows 8 (7 and Vista with
    // KB2533623), hence the dynamic lookup; without it SetDllDirectoryA("")
    // at least takes the current directory out of the search.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto set_default = export_of<BOOL(WINAPI*)(DWORD)>(kernel, "SetDefaultDllDirectories");
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_default_dirs_set = true;
        return;
    }
    auto set_dir = export_of<BOOL(WINAPI*)(LPCSTR)>(kernel, "SetDllDirectoryA");
    if (set_dir) set_dir("");
}

const char* process_command_line() { return GetCommandLineA(); }

// --- Environment and directories ----------------------------------------------

std::uint32_t get_env(const char* name, char* buf, std::uint32_t cap) {
    return GetEnvironmentVariableA(name, buf, cap);
}

bool set_env(const char* name, const char* value) { return SetEnvironmentVariableA(name, value) != FALSE; }

namespace win32 {

bool read_whole(kvi::Text& out, std::uint32_t room, Fill fill, const void* context) {
    for (int tries = 0; tries < 10 && room != 0; ++tries) {
        out.reset();
        if (!out.reserve(room - 1)) return false;
        std::uint32_t need = fill(out.data(), room, context);
        if (need == 0) break;
        if (need <= room) {
            out.fit_to_terminator();
            return true;
        }
        room = need;
    }
    out.reset();
    return false;
}

}  // namespace win32

bool current_dir(kvi::Text& out) {
    // The length when it fits, else the size it needs with its terminator.
    return read_whole(out, MAX_PATH, [](char* buf, std::uint32_t room, const void*) -> std::uint32_t {
        DWORD n = GetCurrentDirectoryA(room, buf);
        return n != 0 && n < room ? n + 1 : n;
    });
}

bool set_current_dir(const char* path) { return SetCurrentDirectoryA(path) != FALSE; }

MakeDir create_directory(const char* path, Acl acl) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    OwnedLocal descriptor;
    if (acl == Acl::installed_folder) {
        // Without its list the folder is not made at all: one that inherits
        // the drive root's entries would be writable by every user. Setting
        // the list afterwards would leave a moment in which it is. (Imported:
        // setup imports advapi32's security calls anyway, and a look-up by
        // name would carry the long name and the DLL's name as well.)
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kvi::kInstalledFolderSddl, SDDL_REVISION_1,
                                                                  descriptor.put(), nullptr) ||
            !descriptor.valid())
            return MakeDir::failed;
        sa.lpSecurityDescriptor = descriptor.get();
    }
    if (CreateDirectoryA(path, acl == Acl::installed_folder ? &sa : nullptr)) return MakeDir::created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? MakeDir::already_exists : MakeDir::failed;
}

namespace {

// The facts of what `held` (opened by path) is.
bool read_facts(HANDLE held, const char* path, FolderFacts& out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(held, &info)) return false;
    // A volume that cannot be asked is judged by its lists; so is every one
    // on Vista, which lacks the call (hence the lookup: an import of it would
    // keep the program from starting there).
    DWORD volume = 0;
    auto volume_information =
        export_of<BOOL(WINAPI*)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD)>(
            GetModuleHandleA("kernel32.dll"), "GetVolumeInformationByHandleW");
    if (!volume_information || !volume_information(held, nullptr, 0, nullptr, nullptr, &volume, nullptr, 0))
        volume = FILE_PERSISTENT_ACLS;
    out.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Wine opens what a symbolic link points to even so, and shows the
    // link's reparse attribute only when asked by name: ask both.
    DWORD by_name = GetFileAttributesA(path);
    out.reparse_point = ((info.dwFileAttributes | (by_name == INVALID_FILE_ATTRIBUTES ? 0 : by_name)) &
                         FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out.volume_without_lists = (volume & FILE_PERSISTENT_ACLS) == 0 || (volume & FILE_READ_ONLY_VOLUME) != 0;
    if (out.volume_without_lists) return true;

    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &list, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    OwnedLocal owned(descriptor);  // owner and list point into it
    out.has_list = list != nullptr;
    return copy_sid(owner, sizeof out.owner.bytes, out.owner) &&
           (!list || read_access_list(reinterpret_cast<const std::uint8_t*>(list), out));
}

}  // namespace

Handle open_held(const char* path, bool folder, FolderFacts& out) {
    // Reading the data is asked for because only an open that reads, writes
    // or deletes takes part in the sharing checks: one for the attributes
    // and the list alone would keep nobody from renaming what it holds.
    // OPEN_REPARSE_POINT: a junction or link at path is opened itself, never
    // the folder it points to. BACKUP_SEMANTICS lets a directory be opened.
    HANDLE held = CreateFileA(path, GENERIC_READ, folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Handle::none : Handle::invalid;
    }
    if (read_facts(held, path, out)) return from_win(held);
    CloseHandle(held);
    return Handle::invalid;
}

bool fixed_drive(const char* root) { return GetDriveTypeA(root) == DRIVE_FIXED; }

namespace {

// Reads one kind of information about this process's token into buffer.
bool token_information(TOKEN_INFORMATION_CLASS what, void* buffer, DWORD size) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    kvi::OwnedHandle owned(from_win(token));
    DWORD got = 0;
    return GetTokenInformation(token, what, buffer, size, &got) != FALSE;
}

}  // namespace

bool process_user(Sid& out) {
    // TOKEN_USER and the SID it points to, which lies in the same buffer.
    alignas(8) BYTE buffer[sizeof(TOKEN_USER) + sizeof(Sid::bytes)];
    if (!token_information(TokenUser, buffer, sizeof buffer)) return false;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
    const BYTE* sid = static_cast<const BYTE*>(user->User.Sid);
    if (sid < buffer || sid >= buffer + sizeof buffer) return false;
    return copy_sid(sid, static_cast<std::size_t>(buffer + sizeof buffer - sid), out);
}

bool process_elevated() {
    TOKEN_ELEVATION elevation;
    return token_information(TokenElevation, &elevation, sizeof elevation) && elevation.TokenIsElevated != 0;
}

bool own_program_path(kvi::Text& out) {
    // The call names no size it needs: the room doubles until the path fits,
    // up to one of 32767 UTF-16 characters, four bytes each at most.
    return read_whole(out, MAX_PATH, [](char* buf, std::uint32_t room, const void*) -> std::uint32_t {
        SetLastError(NO_ERROR);
        DWORD n = GetModuleFileNameA(nullptr, buf, room);
        // A path that does not fit comes back cut to room characters,
        // unterminated on XP; Wine cuts it at the last whole letter and
        // reports success. So a path that leaves no room for one more letter
        // of four bytes may be cut, and so may one the call failed to give.
        if (n == 0 || n + 4 >= room || GetLastError() == ERROR_INSUFFICIENT_BUFFER) return 2 * room;
        return n + 1;
    });
}

// --- Registry -------------------------------------------------------------------

Key create_key(Key parent, const char* sub) {
    // The class is declared writable but only read. (A writable static for
    // it would cost each program a data section of its own.)
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(to_win(parent), sub, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
    return status == ERROR_SUCCESS ? from_win(key) : Key::none;
}

namespace {

Key open_key(Key parent, const char* sub, REGSAM access) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(to_win(parent), sub, 0, access | KEY_WOW64_32KEY, &key);
    return status == ERROR_SUCCESS ? from_win(key) : Key::none;
}

}  // namespace

Key open_key_for_subkeys(Key parent, const char* sub) { return open_key(parent, sub, KEY_CREATE_SUB_KEY); }

Key open_key_for_reading(Key parent, const char* sub) { return open_key(parent, sub, KEY_READ); }

bool set_string_value(Key key, const char* name, const char* data, std::uint32_t bytes) {
    return RegSetValueExA(to_win(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

std::uint32_t read_string(Key key, const char* name, kvi::Text& out) {
    // The size alone (no buffer, no type), then the read offered one byte more:
    // it terminates data stored without a zero. A read that finds more data than
    // the size said (the ANSI call can count in UTF-16 terms, two bytes where
    // UTF-8 takes three) is made again at the size it reports.
    struct Value {
        HKEY key;
        const char* name;
    } value = {to_win(key), name};
    DWORD size = 0;
    if (RegQueryValueExA(value.key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0) return 0;
    (void)read_whole(
        out, size + 1,
        [](char* buf, std::uint32_t room, const void* context) -> std::uint32_t {
            const auto* v = static_cast<const Value*>(context);
            DWORD got = room;
            LSTATUS status = RegQueryValueExA(v->key, v->name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &got);
            if (status == ERROR_MORE_DATA) return got >= room ? got + 1 : room + 1;
            return status == ERROR_SUCCESS ? got + 1 : 0;
        },
        &value);
    return size;
}

bool close_key(Key key) { return RegCloseKey(to_win(key)) == ERROR_SUCCESS; }

// --- Processes --------------------------------------------------------------------

bool start_process(const StartRequest& request, Started& out) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (const ConsoleLook* look = request.console) {
        // lpTitle is declared writable but only read.
        si.lpTitle = const_cast<char*>(look->title);
        si.dwX = look->x;
        si.dwY = look->y;
        si.dwXSize = look->width;
        si.dwYSize = look->height;
        si.dwFillAttribute = look->fill;
        si.dwFlags = look->flags;
    }
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    DWORD flags = (request.new_console ? CREATE_NEW_CONSOLE : 0) | (request.no_window ? CREATE_NO_WINDOW : 0);
    if (!CreateProcessA(request.application, request.command_line, nullptr, nullptr, request.inherit_handles ? TRUE : FALSE,
                        flags, nullptr, nullptr, &si, &pi)) {
        out.elevation_required = GetLastError() == kErrorElevationRequired;
        return false;
    }
    out.process = from_win(pi.hProcess);
    out.thread = from_win(pi.hThread);
    return true;
}

bool start_elevated(const char* program, const char* arguments, const char* directory) {
    // shell32 only now, from the system folder: importing it would load the
    // shell (and the window system) into every run, and most never get here.
    using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
    auto execute = system_export<ShellExecuteExFn>("shell32.dll", "ShellExecuteExA");
    if (!execute) return false;
    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    // NOASYNC: setup ends right after, before an asynchronous start had run.
    // FLAG_NO_UI: no box of the shell's own; setup shows its one. No process
    // handle is asked for: setup does not wait.
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = program;
    info.lpParameters = arguments;
    info.lpDirectory = directory;
    info.nShow = SW_SHOWNORMAL;
    // A refused prompt fails with ERROR_CANCELLED (1223), like any other failure.
    return execute(&info) != FALSE;
}

Wait wait_for(Handle process, std::uint32_t ms) {
    switch (WaitForSingleObject(to_win(process), ms)) {
        case WAIT_OBJECT_0: return Wait::ended;
        case WAIT_TIMEOUT: return Wait::timed_out;
        default: return Wait::failed;
    }
}

bool exit_code(Handle process, std::uint32_t& code) {
    DWORD status = 0;
    if (!GetExitCodeProcess(to_win(process), &status)) return false;
    code = status;
    return true;
}

bool close_handle(Handle handle) { return CloseHandle(to_win(handle)) != FALSE; }

// --- Trace file -------------------------------------------------------------------------

UtcTime utc_now() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    static_assert(sizeof(UtcTime) == sizeof t, "the fields of SYSTEMTIME, in its order");
    UtcTime out;
    std::memcpy(&out, &t, sizeof out);
    return out;
}

std::uint32_t process_id() { return GetCurrentProcessId(); }

std::uint32_t last_error() { return GetLastError(); }

// Both programs write their trace lines with it; Install also feeds the relay's pipe.
bool write_file(Handle handle, const void* buf, std::uint32_t n, std::uint32_t& wrote) {
    DWORD count = 0;
    BOOL ok = WriteFile(to_win(handle), buf, n, &count, nullptr);
    wrote = count;
    return ok != FALSE;
}

Handle open_for_append(const char* path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what it
    // names, and is refused below; without FILE_FLAG_BACKUP_SEMANTICS a
    // directory (a junction included) cannot be opened at all. Every
    // process of the road keeps its own handle, so writers share with writers;
    // with FILE_APPEND_DATA each WriteFile lands whole at the end of the file.
    // SECURITY_IDENTIFICATION: should the name reach a pipe after all, its
    // server may learn who writes but never act with this process's rights.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                  SECURITY_IDENTIFICATION,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return Handle::invalid;
    BY_HANDLE_FILE_INFORMATION info;
    constexpr DWORD kRefused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & kRefused) == 0 && info.nNumberOfLinks == 1)
        return from_win(file);
    CloseHandle(file);
    return Handle::invalid;
}

// --- Trace file: where an open file lies ---------------------------------------------------

bool final_path(Handle file, kvi::Text& out) {
    // The wide call: the ANSI one spells a letter its code page lacks as a
    // look-alike (best fit), so another path could read back as the name
    // given. A drive path comes back as \\?\C:\...; when it does not fit,
    // the answer is the room it needs.
    constexpr DWORD kRoom = 4 + kvi::kPathMax;
    wchar_t wide[kRoom], back[kRoom];
    DWORD n = GetFinalPathNameByHandleW(to_win(file), wide, kRoom, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n < 4 || n >= kRoom) return false;
    int skip = wide[0] == L'\\' ? 4 : 0;  // \\?\ (a UNC path's \\?\UNC\ never matches a drive path)
    const wchar_t* name = wide + skip;
    int units = static_cast<int>(n) - skip + 1;  // the terminator included
    // Into this process's code page (at most three bytes a unit) and back: a
    // name that does not come back whole has no exact spelling here.
    int room = 3 * units;
    if (!out.reserve(static_cast<std::size_t>(room))) return false;
    int bytes = WideCharToMultiByte(CP_ACP, 0, name, units, out.data(), room, nullptr, nullptr);
    out.fit_to_terminator();
    return bytes > 0 && MultiByteToWideChar(CP_ACP, 0, out.data(), bytes, back, kRoom) == units &&
           std::memcmp(back, name, static_cast<std::size_t>(units) * sizeof(wchar_t)) == 0;
}

// --- Message boxes ------------------------------------------------------------------------

void message_box(const char* text, const char* caption, Icon icon) {
    // user32.dll is loaded only when a box is shown: importing it costs every
    // start the loading of the window system, and most runs show no box.
    using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    auto show = system_export<MessageBoxFn>("user32.dll", "MessageBoxA");
    if (show) show(nullptr, text, caption, MB_OK | (icon == Icon::error ? MB_ICONERROR : 0));
}

}  // namespace plat
