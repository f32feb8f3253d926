#include <map>

#include "expected_texts.h"
#include "fault_matrix.h"
#include "install_flow.h"
#include "setup_flow.h"

namespace fault {

namespace {

using expected::kJava;
using expected::kJavaw;
using expected::kRecord;

// Bytes of the answer file that the relay scenario redirects to standard
// input: more than two reads of 4096 bytes.
constexpr std::size_t kAnswerFileSize = 10000;

// An installed copy whose Install.exe answers setup's probe.
std::function<void(fake::State&)> installed(std::string version, std::string path) {
    return [=](fake::State&) { fake::plant_copy(version, path, expected::kProbeAnswer); };
}

// Install in C:\Kit, beside its Java runtime.
void kit(fake::State& m) { m.dirs.insert("C:\\Kit"); }

// ... with its standard input redirected from an answer file, and a Java
// application that runs for one look of the wait before it ends.
void kit_with_answer_file(fake::State& m) {
    kit(m);
    m.stdin_kind = fake::StdinKind::disk_file;
    m.stdin_data.assign(kAnswerFileSize, 'a');
    m.program = [](const std::string&) {
        fake::Program p;
        p.waits_before_end = 1;
        return p;
    };
}

std::vector<Scenario> make_scenarios() {
    const std::set<std::string> kRegistration = {"DisplayName", "InstPath", "UninstCmd", "UninstallString", "Version"};
    std::vector<Scenario> s;

    // setup: the medium in D:\Kit.
    s.push_back({"setup_no_copy", Program::setup, "", "D:\\Kit\\setup.exe", nullptr,
                 {0, {"_instkvi.com -s"}, {}, {"OriginalSource"}}});
    s.push_back({"setup_current_copy", Program::setup, "", "D:\\Kit\\setup.exe -nosplash",
                 installed("1.8-002", "C:\\Kit"),
                 {0,
                  {"C:\\Kit\\Install.exe -verctrl", "C:\\Kit\\Install.exe -silentLaunch -register  -nosplash"},
                  {},
                  {"OriginalSource"}}});
    s.push_back({"setup_older_copy", Program::setup, "", "D:\\Kit\\setup.exe", installed("1.7-999", "C:\\Old"),
                 {0, {"_instkvi.com -s -f C:\\Old"}, {}, {"OriginalSource"}}});
    // The usual location as an earlier run of this user left it.
    s.push_back({"setup_second_run", Program::setup, "", "D:\\Kit\\setup.exe",
                 [](fake::State& m) {
                     for (const char* dir : {"C:\\HalvikTorvanex", "C:\\HalvikTorvanex\\Install"}) {
                         m.dirs.insert(dir);
                         m.security[dir].owner = m.user;
                     }
                 },
                 {0, {"_instkvi.com -s"}, {}, {"OriginalSource"}}});
    s.push_back({"setup_batch", Program::setup, "", "D:\\Kit\\setup.exe -batch c:\\answers.txt", nullptr,
                 {0, {"_instkvi.com -s -a  -batch  c:\\answers.txt"}, {}, {"OriginalSource"}}});
    s.push_back({"setup_force", Program::setup, "", "D:\\Kit\\setup.exe -force", installed("1.8-002", "C:\\Kit"),
                 {0, {"_instkvi.com -s -a  -force"}, {}, {"OriginalSource"}}});
    s.push_back({"setup_standard_user", Program::setup, "", "D:\\Kit\\setup.exe -nosplash",
                 [](fake::State& m) {
                     installed("1.8-002", "C:\\Kit")(m);
                     m.elevated = false;
                 },
                 {0,
                  {"C:\\Kit\\Install.exe -verctrl", "C:\\Kit\\Install.exe -silentLaunch -register  -nosplash"},
                  {"Registration Error"},
                  {}}});
    s.push_back({"setup_elevated_bootstrap", Program::setup, "", "D:\\Kit\\setup.exe", [](fake::State& m) {
                     m.elevated = false;
                     m.program = [](const std::string& command) {
                         fake::Program p;
                         p.needs_elevation = command.rfind("_instkvi.com", 0) == 0;
                         return p;
                     };
                 },
                 {0, {"runas D:\\Kit\\_instkvi.com -s -f  in d:\\kit"}, {"Registration Error"}, {}}});
    s.push_back({"setup_target", Program::setup, "", "D:\\Kit\\setup.exe -target c:\\inst",
                 installed("1.7-999", "C:\\Old"), {0, {"_instkvi.com -s -f  c:\\inst -a "}, {}, {"OriginalSource"}}});

    // Install in C:\Kit, in each launch mode and with registration.
    const std::string exe = "C:\\Kit\\Install.exe";
    s.push_back({"install_windowed", Program::install, exe, exe, kit, {0, {kJavaw}, {}, {}}});
    s.push_back({"install_nojw", Program::install, exe, exe + " -nojw", kit, {0, {kJava + "  -nojw"}, {}, {}}});
    s.push_back({"install_batch_console", Program::install, exe, exe + " -batch c:\\answers.txt", kit,
                 {0, {kJava + "  -batch c:\\answers.txt"}, {}, {}}});
    s.push_back({"install_batch_relay", Program::install, exe, exe + " -batch c:\\answers.txt", kit_with_answer_file,
                 {0, {kJava + "  -batch c:\\answers.txt"}, {}, {}, false, kAnswerFileSize}});
    s.push_back({"install_register", Program::install, exe, exe + " -register", kit,
                 {0, {kJavaw + "  -register"}, {}, kRegistration, true}});
    s.push_back({"install_register_noexecute", Program::install, exe, exe + " -register -noexecute", kit,
                 {0, {}, {}, kRegistration, true}});
    s.push_back({"install_handed_off", Program::install, exe, exe + " -silentLaunch -register  -nosplash", kit,
                 {0, {kJavaw + "  -silentlaunch -register  -nosplash"}, {}, kRegistration, true}});
    s.push_back({"install_verctrl", Program::install, exe, exe + " -verctrl", kit, {-1110, {}, {}, {}}});

    // Three of them again with the trace on, which must change nothing.
    auto traced = [&s](const char* name, const char* twin) {
        for (const Scenario& t : s)
            if (t.name == std::string(twin)) {
                Scenario copy = t;
                copy.name = name;
                copy.traced = true;
                copy.prepare = [original = t.prepare](fake::State& m) {
                    if (original) original(m);
                    m.env["KVI_TRACE"] = expected::kTraceFile;
                };
                s.push_back(std::move(copy));
                return;
            }
    };
    traced("setup_no_copy_traced", "setup_no_copy");
    traced("setup_current_copy_traced", "setup_current_copy");
    traced("install_handed_off_traced", "install_handed_off");
    return s;
}

using Registry = std::map<std::string, fake::RegKey, fake::NoCase>;

std::set<std::string> changed_values(const Registry& before, const Registry& after) {
    std::set<std::string> out;
    for (const auto& [key, values] : after)
        for (const auto& [name, value] : values) {
            auto k = before.find(key);
            bool same = k != before.end() && k->second.count(name) && k->second.at(name).bytes == value.bytes &&
                        k->second.at(name).type == value.type;
            if (!same) out.insert(name);
        }
    return out;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Reaction& r) {
    out << "{status " << r.status << ", launches [";
    for (const auto& l : r.launches) out << "\n    \"" << l << "\"";
    out << "], boxes [";
    for (const auto& b : r.boxes) out << "\"" << b << "\" ";
    out << "], written [";
    for (const auto& w : r.written) out << w << " ";
    out << "], link " << (r.link ? "saved" : "none") << ", relayed " << r.relayed << "}";
    return out;
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = make_scenarios();
    return all;
}

void prepare(const Scenario& s) {
    fake::State& m = fake::state();
    m.command_line = s.command_line;
    if (s.prepare) s.prepare(m);
}

Reaction run_prepared(const Scenario& s) {
    fake::State& m = fake::state();
    Registry before = m.registry;
    Reaction r;
    r.status = s.program == Program::setup ? kvi::setup::run() : kvi::install::run(s.own_name.c_str());
    // A start through the elevation prompt: "runas", the program, its arguments and its directory.
    for (const auto& l : m.launches)
        r.launches.push_back(l.elevated ? "runas " + l.application + " " + l.command_line + " in " + l.cwd : l.command_line);
    for (const auto& b : m.boxes) r.boxes.push_back(b.caption);
    r.written = changed_values(before, m.registry);
    r.link = !m.saved_links.empty();
    r.relayed = m.piped.size();
    return r;
}

}  // namespace fault
