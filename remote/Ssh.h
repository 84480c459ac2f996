// One OpenSSH connection to another host for the life of the program: a
// control master started once, and each command run through it.  The
// user's own configuration, keys and known hosts apply; BatchMode is on, so
// that nothing ever waits for a password or a host key question, and host
// keys are checked as ssh always checks them.  TESSALINE_SSH_COMMAND, when
// set, replaces "ssh" (run by /bin/sh, as git runs GIT_SSH_COMMAND), e.g.
// "ssh -F /path/to/config".  The connection is compressed: the kernel's
// tables are text that shrinks some sixfold.  Qt-free.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace remote {

// Whether `destination` is a [USER@]HOST that ssh cannot take for an
// option or anything but a destination: not empty, not starting with '-',
// without blanks or control characters.
bool ValidDestination(const std::string& destination);

// Makes this process the reaper of its children's orphans, so that an ssh
// left by a shell that TESSALINE_SSH_COMMAND ran is reaped when its group
// is ended, not left to an init that may not.
void BecomeSubreaper();

class SshSession {
public:
    // `controlDir` holds the master's socket: a folder of ours.
    SshSession(std::string destination, std::string controlDir);
    ~SshSession();  // ends the master
    SshSession(const SshSession&) = delete;
    SshSession& operator=(const SshSession&) = delete;

    // Starts the master and waits until it is connected (its control socket
    // is there), at most `timeoutMs`.  False with ssh's own words.  The
    // master never outlives this process: a watcher ends it when this
    // process ends, even by a signal that leaves no time to clean up.
    bool Start(int timeoutMs, std::string& error);
    // Whether the master still runs.
    bool MasterAlive();
    // Runs `command` on the host through the master, `input` on its
    // standard input; its standard output in `output`, at most `maxBytes`.
    // False when it cannot be started, runs past `timeoutMs` (it is then
    // ended), writes more than `maxBytes`, or exits with a status other
    // than 0; `error` then says which, with ssh's last words.
    bool Run(const std::string& command, const std::string& input, std::size_t maxBytes, int timeoutMs,
             std::string& output, std::string& error);
    // Ends the master (when it runs).
    void Stop();
    // Makes a Run under way on another thread end at once, and every later
    // one fail, until Resume.
    void Cancel() { m_cancel = true; }
    void Resume() { m_cancel = false; }

    const std::string& Destination() const { return m_destination; }
    // Bytes sent and received by the commands run so far (their input and
    // output, not ssh's own framing).
    std::size_t BytesSent() const { return m_sent; }
    std::size_t BytesReceived() const { return m_received; }

private:
    std::vector<std::string> Command(const std::vector<std::string>& options) const;
    void EndWatcher();
    std::string m_destination;
    std::string m_socket;
    pid_t m_master = -1;
    int m_masterErr = -1;
    pid_t m_watcher = -1;  // ends the master when this process ends
    int m_life = -1;       // the pipe it watches
    std::atomic<std::size_t> m_sent{0};
    std::atomic<std::size_t> m_received{0};
    std::atomic<bool> m_cancel{false};
};

}  // namespace remote
