// The Win32 side of the shortcut calls in platform.h: the Programs folder
// lookup and the shell link. Only Install makes a shortcut, so only
// Install links this file; it loads ole32.dll only when a link is made.
#include "platform.h"
#include "platform_win32.h"

#include <objbase.h>
#include <shobjidl.h>

namespace plat {

using namespace win32;

namespace {

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

namespace {

using CoCreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

// The link made, described and saved; its objects are released here, before
// COM is left.
ShortcutMade make_link(CoCreateInstanceFn create, const Shortcut& shortcut) {
    OwnedCom<IShellLinkA> link;
    if (!create ||
        FAILED(create(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA,
                      reinterpret_cast<void**>(link.put()))) ||
        !link.valid())
        return ShortcutMade::no_link;
    link.get()->SetPath(shortcut.target);
    link.get()->SetDescription(shortcut.description);
    link.get()->SetWorkingDirectory(shortcut.working_dir);
    link.get()->SetIconLocation(shortcut.icon_path, shortcut.icon_index);

    OwnedCom<IPersistFile> file;
    if (FAILED(link.get()->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(file.put()))) || !file.valid())
        return ShortcutMade::no_persist_file;
    (void)create_directory(shortcut.folder, Acl::inherited);
    // A path that does not convert whole is not saved under a cut name. (Our
    // paths have at most 259 UTF-16 characters, so a whole one always fits.)
    WCHAR wide[260] = {};
    if (MultiByteToWideChar(CP_ACP, 0, shortcut.file, -1, wide, 260) == 0) return ShortcutMade::not_saved;
    wide[259] = L'\0';
    return SUCCEEDED(file.get()->Save(wide, TRUE)) ? ShortcutMade::saved : ShortcutMade::not_saved;
}

}  // namespace

// COM comes from ole32.dll, loaded when the shortcut is made rather than
// imported: every other run of Install would pay for loading it (and the
// window system it brings along) at start. COM's result is not examined.
ShortcutMade make_shortcut(const Shortcut& shortcut) {
    HMODULE ole32 = system_library("ole32.dll");
    if (auto init = export_of<HRESULT(WINAPI*)(LPVOID)>(ole32, "CoInitialize")) init(nullptr);
    ShortcutMade made = make_link(export_of<CoCreateInstanceFn>(ole32, "CoCreateInstance"), shortcut);
    if (auto uninit = export_of<void(WINAPI*)()>(ole32, "CoUninitialize")) uninit();
    return made;
}

}  // namespace plat
