#include "launch.h"

#include "boxes.h"
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

// Standard input while the application is started: the pipe's read end
// stands in for it from swap() until give_back(), on every way out at the latest.
class InputSwap {
public:
    explicit InputSwap(plat::Handle own) : own_(own) {}
    InputSwap(const InputSwap&) = delete;
    InputSwap& operator=(const InputSwap&) = delete;
    ~InputSwap() { (void)give_back(); }

    plat::Handle own() const { return own_; }
    bool swap(plat::Handle stand_in) { return swapped_ = plat::set_std_input(stand_in); }
    // Once; false when that fails.
    bool give_back() {
        if (!swapped_) return true;
        swapped_ = false;
        return plat::set_std_input(own_);
    }

private:
    plat::Handle own_;
    bool swapped_ = false;
};

// The pipe that carries Install's standard input to the application.
struct Pipe {
    OwnedHandle read_end;   // the application's standard input; inherited
    OwnedHandle write_end;  // our non-inheritable duplicate
};

// What the set-up came to: ready, or the step that failed, and their boxes.
enum class SetUp { ready, no_pipe, no_stand_in, no_duplicate };
constexpr Box kSetUpBoxes[] = {Box::pipe, Box::pipe_input, Box::duplicate};

// Makes the pipe's read end our standard input so the application inherits
// it. A failed step leaves standard input as it was and drops the pipe, so
// that the application inherits none of it and reads our own input instead.
SetUp set_up(Pipe& pipe, InputSwap& input) {
    // Only the read end may reach the application, or it never sees the end
    // of its input: the inheritable write end is closed on the way out.
    OwnedHandle inheritable_write;
    SetUp step = SetUp::no_pipe;
    if (plat::create_pipe(*pipe.read_end.put(), *inheritable_write.put()))
        step = !input.swap(pipe.read_end.get()) ? SetUp::no_stand_in
               : !plat::duplicate_uninheritable(inheritable_write.get(), *pipe.write_end.put()) ? SetUp::no_duplicate
               : SetUp::ready;
    if (step != SetUp::ready) {
        (void)input.give_back();
        (void)pipe.read_end.close();
    }
    return step;
}

// Copies standard input into the pipe until it ends or the application
// stops reading, and notes in the trace how far it got.
void relay(plat::Handle from, plat::Handle to) {
    char buffer[kRelayChunk];
    std::uint32_t relayed = 0;  // stops at its largest value
    const char* ended = "input ended";
    for (;;) {
        std::uint32_t got = 0, wrote = 0;
        if (!plat::read_file(from, buffer, kRelayChunk, got)) {
            ended = "input unreadable";
            break;
        }
        if (got == 0) break;
        if (!plat::write_file(to, buffer, got, wrote)) {
            ended = "application took no more";
            break;
        }
        relayed = wrote > UINT32_MAX - relayed ? UINT32_MAX : relayed + wrote;
    }
    trace::note("relay %u bytes, %s", relayed, ended);
}

// After the start: gives standard input back and relays it into the pipe.
void feed(Pipe& pipe, InputSwap& input) {
    if (!input.give_back()) show(Box::restore_input);
    if (input.own() == plat::Handle::invalid)
        show(Box::invalid_input);
    // The application holds its own copy of the read end; with ours gone a
    // write fails once the application has ended, instead of blocking forever.
    (void)pipe.read_end.close();
    relay(input.own(), pipe.write_end.get());
    if (!pipe.write_end.close()) show(Box::close);
}

// Waits until the application has ended, looking every two seconds. An
// exit status of 259 is a real status here: the process handle says when it ended.
void wait_for_end(plat::Handle process) {
    for (;;) {
        plat::Wait wait = plat::wait_for(process, kWaitInterval);
        if (wait == plat::Wait::timed_out) continue;
        std::uint32_t status = kStillActive;
        if (!plat::exit_code(process, status)) {
            show(Box::process_code);
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

Launch launch_application(const CommandLine& line) {
    // A batch installation whose input comes from a file or a pipe gets that
    // input through the relay; one from the console gets a console of its own.
    const Options& options = line.options;
    bool redirected_batch = options.batch && plat::std_input_redirected();
    bool console_runtime = options.nojw || options.batch;
    Text command;
    if (!build_launch_command(command, console_runtime, line.tail)) return Launch::no_command;

    // A runtime that cannot be named is one that cannot be started.
    Text runtime;
    if (!resolve_runtime(runtime, console_runtime)) return Launch::no_runtime;

    // A start that fails leaves standard input swapped: it goes back on the way out.
    Pipe pipe;
    InputSwap input(redirected_batch ? plat::std_input() : plat::Handle::none);
    SetUp set = redirected_batch ? set_up(pipe, input) : SetUp::ready;
    if (set != SetUp::ready) show(kSetUpBoxes[static_cast<int>(set) - 1]);

    plat::StartRequest request;
    request.application = runtime.c_str();
    request.command_line = command.data();
    request.inherit_handles = redirected_batch;
    if (options.batch && !redirected_batch) {
        request.console = &kBatchConsole;
        request.new_console = true;
    }

    StartedProcess application;
    if (!application.start(request)) {
        show(Box::launch, options.quiet());
        return Launch::not_started;
    }
    if (redirected_batch) {
        if (set == SetUp::ready) feed(pipe, input);
        wait_for_end(application.process());
    }
    return Launch::started;
}

}  // namespace kvi::install
