// A DLL of ours that a test plants beside a program under the name of a DLL that
// a system DLL loads by name (imm32, uxtheme). If it is ever loaded, it appends a
// record (its own path and the program that loaded it) to planted.dll.rec; the
// programs' restricted DLL search must keep it out.
#include "record.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char path[MAX_PATH] = "";
    GetModuleFileNameA(self, path, sizeof path);
    standin::append_record("planted.dll", standin::kv("program", "planted.dll") + standin::kv("path", path) +
                                              standin::kv("loaded_by", standin::module_path()));
    return TRUE;
}
