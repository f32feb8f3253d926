#include "trace.h"

#include <cstdarg>

#include "constants.h"
#include "text.h"

namespace kvi::trace {

namespace {

// The longest line, its end included; a longer one is cut and says so.
constexpr std::size_t kLineMax = 16384;
constexpr char kCutEnd[] = " [cut]\r\n";
constexpr std::size_t kEndOnly = 6;  // kCutEnd + kEndOnly: the end of a line that was not cut
// Room kept behind the text for the cut mark and the line's end.
constexpr std::size_t kTextMax = kLineMax - (sizeof kCutEnd - 1);
// The creation flags a request can ask for: CREATE_NEW_CONSOLE, CREATE_NO_WINDOW.
constexpr std::uint32_t kNewConsole = 0x10;
constexpr std::uint32_t kNoWindow = 0x08000000;

// The trace of this process: the open file, or none. Trivial and all zero,
// so that no code runs for it at start or end and it costs no data section.
struct State {
    plat::Handle file;  // none while no trace is written
    const char* program;
    std::uint32_t pid;
};
State g;

// One line being built in a heap text of kLineMax bytes.
struct Line {
    char* data;
    std::size_t size;
    bool full;  // something did not fit: the rest of the line is left out

    void put(char c) {
        if (size < kTextMax && !full) data[size++] = c;
        else full = true;
    }
    // A number in decimal or hex, at least `width` digits with leading zeros.
    void number(std::uint32_t value, std::uint32_t base, int width) {
        char digits[10];
        int n = 0;
        do digits[n++] = "0123456789ABCDEF"[value % base];
        while ((value /= base) != 0);
        while (n < width) digits[n++] = '0';
        while (n > 0) put(digits[--n]);
    }
    void format(const char* f, va_list args) {
        for (; *f; ++f) {
            if (*f != '%') {
                put(*f);
                continue;
            }
            switch (*++f) {
                case '\0': return;  // a lone % at the end: nothing behind it is read
                case 's':
                    for (const char* s = va_arg(args, const char*); s && *s; ++s) {
                        auto b = static_cast<unsigned char>(*s);
                        if (b >= 0x20 && b != 0x7F) {
                            put(*s);
                        } else {
                            put('\\');
                            put('x');
                            number(b, 16, 2);
                        }
                    }
                    break;
                case 'x': number(va_arg(args, unsigned), 16, 8); break;
                case 'u': number(va_arg(args, unsigned), 10, 1); break;
                case '2':
                case '3':
                case '4': number(va_arg(args, unsigned), 10, *f - '0'); break;  // the time's fields
                default: break;  // a directive of no meaning writes nothing and takes no argument
            }
        }
    }
    void add(const char* f, ...) {  // NOLINT(cert-dcl50-cpp): as note(), for the time stamp
        va_list args;
        va_start(args, f);
        format(f, args);
        va_end(args);
    }
};

// Where the drive letter of a plain disk path stands (C:\... or
// \\?\C:\...), or -1. A UNC name would hand the user's credentials to
// another host (and a hung share stalls the run); a device name such as a
// pipe may reach a server that acts with this process's rights; a relative
// name lies in folders nobody has looked at.
int drive_at(const char* path) {
    int at = path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\' ? 4 : 0;
    char letter = static_cast<char>(path[at] | 0x20);
    bool disk = letter >= 'a' && letter <= 'z' && path[at + 1] == ':' && (path[at + 2] == '\\' || path[at + 2] == '/');
    return disk ? at : -1;
}

// Two names as the system compares them: A-Z in either case.
bool same_name(const char* a, const char* b) {
    for (; lower_ascii(*a) == lower_ascii(*b); ++a, ++b)
        if (*a == '\0') return true;
    return false;
}

// True for a name of n bytes that an elevated process may append to. Its
// environment can come from the unelevated half (an administrator's
// HKCU\Environment), so the name must not make the trace a script or a
// program: only a .log or .txt file, and no stream of another file (x.cmd:y.log
// would make x.cmd).
bool text_file_name(const char* path, std::size_t n, int drive) {
    bool stream = std::string_view(path, n).find(':', static_cast<std::size_t>(drive) + 2) != std::string_view::npos;
    return !stream && n >= 4 && (same_name(path + n - 4, ".log") || same_name(path + n - 4, ".txt"));
}

}  // namespace

bool on() { return g.file != plat::Handle::none; }

void begin(const char* program) {
    g = State{};
    g.program = program;
    char path[kPathMax];
    std::uint32_t n = plat::get_env(kVariable, path, kPathMax);
    // Read once: a name too long for the buffer means no trace, not a second read.
    if (n == 0 || n >= kPathMax) return;
    int drive = drive_at(path);
    if (drive < 0) return;
    bool elevated = plat::process_elevated();
    if (elevated && !text_file_name(path, n, drive)) return;
    plat::Handle file = plat::open_for_append(path);
    if (file == plat::Handle::invalid) return;
    // The file must read back from its handle as the name given: no junction
    // or link lay on the way at the open itself (folders looked at before it
    // could change in between). The read-back path has no \\?\ in front and
    // separates with \ only.
    Text read_back;
    if (elevated && !(plat::final_path(file, read_back) && same_name(read_back.c_str(), path + drive))) {
        (void)plat::close_handle(file);
        return;
    }
    g.file = file;
    g.pid = plat::process_id();
    Text dir;
    bool read = plat::current_dir(dir) && dir.size() < kPathMax;
    note("start %s <%s> in %s", kOwnVersion, plat::process_command_line(), read ? dir.c_str() : "unreadable");
}

int end(int status) {
    note("exit 0x%x", status);
    if (on()) (void)plat::close_handle(g.file);
    g.file = plat::Handle::none;
    return status;
}

void note(const char* f, ...) {  // NOLINT(cert-dcl50-cpp): see the header
    Text text;
    if (!on() || !text.reserve(kLineMax)) return;
    Line line{text.data(), 0, false};
    plat::UtcTime t = plat::utc_now();
    line.add("%4-%2-%2T%2:%2:%2.%3Z %s %u ", t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
             g.program, g.pid);
    va_list args;
    va_start(args, f);
    line.format(f, args);
    va_end(args);
    // The room kept behind the text takes the cut mark and the line's end.
    for (const char* tail = kCutEnd + (line.full ? 0 : kEndOnly); *tail; ++tail) line.data[line.size++] = *tail;
    // One write per line, so that the lines of processes that append at the
    // same time never mix.
    std::uint32_t wrote = 0;
    (void)plat::write_file(g.file, line.data, static_cast<std::uint32_t>(line.size), wrote);
}

void started(const plat::StartRequest& request, bool ok) {
    if (!on()) return;
    std::uint32_t error = ok ? 0 : plat::last_error();  // before any other call can change it
    // Without a program named, the command line's first word is the program.
    note(ok ? "started <%s> program %s flags 0x%x%s" : "not started <%s> program %s flags 0x%x%s error %u",
         request.command_line, request.application ? request.application : "(its first word)",
         (request.new_console ? kNewConsole : 0u) | (request.no_window ? kNoWindow : 0u),
         request.inherit_handles ? " inherit" : "", error);
}

}  // namespace kvi::trace
