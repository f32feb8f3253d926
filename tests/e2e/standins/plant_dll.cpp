// A DLL of ours that a test plants beside a program under the name of a DLL
// that a system DLL loads by name. If it is ever loaded, it appends a record
// (its own path and the program that loaded it) to planted.dll.rec; the
// programs' restricted DLL search must keep it out.
#include "record.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char path[MAX_PATH] = "";
    GetModuleFileNameA(self, path, sizeof path);
    std::string text = "--- record\nprogram=planted.dll\npath=" + standin::escape(path) +
                       "\nloaded_by=" + standin::escape(standin::module_path()) + "\n--- end\n";
    std::string dir = standin::record_dir();
    if (dir.empty()) return TRUE;
    HANDLE h = CreateFileA((dir + "\\planted.dll.rec").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return TRUE;
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
    return TRUE;
}
