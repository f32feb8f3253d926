// Stand-in for the bootstrap installer, built as a PE program and shipped
// under the name _instkvi.com (Windows starts a PE file whatever its
// extension). It records how setup started it and then does the least a
// bootstrap installer must: it copies the kit (the folder "kit" beside
// itself: Install.exe and JRE\bin) into the location named after "-f"
// (blanks trimmed; C:\HalvikTorvanex\Install when there is none), starts
// "<location>\Install.exe -register" followed by the options it received
// after " -a ", waits for it and ends with 0.
// With KVI_BOOTSTRAP_RECORD_ONLY=1 it only records.
#include "record.h"

namespace {

// Copies a folder with its subfolders, making the target's missing parents.
bool copy_tree(const std::string& from, const std::string& to, int& files) {
    for (std::string::size_type i = 3; i <= to.size(); ++i)
        if (i == to.size() || to[i] == '\\') CreateDirectoryA(to.substr(0, i).c_str(), nullptr);
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((from + "\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        std::string name = fd.cFileName, src = from + "\\" + name, dst = to + "\\" + name;
        if (name == "." || name == "..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ok = copy_tree(src, dst, files) && ok;
        else if (CopyFileA(src.c_str(), dst.c_str(), FALSE)) ++files;
        else ok = false;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return ok;
}

}  // namespace

int main() {
    standin::Record rec;
    bool record_only = standin::env_number("KVI_BOOTSTRAP_RECORD_ONLY", 0) != 0;
    rec.add("mode", record_only ? "record-only" : "install");
    if (record_only) {
        rec.add_hex("exit", 0);
        rec.write();
        return 0;
    }
    std::string cmd = GetCommandLineA();
    std::string::size_type sep = cmd.find(" -a ");
    std::string head = cmd.substr(0, sep), options = sep == std::string::npos ? "" : cmd.substr(sep + 4);
    std::string location;
    for (std::string::size_type f = head.find(" -f"); f != std::string::npos; f = head.find(" -f", f + 1)) {
        if (f + 3 == head.size() || head[f + 3] == ' ') {
            std::string::size_type b = head.find_first_not_of(' ', f + 3);
            if (b != std::string::npos) location = head.substr(b, head.find_last_not_of(' ') - b + 1);
            break;
        }
    }
    if (location.empty()) location = "C:\\HalvikTorvanex\\Install";
    rec.add("location", location);

    int files = 0;
    std::string self = standin::module_path();
    bool copied = copy_tree(self.substr(0, self.find_last_of('\\')) + "\\kit", location, files);
    rec.add("copied", copied ? "1" : "0");
    rec.add_num("files", files);

    std::string exe = location + (location.back() == '\\' ? "" : "\\") + "Install.exe";
    if (exe.find(' ') != std::string::npos) exe = "\"" + exe + "\"";
    std::string install = exe + " -register" + options, line = install;
    rec.add("install_cmd", install);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        rec.add_hex("install_exit", code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        rec.add_num("install_start_error", GetLastError());
    }
    rec.add_hex("exit", 0);
    rec.write();
    return 0;
}
