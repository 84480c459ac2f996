// Tessaline: the window, or one report printed with --print.
//
// The window lives in libtessaline_window.so beside the program (or in
// ../lib/tessaline once installed), loaded only to open the window, so that
// the command line starts without loading the toolkit.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "CommandLine.h"
#include "PrintableText.h"
#include "RemoteMachine.h"
#include "Display.h"
#include "Privilege.h"

namespace {

// The window's entry point: the program's arguments, and the file to open as
// its document exactly as the command line gave it (bytes in no particular
// encoding), or null.
using RunWindowFn = int (*)(int, char**, const char*);
// Tells the window the remote host it shows, before it runs.
using SetRemoteFn = void (*)(const remote::RemoteView*);

// How often another host's state is captured: the refresh period of the
// live panes and of --watch.
constexpr int kRemotePeriodMs = 2000;

RunWindowFn LoadWindowModule(std::string& error, SetRemoteFn& setRemote) {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string path = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string();
    const std::string dir = path.substr(0, path.find_last_of('/'));
    for (const std::string& candidate :
         {dir + "/libtessaline_window.so", dir + "/../lib/tessaline/libtessaline_window.so"}) {
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            error = dlerror();
            continue;
        }
        if (void* entry = dlsym(module, "TessalineRunWindow")) {
            setRemote = reinterpret_cast<SetRemoteFn>(dlsym(module, "TessalineSetRemote"));
            return reinterpret_cast<RunWindowFn>(entry);
        }
        error = "libtessaline_window.so has no window";
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all, the program gives up any privilege it was started with
    // (see Privilege.h).  Root keeps its capabilities while it only prints a
    // report, and gives them up before the window is loaded.
    const bool root = RunsAsRoot();
    if (!root) {
        if (const std::string failure = ShedPrivilege(); !failure.empty()) {
            std::fprintf(stderr, "tessaline: cannot give up privilege: %s\n", failure.c_str());
            return 1;
        }
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine cl = ParseCommandLine(args);
    // Another host: one connection for the life of the program, and a first
    // capture of its state, which every report then reads instead of this
    // machine's.
    std::unique_ptr<remote::RemoteMachine> machine;
    if (cl.remote && (cl.action == CommandLine::Action::Print || cl.action == CommandLine::Action::Watch ||
                      cl.action == CommandLine::Action::Window)) {
        // A command that ends while we write its input is an error, not a
        // signal that kills.
        std::signal(SIGPIPE, SIG_IGN);
        const bool sudo = secure_getenv("TESSALINE_REMOTE_SUDO") != nullptr &&
                          std::string_view(secure_getenv("TESSALINE_REMOTE_SUDO")) == "1";
        machine = std::make_unique<remote::RemoteMachine>(*cl.remote, sudo);
        std::string error;
        if (!machine->Ready() || !machine->Refresh(error)) {
            // The error may quote the other host's words (ssh's last line,
            // a name from its answer): printable, as every text it sends.
            std::fprintf(stderr, "tessaline: cannot read %s: %s\n", PrintableUtf8(*cl.remote).c_str(),
                         error.empty() ? "no private folder for its state" : PrintableUtf8(error).c_str());
            return 3;
        }
        setenv("TESSALINE_MACHINE_ROOT", machine->Root().c_str(), 1);
        SetBeforeRereading([&machine] {
            std::string ignored;
            machine->Refresh(ignored);
        });
        if (cl.action == CommandLine::Action::Watch) machine->StartRefreshing(kRemotePeriodMs);
    }
    switch (cl.action) {
        case CommandLine::Action::Error:
            std::fprintf(stderr, "tessaline: %s\n", cl.error.c_str());
            if (cl.offerHelp) std::fputs("Try 'tessaline --help'.\n", stderr);
            return 2;
        case CommandLine::Action::Help: std::fputs(UsageText().c_str(), stdout); return 0;
        case CommandLine::Action::Version: std::puts("Tessaline 2.1"); return 0;
        case CommandLine::Action::Print:
            if (cl.format != CommandLine::Format::Text)
                return PrintRecords(cl.kinds, cl.format, stdout, stderr, cl.filter);
            return PrintReports(cl.kinds, stdout, stderr, cl.details, cl.filter);
        case CommandLine::Action::Watch: return WatchSockets(cl.watchTables, stdout, stderr, cl.filter);
        case CommandLine::Action::Window: break;
    }

    if (root) {
        if (const std::string failure = ShedPrivilege(); !failure.empty()) {
            std::fprintf(stderr, "tessaline: cannot give up privilege before opening the window: %s\n",
                         failure.c_str());
            return 1;
        }
    }
    std::string reason;
    if (!DisplayAvailable(reason)) {
        std::fprintf(stderr,
                     "tessaline: %s; the window needs a graphical display.\n"
                     "Use 'tessaline --print all' to print the reports as text.\n",
                     PrintableUtf8(reason).c_str());
        return 1;
    }
    std::string error;
    SetRemoteFn setRemote = nullptr;
    const RunWindowFn runWindow = LoadWindowModule(error, setRemote);
    if (runWindow == nullptr) {
        std::fprintf(stderr, "tessaline: cannot load the window: %s\n", PrintableUtf8(error).c_str());
        return 1;
    }
    if (machine) {
        // Started once privilege is given up: a thread keeps the
        // capabilities of the moment it is made.
        machine->StartRefreshing(kRemotePeriodMs);
        if (setRemote != nullptr) setRemote(machine.get());
    }
    return runWindow(argc, argv, cl.file ? cl.file->c_str() : nullptr);
}
