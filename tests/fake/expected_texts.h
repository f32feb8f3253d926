// Texts the programs must produce, written out by hand once for all tests
// (unit tests, fault matrix, fuzz targets) that compare against them.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace expected {

// Where the simulated machine keeps the installation record and the uninstall entry.
inline constexpr char kRecord[] = "HKLM\\Software\\HalvikTorvanex\\HalvikTorvanexJI";
inline constexpr char kUninstallEntry[] =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HalvikTorvanexJI";

// The Java launch command without arguments: console and windowed runtime.
inline const std::string kJavaArguments =
    " -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"
    ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data com.halvik.install.controlpanel.Install";
inline const std::string kJava = "JRE\\bin\\java.exe" + kJavaArguments;
inline const std::string kJavaw = "JRE\\bin\\javaw.exe" + kJavaArguments;

// A zero-terminated text as stored in the registry.
inline std::string sz(const std::string& s) { return s + std::string(1, '\0'); }

// The exit status by which Install answers setup's probe (-1110).
inline constexpr std::uint32_t kProbeAnswer = 0xFFFFFBAAu;

// Where the tests that turn the trace on have it written.
inline constexpr char kTraceFile[] = "C:\\Start\\trace.txt";

// Every caption each program can show.
inline const std::set<std::string> kSetupCaptions = {"Usage Help", "Version Information", "Registration Error",
                                                     "Application Launch Error"};
inline const std::set<std::string> kInstallCaptions = {
    "Search Error", "Set Directory Error", "Registration Error", "Application Launch Error", "CreatePipe Error",
    "SetStdHandle Error", "DuplicateHandle Error", "INVALID_HANDLE_VALUE Error", "CloseHandle Error",
    "Application Error", "Start Menu Creation Error"};

}  // namespace expected
