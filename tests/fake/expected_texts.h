// Texts the programs must produce, written out by hand once for all tests
// (unit tests, fault matrix, fuzz targets) that compare against them.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
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

// A box as tests/expected_boxes.txt gives it (the file that compile
// definition KVI_EXPECTED_BOXES names), by its name there.
struct Box {
    std::string caption, text;
    bool error_icon;
};
inline const std::map<std::string, Box>& boxes() {
    static const std::map<std::string, Box> read = [] {
        std::map<std::string, Box> out;
        std::ifstream file(KVI_EXPECTED_BOXES);
        for (std::string line, f[4]; std::getline(file, line) && (f[0] = f[1] = f[2] = f[3] = "").empty();) {
            for (std::size_t i = 0, at = 0; i < line.size() && line[0] != '#'; ++i)
                if (line[i] == '\t' && at < 3) ++at;
                else if (line[i] == '\\' && ++i < line.size()) f[at] += line[i] == 'n' ? '\n' : line[i] == 't' ? '\t' : line[i];
                else f[at] += line[i];
            if (!f[0].empty()) out[f[0]] = Box{f[1], f[3], f[2] == "error"};
        }
        return out;
    }();
    return read;
}

// The box called name as a test lists those shown: "caption: text".
inline std::string box(const std::string& name) { return boxes().at(name).caption + ": " + boxes().at(name).text; }

// Every caption a program ("setup" or "install") can show.
inline std::set<std::string> captions(const std::string& program) {
    std::set<std::string> out;
    for (const auto& [name, b] : boxes())
        if (name.rfind(program + "-", 0) == 0) out.insert(b.caption);
    return out;
}

}  // namespace expected
