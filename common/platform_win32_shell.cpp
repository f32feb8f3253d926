// The Win32 side of the shortcut calls in platform.h: the Programs folder
// lookup and the shell-link object. Only Install makes a shortcut, so only
// Install links this file; it loads ole32.dll only when a link is made.
#include "platform.h"
#include "platform_win32.h"

#include <objbase.h>
#include <shobjidl.h>

namespace plat {

using namespace win32;

namespace {

IShellLinkA* to_win(Link l) { return reinterpret_cast<IShellLinkA*>(static_cast<std::uintptr_t>(l)); }
IPersistFile* to_win(LinkFile f) { return reinterpret_cast<IPersistFile*>(static_cast<std::uintptr_t>(f)); }

// The shell-link identifiers, defined here so that no uuid library is linked.
const CLSID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidShellLinkA = {0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr int kCsidlPrograms = 2;

}  // namespace

bool programs_folder(kvi::Text& out) {
    // From the system folder only: a bare "shfolder.dll" could be found beside
    // the program on a system without a restricted DLL search.
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto get_folder_path = system_export<GetFolderPath>("shfolder.dll", "SHGetFolderPathW");
    if (!get_folder_path) return false;

    // Asked in UTF-16, whose MAX_PATH characters hold any path the folder can
    // have, and converted at the size the conversion reports: the ANSI call
    // writes at most MAX_PATH bytes, which cuts a name in a script of three
    // bytes a letter long before its 259 characters.
    WCHAR folder[MAX_PATH];
    if (FAILED(get_folder_path(nullptr, kCsidlPrograms, nullptr, 0, folder))) return false;
    folder[MAX_PATH - 1] = L'\0';
    int size = WideCharToMultiByte(CP_ACP, 0, folder, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0 || !out.reserve(static_cast<std::size_t>(size) - 1) ||
        WideCharToMultiByte(CP_ACP, 0, folder, -1, out.data(), size, nullptr, nullptr) != size)
        return false;
    out.fit_to_terminator();
    return true;
}

// COM comes from ole32.dll, loaded when the shortcut is made rather than
// imported: every other run of Install would pay for loading it (and the
// window system it brings along) at start.
void com_init() {
    using CoInitializeFn = HRESULT(WINAPI*)(LPVOID);
    if (auto init = system_export<CoInitializeFn>("ole32.dll", "CoInitialize")) init(nullptr);
}

void com_uninit() {
    using CoUninitializeFn = void(WINAPI*)();
    if (auto uninit = system_export<CoUninitializeFn>("ole32.dll", "CoUninitialize")) uninit();
}

Link create_shell_link() {
    void* object = nullptr;
    using CoCreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    auto create = system_export<CoCreateInstanceFn>("ole32.dll", "CoCreateInstance");
    if (!create || FAILED(create(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA, &object)) || !object)
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
    // A path that does not convert whole is not saved under a cut name. (Our
    // paths have at most 259 UTF-16 characters, so a whole one always fits.)
    WCHAR wide[260] = {};
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 260) == 0) return false;
    wide[259] = L'\0';
    return SUCCEEDED(to_win(file)->Save(wide, TRUE));
}

void release_link_file(LinkFile file) { to_win(file)->Release(); }

void release_link(Link link) { to_win(link)->Release(); }

}  // namespace plat
