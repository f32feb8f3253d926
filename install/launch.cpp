#include "launch.h"

#include "box.h"
#include "handles.h"
#include "platform.h"
#include "trace.h"

namespace kvi::install {

namespace {

#define KVI_CLASS_PATH                                                                                      \
    " -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"                             \
    ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data com.halvik.install.controlpanel.Install"
constexpr std::string_view kConsoleRuntime = "JRE\\bin\\java.exe" KVI_CLASS_PATH;
constexpr std::string_view kWindowedRuntime = "JRE\\bin\\javaw.exe" KVI_CLASS_PATH;
#undef KVI_CLASS_PATH
static_assert(kConsoleRuntime.size() == 183 && kWindowedRuntime.size() == 184, "base commands");

constexpr std::string_view base_command(bool console_runtime) {
    return console_runtime ? kConsoleRuntime : kWindowedRuntime;
}

constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kAccessViolation = 0xC0000005u;
constexpr std::uint32_t kRelayChunk = 4096;
constexpr std::uint32_t kWaitInterval = 2000;

// The console window a batch installation gets when nobody feeds it input.
constexpr plat::ConsoleLook kBatchConsole = {
    "Halvik Torvanex Install", 10, 10, 800, 600,
    0x74,  // red text on grey: FOREGROUND_RED | BACKGROUND_RED | BACKGROUND_GREEN | BACKGROUND_BLUE
    0x16,  // STARTF_USEPOSITION | STARTF_USESIZE | STARTF_USEFILLATTRIBUTE
};

// The pipe that carries Install's standard input to the application.
struct Relay {
    plat::Handle saved_input = plat::Handle::none;
    bool swapped = false;   // standard input is the pipe's read end until restore()
    OwnedHandle read_end;   // the application's standard input; inherited
    OwnedHandle write_end;  // our non-inheritable duplicate

    // A start that failed leaves standard input swapped: it goes back here.
    ~Relay() { (void)restore(); }

    // Makes the pipe's read end our standard input so the application
    // inherits it. On a failed step, shows that step's box, puts standard
    // input back and returns false: the caller then lets the application
    // read our own input instead.
    bool set_up() {
        saved_input = plat::std_input();
        plat::Handle read = plat::Handle::none, write = plat::Handle::none;
        if (!plat::create_pipe(read, write))
            return abandon("CreatePipe(&hChildStdinRd, &hChildStdinWr, &saAttr, 0)", "CreatePipe Error");
        read_end.reset(read);
        OwnedHandle inheritable_write(write);
        if (!plat::set_std_input(read))
            return abandon("SetStdHandle(STD_INPUT_HANDLE, hChildStdinRd)", "SetStdHandle Error");
        swapped = true;
        plat::Handle copy = plat::Handle::none;
        if (!plat::duplicate_uninheritable(write, copy)) return abandon("DuplicateHandle(...", "DuplicateHandle Error");
        write_end.reset(copy);
        // Only the read end may reach the application, or it never sees the end of its input.
        (void)inheritable_write.close();
        return true;
    }

    // Gives standard input back, once; false when that fails.
    bool restore() {
        if (!swapped) return true;
        swapped = false;
        return plat::set_std_input(saved_input);
    }

    // Reports a failed set-up step and drops the pipe, so that the
    // application inherits none of it.
    bool abandon(const char* text, const char* caption) {
        (void)restore();
        show_box(text, caption);
        (void)read_end.close();
        return false;
    }

    // After the start: gives standard input back and copies it into the pipe
    // until it ends or the application stops reading.
    void feed() {
        if (!restore()) show_box("SetStdHandle(STD_INPUT_HANDLE, hSaveStdin)", "SetStdHandle Error");
        if (saved_input == plat::Handle::invalid)
            show_box("(hInputFile == INVALID_HANDLE_VALUE)", "INVALID_HANDLE_VALUE Error");
        // The application holds its own copy of the read end; with ours gone a
        // write fails once the application has ended, instead of blocking forever.
        (void)read_end.close();
        char buffer[kRelayChunk];
        std::uint32_t relayed = 0;  // stops at its largest value
        const char* ended = "input ended";
        for (;;) {
            std::uint32_t got = 0, wrote = 0;
            if (!plat::read_file(saved_input, buffer, kRelayChunk, got)) {
                ended = "input unreadable";
                break;
            }
            if (got == 0) break;
            if (!plat::write_file(write_end.get(), buffer, got, wrote)) {
                ended = "application took no more";
                break;
            }
            relayed = wrote > UINT32_MAX - relayed ? UINT32_MAX : relayed + wrote;
        }
        trace::note("relay %u bytes, %s", relayed, ended);
        if (!write_end.close()) show_box("CloseHandle(hChildStdinWrDup)", "CloseHandle Error");
    }
};

// Waits until the application has ended, looking every two seconds. An
// exit status of 259 is a real status here: the process handle says when it ended.
void wait_for_end(plat::Handle process) {
    for (;;) {
        plat::Wait wait = plat::wait_for(process, kWaitInterval);
        if (wait == plat::Wait::timed_out) continue;
        std::uint32_t status = kStillActive;
        if (!plat::exit_code(process, status)) {
            show_box("Error Getting Process Code.", "Application Error", plat::Icon::error);
            (void)plat::terminate(process, kAccessViolation);
            return;
        }
        if (wait == plat::Wait::ended || status != kStillActive) return;
        // The wait itself failed: fall back to looking at the status.
        plat::sleep_ms(kWaitInterval);
    }
}

// The runtime's full path: the current directory (the installed folder) and
// the relative name the command starts with. Started by that path, no
// runtime that a search would find elsewhere (PATH) can stand in for a
// missing one. False when the directory cannot be read or the heap is exhausted.
bool resolve_runtime(Text& out, bool console_runtime) {
    Text dir;
    if (!plat::current_dir(dir) || dir.empty()) return false;
    out.reset();
    std::string_view base = base_command(console_runtime);
    return out.append_all(dir.view(), separator_after(dir.view()), slice(base, 0, base.find(' ')));
}

}  // namespace

bool build_launch_command(Text& out, bool console_runtime, const Text& tail) {
    out.reset();
    if (!out.append(base_command(console_runtime))) return false;
    return !tail.present() || out.append_all(" ", tail.view());
}

int launch_application(const Text& tail, const Options& options) {
    // A batch installation whose input comes from a file or a pipe gets that
    // input through the relay; one from the console gets a console of its own.
    bool redirected_batch = options.batch && plat::std_input_redirected();
    bool console_runtime = options.nojw || options.batch;
    bool quiet = options.silent || options.silent_launch;
    Text command;
    if (!build_launch_command(command, console_runtime, tail)) {
        if (!quiet)
            show_box("Error launching Install Application.  Possible memory allocation problem.",
                     "Application Launch Error", plat::Icon::error);
        return -1;
    }

    auto start_failed = [quiet] {
        if (!quiet) show_box("Error launching Install Application.", "Application Launch Error", plat::Icon::error);
        return -1;
    };
    // A runtime that cannot be named is one that cannot be started.
    Text runtime;
    if (!resolve_runtime(runtime, console_runtime)) return start_failed();

    Relay relay;
    bool piped = redirected_batch && relay.set_up();

    plat::StartRequest request;
    request.application = runtime.c_str();
    request.command_line = command.data();
    request.inherit_handles = redirected_batch;
    if (options.batch && !redirected_batch) {
        request.console = &kBatchConsole;
        request.new_console = true;
    }

    StartedProcess application;
    if (!application.start(request)) return start_failed();
    if (redirected_batch) {
        if (piped) relay.feed();
        wait_for_end(application.process());
    }
    return 0;
}

}  // namespace kvi::install
