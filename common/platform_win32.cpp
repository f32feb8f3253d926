// The Win32 side of platform.h: each function is one system call (or a very
// short sequence) translated into our own vocabulary. The flows never see a
// Windows type; the unit tests link a fake in place of this file.
#include "platform.h"

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

namespace plat {
namespace {

HANDLE to_win(Handle h) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)); }
Handle from_win(HANDLE h) { return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h)); }
HKEY to_win(Key k) { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(k)); }
Key from_win(HKEY k) { return static_cast<Key>(reinterpret_cast<std::uintptr_t>(k)); }
IShellLinkA* to_win(Link l) { return reinterpret_cast<IShellLinkA*>(static_cast<std::uintptr_t>(l)); }
IPersistFile* to_win(LinkFile f) { return reinterpret_cast<IPersistFile*>(static_cast<std::uintptr_t>(f)); }

// Looks up an export and gives it its real type. The detour through
// void(*)() is the one function-pointer cast GCC accepts without a warning.
template <typename Fn>
Fn export_of(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The shell-link identifiers, defined here so that no uuid library is linked.
const CLSID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidShellLinkA = {0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr int kCsidlPrograms = 2;

}  // namespace

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

MakeDir create_directory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return MakeDir::created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? MakeDir::already_exists : MakeDir::failed;
}

// --- Registry -------------------------------------------------------------------

Key create_key(Key parent, const char* sub) {
    // RegCreateKeyExA takes the class as a writable string.
    static char empty_class[] = "";
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(to_win(parent), sub, 0, empty_class, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
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
    if (!CreateProcessA(nullptr, request.command_line, nullptr, nullptr, request.inherit_handles ? TRUE : FALSE,
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

bool terminate(Handle process, std::uint32_t code) { return TerminateProcess(to_win(process), code) != FALSE; }

bool close_handle(Handle handle) { return CloseHandle(to_win(handle)) != FALSE; }

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

// --- Pipes and standard handles -------------------------------------------------------

Handle std_input() { return from_win(GetStdHandle(STD_INPUT_HANDLE)); }

bool set_std_input(Handle handle) { return SetStdHandle(STD_INPUT_HANDLE, to_win(handle)) != FALSE; }

bool std_input_has_position() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
    // Windows leaves a seek on a pipe or a console undefined rather than
    // failing it, so only a file on disk can answer with a real position.
    if (GetFileType(in) != FILE_TYPE_DISK) return false;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER position;
    return SetFilePointerEx(in, zero, &position, FILE_CURRENT) != FALSE;
}

bool create_pipe(Handle& read_end, Handle& write_end) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) return false;
    read_end = from_win(r);
    write_end = from_win(w);
    return true;
}

bool duplicate_uninheritable(Handle source, Handle& copy) {
    HANDLE self = GetCurrentProcess();
    HANDLE dup = nullptr;
    if (!DuplicateHandle(self, to_win(source), self, &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
    copy = from_win(dup);
    return true;
}

bool read_file(Handle handle, void* buf, std::uint32_t n, std::uint32_t& got) {
    DWORD count = 0;
    BOOL ok = ReadFile(to_win(handle), buf, n, &count, nullptr);
    got = count;
    return ok != FALSE;
}

bool write_file(Handle handle, const void* buf, std::uint32_t n, std::uint32_t& wrote) {
    DWORD count = 0;
    BOOL ok = WriteFile(to_win(handle), buf, n, &count, nullptr);
    wrote = count;
    return ok != FALSE;
}

void write_stdout(const char* text, std::uint32_t n) {
    // Straight to the handle: the C runtime's text mode would turn each "\n"
    // into "\r\n" and change the byte count of what we print.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    while (n > 0) {
        DWORD wrote = 0;
        if (!WriteFile(out, text, n, &wrote, nullptr) || wrote == 0) return;
        text += wrote;
        n -= wrote;
    }
}

// --- Message boxes ------------------------------------------------------------------------

void message_box(const char* text, const char* caption, Icon icon) {
    MessageBoxA(nullptr, text, caption, MB_OK | (icon == Icon::error ? MB_ICONERROR : 0));
}

// --- Start-menu shortcut ----------------------------------------------------------------------

bool programs_folder(char* buf, std::uint32_t cap) {
    // By full path from the system folder: a bare "shfolder.dll" could be
    // found beside the program on a system without a restricted DLL search.
    static const char kLibrary[] = "\\shfolder.dll";
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof kLibrary > MAX_PATH) return false;
    for (UINT i = 0; i < sizeof kLibrary; ++i) path[length + i] = kLibrary[i];

    // Loaded once and kept: nothing is gained by unloading it before the end.
    HMODULE library = LoadLibraryA(path);
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
    auto get_folder_path = export_of<GetFolderPath>(library, "SHGetFolderPathA");
    if (!get_folder_path) return false;

    // The function writes up to MAX_PATH characters whatever buffer it is given.
    char folder[MAX_PATH];
    folder[0] = '\0';
    if (FAILED(get_folder_path(nullptr, kCsidlPrograms, nullptr, 0, folder))) return false;
    std::uint32_t size = 0;
    while (size < MAX_PATH && folder[size] != '\0') ++size;
    if (size >= MAX_PATH || size >= cap) return false;
    for (std::uint32_t i = 0; i <= size; ++i) buf[i] = folder[i];
    return true;
}

void com_init() { CoInitialize(nullptr); }

void com_uninit() { CoUninitialize(); }

Link create_shell_link() {
    void* object = nullptr;
    if (FAILED(CoCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA, &object)) || !object)
        return Link::none;
    return static_cast<Link>(reinterpret_cast<std::uintptr_t>(object));
}

void link_set_path(Link link, const char* path) { to_win(link)->SetPath(path); }

void link_set_description(Link link, const char* text) { to_win(link)->SetDescription(text); }

void link_set_working_directory(Link link, const char* dir) { to_win(link)->SetWorkingDirectory(dir); }

void link_set_icon(Link link, const char* path, int index) { to_win(link)->SetIconLocation(path, index); }

LinkFile link_persist(Link link) {
    void* object = nullptr;
    if (FAILED(to_win(link)->QueryInterface(kIidPersistFile, &object)) || !object) return LinkFile::none;
    return static_cast<LinkFile>(reinterpret_cast<std::uintptr_t>(object));
}

bool save_link(LinkFile file, const char* path) {
    // A path that does not convert leaves the buffer terminated, so Save
    // fails on a bad name instead of reading past the end.
    WCHAR wide[260] = {};
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 260);
    wide[259] = L'\0';
    return SUCCEEDED(to_win(file)->Save(wide, TRUE));
}

void release_link_file(LinkFile file) { to_win(file)->Release(); }

void release_link(Link link) { to_win(link)->Release(); }

}  // namespace plat
