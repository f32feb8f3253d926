// Conversions between the seam's handle types and Windows' own, shared by the
// Win32 implementation files. Only those files include it.
#pragma once

#include <windows.h>

#include "handles.h"
#include "platform.h"

namespace plat::win32 {

inline HANDLE to_win(Handle h) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)); }
inline Handle from_win(HANDLE h) { return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h)); }
inline HKEY to_win(Key k) { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(k)); }
inline Key from_win(HKEY k) { return static_cast<Key>(reinterpret_cast<std::uintptr_t>(k)); }

// The Win32 layer's own kinds of owner, beside the handle and the key.
template <class Interface>
bool release(Interface* object) {
    object->Release();
    return true;
}
template <class Interface>
using OwnedCom = kvi::Owned<Interface*, release<Interface>>;
inline bool free_local(HLOCAL memory) {
    LocalFree(memory);
    return true;  // it fails only on what was never allocated
}
// Memory the system allocated for us, such as a security descriptor (LocalFree).
using OwnedLocal = kvi::Owned<HLOCAL, free_local>;

// Looks up an export and gives it its real type. The detour through
// void(*)() is the one function-pointer cast GCC accepts without a warning.
template <typename Fn>
Fn export_of(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads a DLL by its full path in the system folder, never from the
// program's folder or the current directory, and keeps it loaded. Null when
// the path does not fit or the DLL cannot be loaded.
HMODULE system_library(const char* file_name);

// An export of a system DLL; null when the DLL or the export is missing.
template <typename Fn>
Fn system_export(const char* file_name, const char* name) {
    return export_of<Fn>(system_library(file_name), name);
}

// Reads a text the system gives only into a caller's buffer: fill(buf, room,
// context) returns the room the text needs, terminator included (at most
// `room` when it fit), or 0 when the read failed (out is then absent). The
// text may grow between two calls (a value rewritten): each try takes the
// room last named. One function, not a template: the programs keep one copy
// of the loop whatever they read with it.
using Fill = std::uint32_t (*)(char* buf, std::uint32_t room, const void* context);
bool read_whole(kvi::Text& out, std::uint32_t room, Fill fill, const void* context = nullptr);

}  // namespace plat::win32
