// What every stand-in shares: a record of key=value lines that it appends, in
// one write, to <KVI_RECORD_DIR>\<its own file name>.rec, so that a test can
// read afterwards exactly what the program was given. Values are
// percent-escaped (every byte outside '!'..'~', and '%' itself, becomes %XX),
// so blanks, tabs and quotes in a command line survive byte for byte.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace standin {

inline std::string escape(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7F && c != '%') out += static_cast<char>(c);
        else out += {'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

// One line of a record, or of kvitest's output.
inline std::string kv(const std::string& key, const std::string& value) { return key + "=" + escape(value) + "\n"; }

// Decodes hex pairs (command lines and paths travel as hex, so every byte
// arrives unchanged). False on an odd length or a non-hex digit.
inline bool from_hex(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size() && text.size() % 2 == 0; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0}, *end = nullptr;
        bytes += static_cast<char>(std::strtol(pair, &end, 16));
        if (*end) return false;
    }
    return text.size() % 2 == 0;
}

// The variable's value, and whether it is set at all (an empty value counts as set).
// Read through the W function and converted here: Wine 8's
// GetEnvironmentVariableA under the UTF-8 code page cuts a value to its
// length in UTF-16 characters.
inline bool get_env(const char* name, std::string& value) {
    value.clear();
    wchar_t wide_name[256];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, 256) == 0) return false;
    static wchar_t buf[32768];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableW(wide_name, buf, 32768);
    if (n == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    int bytes = n < 32768 ? WideCharToMultiByte(CP_ACP, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr) : 0;
    value.resize(static_cast<std::string::size_type>(bytes > 0 ? bytes : 0));
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, buf, static_cast<int>(n), &value[0], bytes, nullptr, nullptr);
    return true;
}

inline long long env_number(const char* name, long long fallback) {
    std::string v;
    return get_env(name, v) && !v.empty() ? std::strtoll(v.c_str(), nullptr, 0) : fallback;
}

inline std::string current_dir() {
    char buf[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return std::string(buf, n < sizeof buf ? n : 0);
}

inline std::string module_path() {
    char buf[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n < sizeof buf ? n : 0);
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

// A running process's entry in a snapshot of them all.
inline bool find_process(DWORD pid, PROCESSENTRY32& pe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    pe.dwSize = sizeof pe;
    BOOL found = snap != INVALID_HANDLE_VALUE && Process32First(snap, &pe);
    while (found && pe.th32ProcessID != pid) found = Process32Next(snap, &pe);
    if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
    return found;
}

// Writes the text in a single write, appended to the file or replacing it.
inline bool save(const std::string& path, const std::string& text, bool append) {
    HANDLE h = CreateFileA(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    CloseHandle(h);
    return ok;
}

// The directory records go to; empty when the stand-in should not record.
inline std::string record_dir() {
    std::string dir;
    get_env("KVI_RECORD_DIR", dir);
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    return dir;
}

// Appends a record (its lines, then the end line) to <program>.rec.
inline void append_record(const std::string& program, const std::string& lines) {
    std::string dir = record_dir();
    if (!dir.empty()) save(dir + "\\" + program + ".rec", "--- record\n" + lines + "--- end\n", true);
}

class Record {
public:
    Record() {
        std::string path = module_path(), start;
        program_ = lower(path.substr(path.find_last_of("\\/") + 1));
        bool start_set = get_env("KVI_START_DIR", start);
        PROCESSENTRY32 self;
        bool found = find_process(GetCurrentProcessId(), self);
        add("program", program_);
        add("path", path);
        add_num("pid", GetCurrentProcessId());
        add_num("ppid", found ? self.th32ParentProcessID : 0);
        add("cmdline", GetCommandLineA());
        add("cwd", current_dir());
        add("start_dir_set", start_set ? "1" : "0");
        add("start_dir", start);
        add_num("time_start", now_filetime());
    }

    const std::string& program() const { return program_; }
    void add(const char* key, const std::string& value) { lines_ += kv(key, value); }
    void add_num(const char* key, unsigned long long value) { add(key, std::to_string(value)); }
    void add_hex(const char* key, unsigned long long value) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llX", value);
        add(key, buf);
    }

    // Appends the record, closed by its end line, in a single write.
    void write() {
        add_num("time_end", now_filetime());
        append_record(program_, lines_);
    }

private:
    std::string program_, lines_;
};

}  // namespace standin
