#include "RemoteMachine.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "PrintableText.h"

namespace remote {

std::string PrivateParent() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return runtime;
    // A capture is written every 2 s and read at once: in memory, never on
    // a disk.  What it may take there is bounded (kMaxCaptureBytes).
    struct stat info {};
    if (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) return "/dev/shm";
    return "/tmp";
}

RemoteMachine::RemoteMachine(std::string destination, bool sudoOwners)
    : m_root(PrivateParent()), m_ssh(std::move(destination), m_root.Path()), m_sudoOwners(sudoOwners) {
    BecomeSubreaper();
}

RemoteMachine::~RemoteMachine() {
    StopRefreshing();
    m_ssh.Stop();
}

void RemoteMachine::StartRefreshing(int periodMs) {
    StopRefreshing();
    m_stop = false;
    m_thread = std::thread([this, periodMs] {
        std::unique_lock<std::mutex> hold(m_stopLock);
        while (!m_stop) {
            const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs);
            hold.unlock();
            std::string ignored;
            Refresh(ignored);
            hold.lock();
            m_stopWake.wait_until(hold, next, [this] { return m_stop; });
        }
    });
}

void RemoteMachine::StopRefreshing() {
    m_ssh.Cancel();
    {
        std::lock_guard<std::mutex> hold(m_stopLock);
        m_stop = true;
    }
    m_stopWake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_ssh.Resume();
}

std::string RemoteMachine::LastError() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return PrintableUtf8(m_lastError);  // it may quote the other host's words
}

bool RemoteMachine::Refresh(std::string& error) {
    std::lock_guard<std::mutex> one(m_refreshing);
    const auto fail = [&](const std::string& why) {
        error = why;
        m_connected = false;
        std::string ignored;
        m_root.InstallEmpty(ignored);
        std::lock_guard<std::mutex> hold(m_lock);
        m_lastError = why;
        return false;
    };
    if (!Ready()) return fail("cannot make a private folder for the host's state");
    if (!m_ssh.MasterAlive() && !m_ssh.Start(kConnectTimeoutMs, error)) return fail(error);
    const std::string token = NewToken();
    std::string answer;
    if (!m_ssh.Run("sh -s", CaptureScript(token, m_sudoOwners), kMaxAnswerBytes, kCaptureTimeoutMs, answer, error)) {
        // The master may have lost its connection: started again next time.
        if (!m_ssh.MasterAlive()) m_ssh.Stop();
        return fail(error);
    }
    // The capture's texts are views into the answer, written from there.
    Capture capture;
    if (!ParseCapture(answer, token, capture, error)) return fail(error);
    m_lastAnswer = answer.size();
    if (!m_root.Install(capture, error)) return fail(error);
    m_connected = true;
    std::lock_guard<std::mutex> hold(m_lock);
    m_lastError.clear();
    return true;
}

}  // namespace remote
