#include "trace.h"

#include "constants.h"
#include "start_dir.h"
#include "text.h"

namespace kvi::trace {

namespace {

// The longest line, its end included; a longer one is cut and says so.
constexpr std::size_t kLineMax = 16384;
constexpr std::string_view kCut = " [cut]";
constexpr std::string_view kEnd = "\r\n";
// CREATE_NEW_CONSOLE, the one creation flag a request can ask for.
constexpr std::uint32_t kNewConsole = 0x10;

struct State {
    plat::Handle file = plat::Handle::invalid;
    const char* program = "";
    std::uint32_t pid = 0;
};
State g_trace;

// One line on the heap, never longer than kLineMax.
class Line {
public:
    Line() { ok_ = text_.reserve(kLineMax); }
    // Appends s as it is, or as much as fits before the end.
    void raw(std::string_view s) {
        for (char c : s) put(c);
    }
    // Appends s with each control byte as \xNN, so that no name can break
    // the line or forge another one. UTF-8 stays as it is.
    void escaped(std::string_view s) {
        for (char c : s) {
            auto b = static_cast<unsigned char>(c);
            if (b >= 0x20 && b != 0x7F) {
                put(c);
                continue;
            }
            constexpr char kHex[] = "0123456789ABCDEF";
            char code[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
            if (!room(4)) return;
            raw(std::string_view(code, 4));
        }
    }
    // A number in decimal, with leading zeros up to width digits.
    void digits(std::uint32_t value, int width) {
        char buf[10];
        int n = 0;
        do buf[n++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (n < width && n < 10) buf[n++] = '0';
        while (n > 0) put(buf[--n]);
    }
    // Ends the line and writes it with one call, so lines of processes that
    // append at the same time never mix.
    void write() {
        if (!ok_) return;
        bool cut = full_;
        full_ = false;
        stop_ = kLineMax;
        if (cut) raw(kCut);
        raw(kEnd);
        std::uint32_t wrote = 0;
        (void)plat::write_file(g_trace.file, text_.c_str(), static_cast<std::uint32_t>(text_.size()), wrote);
    }

private:
    bool room(std::size_t n) {
        if (!full_ && text_.size() + n <= stop_) return true;
        full_ = true;
        return false;
    }
    void put(char c) {
        if (ok_ && room(1)) ok_ = text_.append(std::string_view(&c, 1));
    }

    Text text_;
    bool ok_ = false;
    bool full_ = false;  // something did not fit: the rest of the line is left out
    std::size_t stop_ = kLineMax - kCut.size() - kEnd.size();
};

// Starts a line with the time, the program and the process.
void stamp(Line& line) {
    plat::UtcTime t = plat::utc_now();
    line.digits(t.year, 4);
    line.raw("-");
    line.digits(t.month, 2);
    line.raw("-");
    line.digits(t.day, 2);
    line.raw("T");
    line.digits(t.hour, 2);
    line.raw(":");
    line.digits(t.minute, 2);
    line.raw(":");
    line.digits(t.second, 2);
    line.raw(".");
    line.digits(t.millisecond, 3);
    line.raw("Z ");
    line.escaped(g_trace.program);
    line.raw(" ");
    line.digits(g_trace.pid, 1);
    line.raw(" ");
}

// The program a request starts: the one it names, else its command line's
// first word (the platform's search starts from that).
std::string_view program_of(const plat::StartRequest& request) {
    if (request.application) return request.application;
    std::string_view line = request.command_line ? request.command_line : "";
    if (!line.empty() && line[0] == '"') return slice(line, 1, slice(line, 1).find('"'));
    return slice(line, 0, line.find(' '));
}

}  // namespace

Number Number::dec(std::int64_t value) {
    Number n;
    bool negative = value < 0;
    // Built from the end; the magnitude of the most negative value fits unsigned.
    std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buf[24];
    int at = 24;
    do buf[--at] = static_cast<char>('0' + v % 10);
    while ((v /= 10) != 0);
    if (negative) buf[--at] = '-';
    for (int i = at; i < 24; ++i) n.digits_[n.size_++] = buf[i];
    return n;
}

Number Number::hex(std::uint32_t value) {
    constexpr char kHex[] = "0123456789ABCDEF";
    Number n;
    n.digits_[0] = '0';
    n.digits_[1] = 'x';
    for (int i = 0; i < 8; ++i) n.digits_[2 + i] = kHex[(value >> (28 - 4 * i)) & 15];
    n.size_ = 10;
    return n;
}

bool on() { return g_trace.file != plat::Handle::invalid && g_trace.file != plat::Handle::none; }

void begin(const char* program) {
    g_trace = State();
    g_trace.program = program;
    char path[kPathMax];
    std::uint32_t n = plat::get_env(kVariable, path, kPathMax);
    // Read once: a name too long for the buffer is no trace, not a second read.
    if (n == 0 || n >= kPathMax) return;
    g_trace.file = plat::open_for_append(path);
    if (!on()) return;
    g_trace.pid = plat::process_id();
    const char* command_line = plat::process_command_line();
    Text dir;
    bool have_dir = read_current_dir(dir);
    note({"start: version ", kOwnVersion, "; command line <", command_line ? command_line : "", ">; current directory ",
          have_dir ? dir.view() : "unreadable"});
}

int end(int status) {
    if (!on()) return status;
    note({"exit status ", dec(status)});
    (void)plat::close_handle(g_trace.file);
    g_trace = State();
    return status;
}

void note(std::initializer_list<std::string_view> pieces) {
    if (!on()) return;
    Line line;
    stamp(line);
    for (std::string_view piece : pieces) line.escaped(piece);
    line.write();
}

void value_written(const char* name, const char* data, std::uint32_t bytes, bool ok) {
    if (!ok) return note({"value ", name, " not written"});
    std::string_view text(data, bytes);
    note({"value ", name, " written, ", dec(bytes), " bytes: ", slice(text, 0, text.find('\0'))});
}

void started(const plat::StartRequest& request, bool ok) {
    if (!on()) return;
    std::uint32_t error = ok ? 0 : plat::last_error();  // before any other call can change it
    std::string_view command = request.command_line ? request.command_line : "";
    Number flags = Number::hex(request.new_console ? kNewConsole : 0);
    std::string_view inherit = request.inherit_handles ? "; handles inherited" : "";
    if (ok)
        note({"started <", command, ">; program ", program_of(request), "; creation flags ", flags, inherit});
    else
        note({"not started <", command, ">; program ", program_of(request), "; creation flags ", flags, inherit,
              "; error ", dec(error)});
}

void box(const char* text, const char* caption, plat::Icon icon) {
    note({"box: ", caption});
    plat::message_box(text, caption, icon);
}

}  // namespace kvi::trace
