#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "expected_texts.h"

namespace fake {

namespace {

constexpr std::uintptr_t kLocalMachine = 0x80000002u;
constexpr std::uintptr_t kStdin = 0x10;

struct Process {
    Program program;
    int waits_left = 0;
    bool terminated = false;
    std::uint32_t terminated_status = 0;
};

struct World {
    State s;
    std::map<Op, int> counts;
    std::vector<std::pair<Op, int>> rules;  // nth call fails; 0: every call
    std::uintptr_t next_id = 0x100;
    std::map<std::uintptr_t, std::string> handles;  // open kernel handles and their kind
    std::map<std::uintptr_t, Process> processes;
    std::map<std::uintptr_t, std::string> keys;  // open keys and their paths
    std::set<std::uintptr_t> read_only_keys;
    std::vector<std::string> defects;  // closes of what was not open
    std::size_t defects_reported = 0;
    plat::Handle current_stdin = plat::Handle(kStdin);
    std::optional<Program> reader;  // the started program holding the pipe's read end
    std::size_t unread = 0;         // bytes in the pipe nobody drained
};

World& world() {
    static World w;
    return w;
}

void note(std::string line) { world().s.calls.push_back(std::move(line)); }

// Every operation that can fail starts here: it is logged as its name and
// what it was given, counted, and told whether a rule makes it fail.
bool call(Op op, const std::string& detail = "") {
    World& w = world();
    int n = ++w.counts[op];
    note(kOpNames[static_cast<int>(op)] + (detail.empty() ? "" : " " + detail));
    for (auto [rule_op, nth] : w.rules)
        if (rule_op == op && (nth == 0 || nth == n)) return true;
    return false;
}

// What an id stands for in one of the world's tables (handles, keys,
// processes), or nullptr.
template <class Map, class Id>
auto* find(Map& table, Id id) {
    auto it = table.find(static_cast<std::uintptr_t>(id));
    return it == table.end() ? nullptr : &it->second;
}

// Enters a value in one of the world's tables under a new id.
template <class Id, class Map, class Value>
Id add(Map& table, Value value) {
    table[world().next_id] = std::move(value);
    return Id(world().next_id++);
}

plat::Handle new_handle(const std::string& kind) { return add<plat::Handle>(world().handles, kind); }

bool is_open(plat::Handle handle, const std::string& kind_prefix) {
    const std::string* kind = find(world().handles, handle);
    return kind && kind->rfind(kind_prefix, 0) == 0;
}

// What an open handle is, as calls are logged by; a handle not open by its number.
std::string kind_of(plat::Handle handle) {
    const std::string* kind = find(world().handles, handle);
    return kind ? *kind : "h" + std::to_string(static_cast<std::uintptr_t>(handle));
}

plat::Key new_key(const std::string& path, bool read_only = false) {
    plat::Key key = add<plat::Key>(world().keys, path);
    if (read_only) world().read_only_keys.insert(static_cast<std::uintptr_t>(key));
    return key;
}

// A value of an open key; nothing for a key that is not open.
std::optional<std::string> value_of(plat::Key key, const char* name) {
    const std::string* path = find(world().keys, key);
    return path ? value(*path, name) : std::nullopt;
}

std::string normalize(std::string path) {
    if (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

std::string parent_of(const std::string& path) {
    std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos) return "";
    return slash == 2 ? path.substr(0, 3) : path.substr(0, slash);
}

std::uint32_t copy_out(const std::string& text, char* buf, std::uint32_t cap) {
    if (text.size() + 1 > cap) return static_cast<std::uint32_t>(text.size() + 1);
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return static_cast<std::uint32_t>(text.size());
}

// A text handed out whole, up to its first zero byte, as the platform reads it.
bool give(const std::string& text, kvi::Text& out) {
    out = kvi::Text::from(std::string_view(text.c_str()));
    return out.present();
}

// "S-1-5-32-544" in the platform's binary form.
plat::Sid sid_of(const std::string& text) {
    std::vector<std::uint64_t> parts;  // revision, authority, sub-authorities
    std::istringstream in(text.substr(2));
    for (std::string part; std::getline(in, part, '-');) parts.push_back(std::stoull(part));
    plat::Sid sid{};
    sid.bytes[0] = static_cast<std::uint8_t>(parts[0]);
    sid.bytes[1] = static_cast<std::uint8_t>(parts.size() - 2);
    sid.bytes[7] = static_cast<std::uint8_t>(parts[1]);
    for (std::size_t i = 2; i < parts.size(); ++i)
        for (int b = 0; b < 4; ++b) sid.bytes[8 + 4 * (i - 2) + b] = static_cast<std::uint8_t>(parts[i] >> (8 * b));
    return sid;
}

// What stands at p (a folder or a file, which exists), as the platform reads
// it: its list is walked in its binary form, as a real one is; on a volume
// without lists there is none to read.
bool facts_of(const std::string& p, plat::FolderFacts& out) {
    State& s = world().s;
    const FolderSecurity& security = s.security.count(p) ? s.security[p] : FolderSecurity();
    out.directory = s.dirs.count(p) > 0;
    out.reparse_point = security.reparse_point;
    if (out.volume_without_lists) return true;
    out.owner = sid_of(security.owner);
    out.has_list = security.has_list;
    std::vector<std::uint8_t> list = {2, 0, 0, 0, static_cast<std::uint8_t>(security.entries.size()), 0, 0, 0};
    for (const Ace& e : security.entries) {
        plat::Sid sid = sid_of(e.trustee);
        std::size_t sid_size = 8 + 4 * std::size_t(sid.bytes[1]);
        // Allowed 0 or denied 1; inherit-only with its children's flags (0x0B).
        list.insert(list.end(), {std::uint8_t(e.allows ? 0 : 1), std::uint8_t(e.inherit_only ? 0x0B : 0),
                                 static_cast<std::uint8_t>(8 + sid_size), 0});
        for (int b = 0; b < 4; ++b) list.push_back(static_cast<std::uint8_t>(e.rights >> (8 * b)));
        list.insert(list.end(), sid.bytes, sid.bytes + sid_size);
    }
    list[2] = static_cast<std::uint8_t>(list.size());
    list[3] = static_cast<std::uint8_t>(list.size() >> 8);
    return !out.has_list || plat::read_access_list(list.data(), out);
}

// The paths of the folders and files held open now.
std::vector<std::string> held_paths() {
    std::vector<std::string> out;
    for (auto& [id, kind] : world().handles)
        if (kind.rfind("held ", 0) == 0) out.push_back(kind.substr(5));
    return out;
}

template <class T, class F>
std::vector<std::string> texts(const std::vector<T>& items, F text) {
    std::vector<std::string> out;
    for (const T& item : items) out.push_back(text(item));
    return out;
}

}  // namespace

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

// One a letter, two for a letter of four bytes.
std::size_t utf16_units(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += ((c & 0xC0) != 0x80) + (c >= 0xF0);
    return n;
}

bool NoCase::operator()(const std::string& a, const std::string& b) const { return lower(a) < lower(b); }

State& state() { return world().s; }

FolderSecurity drive_root() {
    const std::string users = "S-1-5-11";
    return {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
            true,
            {{"S-1-5-32-544", true, 0x1F01FF},
             {"S-1-5-18", true, 0x1F01FF},
             {"S-1-5-32-545", true, 0x1200A9},
             {users, true, 0x1301BF, true},
             {users, true, 0x0004},
             {"S-1-3-0", true, 0x10000000, true}}};
}

void reset() {
    World& w = world();
    for (std::size_t i = w.defects_reported; i < w.defects.size(); ++i)
        std::fprintf(stderr, "fake: %s\n", w.defects[i].c_str());
    if (w.defects.size() > w.defects_reported) std::abort();
    w = World();
    w.s.dirs = {"C:\\", "C:\\Start", "C:\\Users\\Ann\\Start Menu\\Programs", "D:\\", "D:\\Kit"};
    w.s.files = {"D:\\Kit\\_instkvi.com"};
    w.s.security["C:\\"] = drive_root();
    w.s.registry["HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"];
    w.s.command_line = "setup";
}

void fail(Op op, int nth) { world().rules.emplace_back(op, nth); }
void fail_always(Op op) { world().rules.emplace_back(op, 0); }
int call_count(Op op) { return world().counts.count(op) ? world().counts[op] : 0; }

std::vector<std::string> leaks() {
    World& w = world();
    std::vector<std::string> out;
    for (auto& [id, kind] : w.handles) out.push_back("handle " + kind);
    for (auto& [id, path] : w.keys) out.push_back("key " + path);
    out.insert(out.end(), w.defects.begin(), w.defects.end());
    w.defects_reported = w.defects.size();
    return out;
}

void put_value(const std::string& key, const std::string& name, const std::string& bytes, std::uint32_t type) {
    world().s.registry[key][name] = RegValue{type, bytes};
}

std::optional<std::string> value(const std::string& key, const std::string& name) {
    auto k = world().s.registry.find(key);
    if (k == world().s.registry.end() || !k->second.count(name)) return std::nullopt;
    return k->second.at(name).bytes;
}

std::vector<std::string> box_list() {
    return texts(world().s.boxes, [](const Box& b) { return b.caption + ": " + b.text; });
}
std::vector<std::string> captions() { return texts(world().s.boxes, [](const Box& b) { return b.caption; }); }
std::vector<std::string> commands() {
    return texts(world().s.launches, [](const Launch& l) { return l.command_line; });
}

bool called(const std::string& call) { return std::count(world().s.calls.begin(), world().s.calls.end(), call) > 0; }

std::vector<std::string> calls_starting(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& c : world().s.calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

void plant_copy(const std::string& version, const std::string& path, std::optional<std::uint32_t> answer,
                bool hand_off_fails) {
    put_value(expected::kRecord, "Version", expected::sz(version));
    put_value(expected::kRecord, "InstPath", expected::sz(path));
    if (!path.empty()) {
        // The folders above it stand too, as they do on a machine.
        for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
            world().s.dirs.insert(path.substr(0, at));
        world().s.dirs.insert(path);
        world().s.files.insert(path + "\\Install.exe");
    }
    if (answer) probe_answers(*answer, hand_off_fails);
}

void probe_answers(std::uint32_t answer, bool hand_off_fails) {
    world().s.program = [=](const std::string& command) {
        bool probe = command.find("-verctrl") != std::string::npos;
        return Program{hand_off_fails && command.find("-register") != std::string::npos, probe ? answer : 0};
    };
}

void each_program_is(Program program) {
    world().s.program = [program](const std::string&) { return program; };
}

void bootstrap_needs_elevation() {
    world().s.program = [](const std::string& command) {
        Program p;
        p.needs_elevation = command.rfind("_instkvi.com", 0) == 0;
        return p;
    };
}

void usual_location(const FolderSecurity& security, bool there) {
    for (const char* dir : {"C:\\HalvikTorvanex", "C:\\HalvikTorvanex\\Install"}) {
        if (there) world().s.dirs.insert(dir);
        world().s.security[dir] = security;
    }
}

void enter(const std::string& dir) {
    world().s.dirs.insert(dir);
    world().s.cwd = dir;
}

void answer_file(std::string data) {
    world().s.stdin_kind = StdinKind::disk_file;
    world().s.stdin_data = std::move(data);
}

}  // namespace fake

// ----------------------------------------------------------------------------
// The seam, over the simulated machine.

namespace plat {

using namespace fake;

Key local_machine() { return Key(kLocalMachine); }

void restrict_dll_search() { note("restrict_dll_search"); }

const char* process_command_line() { return world().s.command_line.c_str(); }

std::uint32_t get_env(const char* name, char* buf, std::uint32_t cap) {
    auto it = world().s.env.find(name);
    if (call(Op::get_env, name) || it == world().s.env.end() || it->second.empty()) return 0;
    return copy_out(it->second, buf, cap);
}

bool set_env(const char* name, const char* value) {
    if (call(Op::set_env, std::string(name) + "=" + value)) return false;
    world().s.env[name] = value;
    return true;
}

// The system answers a length of 0 for a directory or path it cannot give:
// an empty one is a failure, as it is there.
bool current_dir(kvi::Text& out) {
    return !call(Op::current_dir, world().s.cwd) && !world().s.cwd.empty() && give(world().s.cwd, out);
}

bool set_current_dir(const char* path) {
    State& s = world().s;
    std::string p = normalize(path);
    if (call(Op::set_current_dir, path) || p.empty() || !s.dirs.count(p) || s.locked_dirs.count(p)) return false;
    s.cwd = p;
    return true;
}

MakeDir create_directory(const char* path, Acl acl) {
    State& s = world().s;
    s.dir_requests.emplace_back(path, acl);
    if (call(Op::create_directory, path)) return MakeDir::failed;
    std::string p = normalize(path), parent = parent_of(p);
    if (s.dirs.count(p) || s.files.count(p)) return MakeDir::already_exists;
    if (parent.empty() || !s.dirs.count(parent) || s.read_only.count(p) || s.read_only.count(parent))
        return MakeDir::failed;
    // The protected list names Administrators as the owner, which only an
    // elevated administrator may give (ERROR_INVALID_OWNER otherwise).
    if (acl == Acl::installed_folder && !s.elevated) return MakeDir::failed;
    s.dirs.insert(p);
    if (acl == Acl::inherited) s.security[p] = FolderSecurity{s.user, true, {{s.user, true, 0x1F01FF}}};
    return MakeDir::created;
}

// A held handle's kind is "held " and the path it was opened by.
Handle open_held(const char* path, bool folder, FolderFacts& out) {
    State& s = world().s;
    std::string p = normalize(path);
    if (call(Op::open_held, path + std::string(folder ? "" : " file"))) {
        s.last_error = 5;
        return Handle::invalid;
    }
    if (!s.dirs.count(p) && !s.files.count(p)) return Handle::none;
    out.volume_without_lists = s.volumes_without_lists.count(p.substr(0, 3)) > 0;
    if (!facts_of(p, out)) return Handle::invalid;
    return new_handle("held " + p);
}

bool fixed_drive(const char* root) {
    auto kind = world().s.drives.find(root);
    return !call(Op::fixed_drive, root) && (kind == world().s.drives.end() || kind->second == "fixed");
}

bool process_user(Sid& out) {
    if (call(Op::process_user)) return false;
    out = sid_of(world().s.user);
    return true;
}

bool process_elevated() {
    note("process_elevated");
    return world().s.elevated;
}

bool own_program_path(kvi::Text& out) {
    return !call(Op::own_program_path) && !world().s.own_path.empty() && give(world().s.own_path, out);
}

Key create_key(Key parent, const char* sub) {
    // Every key here lies under HKEY_LOCAL_MACHINE, which a standard user cannot write.
    if (call(Op::create_key, sub) || !world().s.elevated) return Key::none;
    const std::string* base = find(world().keys, parent);
    if (static_cast<std::uintptr_t>(parent) != kLocalMachine && !base) return Key::none;
    std::string path = (base ? *base : "HKLM") + "\\" + sub;
    world().s.registry[path];
    return new_key(path);
}

static Key open_existing(Key parent, const char* sub, bool read_only) {
    std::string path = std::string("HKLM\\") + sub;
    if (static_cast<std::uintptr_t>(parent) != kLocalMachine || !world().s.registry.count(path)) return Key::none;
    return new_key(path, read_only);
}

Key open_key_for_subkeys(Key parent, const char* sub) {
    if (call(Op::open_key_for_subkeys, sub) || !world().s.elevated) return Key::none;
    return open_existing(parent, sub, false);
}

Key open_key_for_reading(Key parent, const char* sub) {
    return call(Op::open_key_for_reading, sub) ? Key::none : open_existing(parent, sub, true);
}

bool set_string_value(Key key, const char* name, const char* data, std::uint32_t bytes) {
    const std::string* path = find(world().keys, key);
    if (call(Op::set_string_value, std::string(name) + " " + std::to_string(bytes))) return false;
    if (!path || world().read_only_keys.count(static_cast<std::uintptr_t>(key))) return false;
    world().s.registry[*path][name] = RegValue{1, std::string(data, bytes)};
    return true;
}

std::uint32_t read_string(Key key, const char* name, kvi::Text& out) {
    auto v = value_of(key, name);
    if (call(Op::read_string, name) || !v || v->empty()) return 0;
    auto size = static_cast<std::uint32_t>(world().s.size_estimate_utf16 ? 2 * utf16_units(*v) : v->size());
    if (call(Op::read_string_data, name) || !give(*v, out)) out.reset();
    return size;
}

bool close_key(Key key) {
    const std::string* path = find(world().keys, key);
    note("close_key " + (path ? *path : std::string("?")));
    if (!path) world().defects.push_back("a key closed twice or never opened");
    return world().keys.erase(static_cast<std::uintptr_t>(key)) > 0;
}

bool start_process(const StartRequest& request, Started& out) {
    World& w = world();
    std::string command = request.command_line ? request.command_line : "";
    bool failed = call(Op::start_process, command);
    fake::Program program = w.s.program ? w.s.program(command) : fake::Program{};
    if (failed || program.start_fails || !request.command_line) {
        w.s.last_error = 2;
        return false;
    }
    if (program.needs_elevation && !w.s.elevated) {
        out.elevation_required = true;
        w.s.last_error = 740;
        return false;
    }
    fake::Launch launch;
    if (request.application) launch.application = request.application;
    launch.command_line = command;
    launch.inherit_handles = request.inherit_handles;
    launch.new_console = request.new_console;
    launch.no_window = request.no_window;
    if (request.console) {
        launch.has_console_look = true;
        launch.title = request.console->title;
        launch.look = *request.console;
    }
    launch.cwd = w.s.cwd;
    if (w.s.env.count("KVI_START_DIR")) launch.start_dir = w.s.env["KVI_START_DIR"];
    launch.std_input = w.current_stdin;
    launch.held = held_paths();
    w.s.launches.push_back(launch);
    if (request.inherit_handles && is_open(w.current_stdin, "pipe read")) w.reader = program;
    out.process = new_handle("process");
    out.thread = new_handle("thread");
    w.processes[static_cast<std::uintptr_t>(out.process)] = Process{program, program.waits_before_end};
    return true;
}

bool start_elevated(const char* program, const char* arguments, const char* directory) {
    if (call(Op::start_elevated, std::string(program) + " " + arguments) || !world().s.prompt_accepted) return false;
    // The elevated program gets a fresh environment: no KVI_START_DIR.
    fake::Launch launch;
    launch.application = program;
    launch.command_line = arguments;
    launch.cwd = directory;
    launch.elevated = true;
    launch.held = held_paths();
    world().s.launches.push_back(launch);
    return true;
}

Wait wait_for(Handle process, std::uint32_t ms) {
    Process* p = is_open(process, "process") ? find(world().processes, process) : nullptr;
    if (call(Op::wait_for, std::to_string(ms)) || !p) return Wait::failed;
    if (ms == kInfinite || p->terminated) p->waits_left = 0;
    if (p->waits_left <= 0) return Wait::ended;
    --p->waits_left;
    return Wait::timed_out;
}

bool exit_code(Handle process, std::uint32_t& code) {
    const Process* p = is_open(process, "process") ? find(world().processes, process) : nullptr;
    if (call(Op::exit_code) || !p || (!p->terminated && p->program.status_unreadable)) return false;
    code = p->terminated ? p->terminated_status : p->waits_left > 0 ? 259 : p->program.exit_status;
    return true;
}

bool terminate(Handle process, std::uint32_t code) {
    Process* p = find(world().processes, process);
    if (call(Op::terminate, std::to_string(code)) || !p) return false;
    p->terminated_status = code;
    return p->terminated = true;
}

bool close_handle(Handle handle) {
    bool failed = call(Op::close_handle, kind_of(handle));
    // A handle is gone after a close, even one reported as failed.
    if (world().handles.erase(static_cast<std::uintptr_t>(handle))) return !failed;
    world().defects.push_back("a handle closed twice or never opened: " + kind_of(handle));
    return false;
}

void sleep_ms(std::uint32_t ms) {
    note("sleep_ms " + std::to_string(ms));
    world().s.slept_ms += ms;
}

Handle std_input() {
    World& w = world();
    bool own = static_cast<std::uintptr_t>(w.current_stdin) == kStdin;
    if (call(Op::std_input) || (own && w.s.stdin_kind == StdinKind::invalid)) return Handle::invalid;
    if (own && w.s.stdin_kind == StdinKind::none) return Handle::none;
    return w.current_stdin;
}

bool set_std_input(Handle handle) {
    bool own = static_cast<std::uintptr_t>(handle) == kStdin;
    if (call(Op::set_std_input, own ? "own input" : kind_of(handle))) return false;
    world().current_stdin = handle;
    return true;
}

bool std_input_redirected() {
    StdinKind kind = world().s.stdin_kind;
    bool redirected = kind == StdinKind::disk_file || kind == StdinKind::pipe || kind == StdinKind::null_device;
    return !call(Op::std_input_redirected) && redirected &&
           static_cast<std::uintptr_t>(world().current_stdin) == kStdin;
}

bool create_pipe(Handle& read_end, Handle& write_end) {
    if (call(Op::create_pipe)) return false;
    read_end = new_handle("pipe read");
    write_end = new_handle("pipe write");
    return true;
}

bool duplicate_uninheritable(Handle source, Handle& copy) {
    if (call(Op::duplicate_uninheritable) || !is_open(source, "pipe write")) return false;
    copy = new_handle("pipe write copy");
    return true;
}

bool read_file(Handle handle, void* buf, std::uint32_t n, std::uint32_t& got) {
    State& s = world().s;
    if (call(Op::read_file, std::to_string(n))) return false;
    got = 0;
    if (static_cast<std::uintptr_t>(handle) != kStdin) return false;
    s.read_sizes.push_back(n);
    if (s.stdin_kind == StdinKind::null_device) return true;  // at its end from the start
    std::size_t left = s.stdin_data.size() - s.stdin_pos;
    if (s.stdin_kind == StdinKind::pipe) left = std::min(left, s.pipe_chunk);
    got = static_cast<std::uint32_t>(std::min<std::size_t>(n, left));
    std::memcpy(buf, s.stdin_data.data() + s.stdin_pos, got);
    s.stdin_pos += got;
    return true;
}

bool write_file(Handle handle, const void* buf, std::uint32_t n, std::uint32_t& wrote) {
    World& w = world();
    if (call(Op::write_file, kind_of(handle) + " " + std::to_string(n))) return false;
    wrote = 0;
    if (is_open(handle, "append ")) {
        w.s.file_data[kind_of(handle).substr(7)].append(static_cast<const char*>(buf), n);
    } else if (!is_open(handle, "pipe write")) {
        return false;
    } else if (w.reader && w.reader->reads_input) {
        w.s.piped.append(static_cast<const char*>(buf), n);
    } else {
        // Nobody drains the pipe. With a read end still open here the write
        // blocks once the pipe is full; with none open it fails at once.
        bool readers = false;
        for (auto& [id, kind] : w.handles) readers = readers || kind == "pipe read";
        if (!readers) return false;
        if (w.unread + n > w.s.pipe_capacity) {
            w.s.relay_blocked = true;
            return false;
        }
        w.unread += n;
    }
    wrote = n;
    return true;
}

void write_stdout(const char* text, std::uint32_t n) { world().s.stdout_text.append(text, n); }
UtcTime utc_now() { return world().s.clock; }
std::uint32_t process_id() { return world().s.pid; }
std::uint32_t last_error() { return world().s.last_error; }

// --- Trace file ---

// A disk path as the system spells it: no \\?\ in front, \ for /.
static std::string spelt(std::string path) {
    if (path.rfind("\\\\?\\", 0) == 0) path.erase(0, 4);
    std::replace(path.begin(), path.end(), '/', '\\');
    return normalize(path);
}

Handle open_for_append(const char* path) {
    State& s = world().s;
    std::string p = spelt(path);
    if (call(Op::open_for_append, path) || s.dirs.count(p) || s.links.count(p) || !s.dirs.count(parent_of(p)))
        return Handle::invalid;
    s.files.insert(p);
    s.file_data[p];
    return new_handle("append " + p);
}

bool final_path(Handle file, kvi::Text& out) {
    if (call(Op::final_path, kind_of(file)) || !is_open(file, "append ")) return false;
    std::string name = kind_of(file).substr(7);
    auto elsewhere = world().s.final_paths.find(name);
    return give(elsewhere == world().s.final_paths.end() ? name : elsewhere->second, out);
}

// --- end: trace file ---

void message_box(const char* text, const char* caption, Icon icon) {
    note(std::string("message_box ") + caption);
    world().s.boxes.push_back(Box{text, caption, icon});
}

bool programs_folder(kvi::Text& out) { return !call(Op::programs_folder) && give(world().s.programs_folder, out); }

ShortcutMade make_shortcut(const Shortcut& shortcut) {
    State& s = world().s;
    ++s.com_inits;
    if (call(Op::create_shell_link)) return ShortcutMade::no_link;
    if (call(Op::link_persist)) return ShortcutMade::no_persist_file;
    (void)create_directory(shortcut.folder, Acl::inherited);
    if (call(Op::save_link, shortcut.file) || !s.dirs.count(parent_of(shortcut.file))) return ShortcutMade::not_saved;
    s.saved_links[shortcut.file] = fake::Link{shortcut.target, shortcut.description, shortcut.working_dir,
                                              shortcut.icon_path, shortcut.icon_index};
    return ShortcutMade::saved;
}

}  // namespace plat
