// The Win32 side of platform.h: each function is one system call (or a very
// short sequence) translated into our own vocabulary. The flows never see a
// Windows type; the unit tests link a fake in place of this file.
#include "constants.h"
#include "platform.h"
#include "platform_win32.h"

namespace plat {

using namespace win32;

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
    return LoadLibraryA(path);
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
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    auto set_dir = export_of<BOOL(WINAPI*)(LPCSTR)>(kernel, "SetDllDirectoryA");
    if (set_dir) set_dir("");
}

char* process_command_line() { return GetCommandLineA(); }

// --- Environment and directories ----------------------------------------------

std::uint32_t get_env(const char* name, char* buf, std::uint32_t cap) {
    return GetEnvironmentVariableA(name, buf, cap);
}

bool set_env(const char* name, const char* value) { return SetEnvironmentVariableA(name, value) != FALSE; }

std::uint32_t get_current_dir(char* buf, std::uint32_t cap) { return GetCurrentDirectoryA(cap, buf); }

bool set_current_dir(const char* path) { return SetCurrentDirectoryA(path) != FALSE; }

namespace {

// A security descriptor built from SDDL, released with LocalFree.
class SddlDescriptor {
public:
    SddlDescriptor() = default;
    SddlDescriptor(const SddlDescriptor&) = delete;
    SddlDescriptor& operator=(const SddlDescriptor&) = delete;
    ~SddlDescriptor() {
        if (descriptor_) LocalFree(descriptor_);
    }
    // Looked up at run time: advapi32 is loaded anyway, and only setup needs
    // the conversion, so neither program's import table grows for it.
    bool build(const char* sddl) {
        using Convert = BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
        auto convert = system_export<Convert>("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
        constexpr DWORD kSddlRevision1 = 1;
        return convert && convert(sddl, kSddlRevision1, &descriptor_, nullptr) && descriptor_;
    }
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

}  // namespace

MakeDir create_directory(const char* path, Acl acl) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    SddlDescriptor descriptor;
    if (acl == Acl::installed_folder) {
        // Without its list the folder is not made at all: one that inherits
        // the drive root's entries would be writable by every user. Setting
        // the list afterwards would leave a moment in which it is.
        if (!descriptor.build(kvi::kInstalledFolderSddl)) return MakeDir::failed;
        sa.lpSecurityDescriptor = descriptor.get();
    }
    if (CreateDirectoryA(path, acl == Acl::installed_folder ? &sa : nullptr)) return MakeDir::created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? MakeDir::already_exists : MakeDir::failed;
}

std::uint32_t own_program_path(char* buf, std::uint32_t cap) {
    if (cap == 0) return 0;
    SetLastError(NO_ERROR);
    DWORD n = GetModuleFileNameA(nullptr, buf, cap);
    // A path that does not fit comes back cut to cap characters, unterminated on XP.
    if (n == 0 || n >= cap || GetLastError() == ERROR_INSUFFICIENT_BUFFER) return 0;
    return n;
}

// --- Registry -------------------------------------------------------------------

Key create_key(Key parent, const char* sub) {
    // The class is declared writable but only read. (A writable static for
    // it would cost each program a data section of its own.)
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(to_win(parent), sub, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr);
    return status == ERROR_SUCCESS ? from_win(key) : Key::none;
}

Key open_key_for_subkeys(Key parent, const char* sub) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(to_win(parent), sub, 0, KEY_CREATE_SUB_KEY, &key);
    return status == ERROR_SUCCESS ? from_win(key) : Key::none;
}

bool set_string_value(Key key, const char* name, const char* data, std::uint32_t bytes) {
    return RegSetValueExA(to_win(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool query_value_size(Key key, const char* name, std::uint32_t& bytes) {
    DWORD size = 0;
    if (RegQueryValueExA(to_win(key), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
    bytes = size;
    return true;
}

bool query_value(Key key, const char* name, char* buf, std::uint32_t cap) {
    DWORD size = cap;
    return RegQueryValueExA(to_win(key), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS;
}

void close_key(Key key) { RegCloseKey(to_win(key)); }

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
    if (!CreateProcessA(request.application, request.command_line, nullptr, nullptr, request.inherit_handles ? TRUE : FALSE,
                        request.new_console ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &si, &pi))
        return false;
    out.process = from_win(pi.hProcess);
    out.thread = from_win(pi.hThread);
    return true;
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

// --- Message boxes ------------------------------------------------------------------------

void message_box(const char* text, const char* caption, Icon icon) {
    // user32.dll is loaded only when a box is shown: importing it costs every
    // start the loading of the window system, and most runs show no box.
    using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    auto show = system_export<MessageBoxFn>("user32.dll", "MessageBoxA");
    if (show) show(nullptr, text, caption, MB_OK | (icon == Icon::error ? MB_ICONERROR : 0));
}

}  // namespace plat
