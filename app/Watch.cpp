// tessaline --watch: socket events on standard output as they happen.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "CommandLine.h"
#include "IpHelper.h"
#include "PrintableText.h"
#include "SocketFilter.h"
#include "SocketMonitor.h"

namespace {

// The signal handler's way out: one byte down a pipe that the main thread
// waits on (a handler may only write).
int g_stopWrite = -1;

void OnStopSignal(int) {
    if (g_stopWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(g_stopWrite, &byte, 1);
    }
}

bool Watched(unsigned tables, const sockets::Event& event) {
    for (unsigned i = 0; i < 4; ++i) {
        const auto table = static_cast<sockets::Table>(i);
        if ((tables & sockets::TableBit(table)) != 0 && event.protocol == sockets::ProtocolName(table)) return true;
    }
    return false;
}

}  // namespace

int WatchSockets(unsigned tables, std::FILE* out, std::FILE* err,
                 const std::shared_ptr<const sockets::Filter>& filter) {
    const sockets::Filter* matching = filter && !filter->IsEmpty() ? filter.get() : nullptr;
    if (!BindIpHelper()) {
        std::fprintf(err, "tessaline: the socket tables cannot be read: the IP helper library is missing\n");
        return 3;
    }
    int stop[2];
    if (pipe2(stop, O_CLOEXEC) != 0) {
        std::fprintf(err, "tessaline: cannot watch: %s\n", std::strerror(errno));
        return 1;
    }
    g_stopWrite = stop[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {}, oldTerm {}, oldPipe {};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    // A reader that goes away is a write error, not a signal that kills.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);

    std::atomic<bool> writeFailed = false;
    {
        std::string batch;
        sockets::Monitor::Callbacks callbacks;
        callbacks.events = [&](std::vector<sockets::Event>&& events) {
            batch.clear();
            for (const sockets::Event& event : events) {
                if (!Watched(tables, event)) continue;
                if (matching != nullptr && !matching->Matches(*sockets::EventRecord(event))) continue;
                // An owner's name may hold anything: made printable, so
                // that no process can send the terminal an escape.
                batch += PrintableUtf8(sockets::EventLine(event));
                batch += '\n';
            }
            if (batch.empty() || writeFailed) return;
            // One write and one flush per batch: a terminal or a pipe sees
            // each event as soon as it is known.
            if (std::fwrite(batch.data(), 1, batch.size(), out) != batch.size() || std::fflush(out) != 0) {
                writeFailed = true;
                OnStopSignal(0);
            }
        };
        sockets::Monitor monitor(std::move(callbacks), true);
        if (!monitor.HasCloseNotifications())
            std::fprintf(err,
                         "tessaline: the kernel's socket-close notifications are not available; sockets that open "
                         "and close within 2 s are not seen\n");
        monitor.TakeEvery(tables, std::chrono::milliseconds(2000));
        // Until a stop: says when owners of a watched table go missing, and
        // why, once each time the reason changes.
        std::string said[4];
        for (;;) {
            pollfd p{stop[0], POLLIN, 0};
            const int ready = poll(&p, 1, 1000);
            if (ready > 0 || (ready < 0 && errno != EINTR)) break;
            for (unsigned i = 0; i < 4; ++i) {
                const auto table = static_cast<sockets::Table>(i);
                if ((tables & sockets::TableBit(table)) == 0) continue;
                std::string why = OwnersIncompleteReason(i);
                if (why == said[i]) continue;
                if (!why.empty()) {
                    std::fprintf(err, "tessaline: owners of %s sockets are incomplete: %s\n",
                                 sockets::ProtocolName(table), why.c_str());
                    std::fflush(err);
                }
                said[i] = std::move(why);
            }
        }
    }  // the monitor's worker is joined here: nothing is written after
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    g_stopWrite = -1;
    close(stop[0]);
    close(stop[1]);
    if (writeFailed || std::fflush(out) != 0) return 1;
    return 0;
}
