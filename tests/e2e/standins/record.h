// What every stand-in shares: a record of key=value lines that it appends, in
// one write, to <KVI_RECORD_DIR>\<its own file name>.rec, so that a test can
// read afterwards exactly what the program was given. Values are
// percent-escaped (every byte outside '!'..'~', and '%' itself, becomes %XX),
// so blanks, tabs and quotes in a command line survive byte for byte.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace standin {

inline std::string escape(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Decodes hex pairs (command lines and paths travel as hex, so every byte
// arrives unchanged). False on an odd length or a non-hex digit.
inline bool from_hex(const std::string& text, std::string& bytes) {
    if (text.size() % 2) return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (*end) return false;
        bytes += static_cast<char>(v);
    }
    return true;
}

// The variable's value, and whether it is set at all (an empty value counts as set).
// Read through the W function and converted here: Wine 8's
// GetEnvironmentVariableA under the UTF-8 code page cuts a value to its
// length in UTF-16 characters.
inline bool get_env(const char* name, std::string& value) {
    value.clear();
    wchar_t wide_name[256];
    int name_n = MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, 256);
    if (name_n == 0) return false;
    static wchar_t buf[32768];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableW(wide_name, buf, 32768);
    if (n == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (n >= 32768) return true;
    int bytes = WideCharToMultiByte(CP_ACP, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return true;
    value.resize(static_cast<std::string::size_type>(bytes));
    WideCharToMultiByte(CP_ACP, 0, buf, static_cast<int>(n), &value[0], bytes, nullptr, nullptr);
    return true;
}

inline long long env_number(const char* name, long long fallback) {
    std::string v;
    if (!get_env(name, v) || v.empty()) return fallback;
    return std::strtoll(v.c_str(), nullptr, 0);
}

inline std::string current_dir() {
    char buf[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

inline std::string module_path() {
    char buf[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n < sizeof buf ? n : 0);
}

inline std::string base_name(const std::string& path) {
    std::string::size_type slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

// Wall-clock time in 100 ns units, comparable between processes.
inline unsigned long long now_filetime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline DWORD parent_pid() {
    DWORD self = GetCurrentProcessId(), parent = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
        if (pe.th32ProcessID == self) parent = pe.th32ParentProcessID;
    CloseHandle(snap);
    return parent;
}

// The directory records go to; empty when the stand-in should not record.
inline std::string record_dir() {
    std::string dir;
    get_env("KVI_RECORD_DIR", dir);
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    return dir;
}

class Record {
public:
    Record() {
        program_ = lower(base_name(module_path()));
        text_ = "--- record\n";
        add("program", program_);
        add("path", module_path());
        add("pid", std::to_string(GetCurrentProcessId()));
        add("ppid", std::to_string(parent_pid()));
        add("cmdline", GetCommandLineA());
        add("cwd", current_dir());
        std::string start;
        bool set = get_env("KVI_START_DIR", start);
        add("start_dir_set", set ? "1" : "0");
        add("start_dir", start);
        add("time_start", std::to_string(now_filetime()));
    }

    const std::string& program() const { return program_; }

    void add(const char* key, const std::string& value) {
        text_ += key;
        text_ += '=';
        text_ += escape(value);
        text_ += '\n';
    }
    void add_num(const char* key, unsigned long long value) { add(key, std::to_string(value)); }
    void add_hex(const char* key, unsigned long long value) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llX", value);
        add(key, buf);
    }

    // Appends the record, closed by its end line, in a single write.
    void write() {
        add("time_end", std::to_string(now_filetime()));
        text_ += "--- end\n";
        std::string dir = record_dir();
        if (dir.empty()) return;
        std::string file = dir + "\\" + program_ + ".rec";
        HANDLE h = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        WriteFile(h, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr);
        CloseHandle(h);
    }

private:
    std::string program_;
    std::string text_;
};

}  // namespace standin
