// Another host shown through SSH: one control master for the life of the
// program, and on each refresh one capture of the host's files, parsed and
// written as the machine root that the provider reads.  Qt-free.
#pragma once

#include <atomic>
#include <condition_variable>
#include <thread>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "Capture.h"
#include "RemoteView.h"
#include "Ssh.h"

namespace remote {

class RemoteMachine : public RemoteView {
public:
    // `destination` as ValidDestination allows; `sudoOwners` lists the
    // socket owners through `sudo -n` where the host lets the user.
    RemoteMachine(std::string destination, bool sudoOwners);
    ~RemoteMachine() override;

    // Whether the machine root could be made (a private folder).
    bool Ready() const { return !m_root.Path().empty(); }
    // The machine root to read: set it as the provider's before any reading.
    std::string Root() const { return m_root.Current(); }

    // Connects when not connected, takes one capture and switches the root
    // to it.  On failure the root is emptied, so that nothing stale is
    // shown, and the next call connects again.
    bool Refresh(std::string& error);

    // RemoteView.
    std::string Host() const override { return m_ssh.Destination(); }
    bool Connected() const override { return m_connected.load(); }
    std::string LastError() const override;

    // The size of the last answer, and the bytes of all the commands' input
    // and output so far.
    std::size_t LastAnswerBytes() const { return m_lastAnswer.load(); }
    std::size_t BytesSent() const { return m_ssh.BytesSent(); }
    std::size_t BytesReceived() const { return m_ssh.BytesReceived(); }

    // Refreshes on a thread of its own every `periodMs` (a refresh that
    // fails is tried again at the next period) until StopRefreshing or the
    // object goes.
    void StartRefreshing(int periodMs);
    void StopRefreshing();

    static constexpr int kConnectTimeoutMs = 30000;
    static constexpr int kCaptureTimeoutMs = 30000;

private:
    // The root first: the master's socket lives in its private folder.
    MachineRoot m_root;
    SshSession m_ssh;
    bool m_sudoOwners;
    std::atomic<bool> m_connected{false};
    std::atomic<std::size_t> m_lastAnswer{0};
    mutable std::mutex m_lock;
    std::string m_lastError;
    std::mutex m_refreshing;  // one refresh at a time
    std::thread m_thread;
    std::mutex m_stopLock;
    std::condition_variable m_stopWake;
    bool m_stop = false;
};

// The folder for private state: $XDG_RUNTIME_DIR when it is an absolute
// path, else /dev/shm (memory, as that is), else /tmp.
std::string PrivateParent();

}  // namespace remote
