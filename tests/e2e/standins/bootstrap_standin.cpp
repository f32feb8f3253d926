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

std::string trim_blanks(const std::string& s) {
    std::string::size_type b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string parent_dir(const std::string& path) {
    std::string::size_type slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Creates a directory and its missing parents.
void make_dirs(const std::string& path) {
    for (std::string::size_type i = 3; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
}

bool copy_tree(const std::string& from, const std::string& to, int& files) {
    make_dirs(to);
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((from + "\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        std::string src = from + "\\" + name, dst = to + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = copy_tree(src, dst, files) && ok;
        } else if (CopyFileA(src.c_str(), dst.c_str(), FALSE)) {
            ++files;
        } else {
            ok = false;
        }
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return ok;
}

}  // namespace

int main() {
    standin::Record rec;
    if (standin::env_number("KVI_BOOTSTRAP_RECORD_ONLY", 0) != 0) {
        rec.add("mode", "record-only");
        rec.add_hex("exit", 0);
        rec.write();
        return 0;
    }
    rec.add("mode", "install");

    std::string cmd = GetCommandLineA();
    std::string::size_type sep = cmd.find(" -a ");
    std::string head = cmd.substr(0, sep);
    std::string options = sep == std::string::npos ? std::string() : cmd.substr(sep + 4);

    std::string location;
    for (std::string::size_type f = head.find(" -f"); f != std::string::npos; f = head.find(" -f", f + 1)) {
        if (f + 3 == head.size() || head[f + 3] == ' ') {
            location = trim_blanks(head.substr(f + 3));
            break;
        }
    }
    if (location.empty()) location = "C:\\HalvikTorvanex\\Install";
    rec.add("location", location);

    int files = 0;
    bool copied = copy_tree(parent_dir(standin::module_path()) + "\\kit", location, files);
    rec.add("copied", copied ? "1" : "0");
    rec.add_num("files", files);

    std::string exe = location + (location.back() == '\\' ? "" : "\\") + "Install.exe";
    if (exe.find(' ') != std::string::npos) exe = "\"" + exe + "\"";
    std::string install = exe + " -register" + options;
    rec.add("install_cmd", install);

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::string line = install;
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
