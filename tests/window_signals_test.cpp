// The window ended by a signal (kill, a logout's hang-up, Ctrl+C) quits
// through its event loop: it closes as by its Exit command, saving its
// layout, and exits with status 0.  And a home where the settings cannot be
// written is said once, not at every value.  The real program runs
// offscreen with settings of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildOutput.h"
#include "ProcStatus.h"
#include "TempDir.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program's window with its configuration, data and home folders in
// `home`; its standard error goes to a file there.  `wrap` runs before it
// (a shell that makes a read-only mount, then executes the program).
class Window {
public:
    Window(const std::filesystem::path& home, const std::vector<std::string>& wrap = {}) : m_home(home) {
        m_pid = fork();
        if (m_pid != 0) return;
        const int err = open((home / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (err < 0 || null < 0) _exit(126);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        unsetenv("TESSALINE_LIBRARY_PATH");
        std::vector<char*> argv;
        for (const std::string& word : wrap) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(const_cast<char*>(TESSALINE_BIN));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ~Window() {
        if (m_pid > 0) WaitBounded(m_pid, std::chrono::seconds(5));
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Waits until the window catches `signal` (its handler is in place),
    // 30 s at most.
    bool Catches(int signal) const {
        for (int i = 0; i < 3000; ++i) {
            const std::string caught = StatusField(ReadFile("/proc/" + std::to_string(m_pid) + "/status"), "SigCgt");
            if (!caught.empty() && (std::stoull(caught, nullptr, 16) >> (signal - 1) & 1) != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Sends `signal` and waits for the end, 60 s at most: the exit status,
    // or 128 + the signal that ended it.
    int EndBy(int signal) {
        kill(m_pid, signal);
        const int status = WaitBounded(m_pid, std::chrono::seconds(60));
        m_pid = -1;
        return status;
    }
    pid_t Pid() const { return m_pid; }
    std::string Errors() const { return ReadFile(m_home / "stderr"); }

private:
    std::filesystem::path m_home;
    pid_t m_pid = -1;
};

std::filesystem::path SettingsFile(const std::filesystem::path& home) {
    return home / "config" / "Ulvo Systems" / "Tessaline.conf";
}

void WriteSettings(const std::filesystem::path& home, const std::string& text) {
    std::filesystem::create_directories(SettingsFile(home).parent_path());
    std::ofstream(SettingsFile(home)) << text;
}

// Waits until the settings file holds `text`, 30 s at most.
bool SettingsHold(const std::filesystem::path& home, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
        if (ReadFile(SettingsFile(home)).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(WindowSignals, EndTheWindowThroughItsLoopWithItsLayoutSaved) {
    struct Case {
        const char* what;
        int signal;
        bool firstStart;  // the first start's About box open when the signal comes
    };
    const Case cases[] = {
        {"kill", SIGTERM, false},
        {"a logout's hang-up", SIGHUP, false},
        {"Ctrl+C", SIGINT, false},
        {"kill while the About box is open", SIGTERM, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir home("tessaline-signals-");
        ASSERT_FALSE(home.Path().empty());
        if (!c.firstStart) WriteSettings(home.Path(), "[Workspace]\nFirstRun=0\n");
        Window window(home.Path());
        ASSERT_GT(window.Pid(), 0);
        ASSERT_TRUE(window.Catches(c.signal)) << window.Errors();
        // Up and running (on a first start, its About box open): the mark
        // is written just before the box opens.
        if (c.firstStart) {
            ASSERT_TRUE(SettingsHold(home.Path(), "FirstRun=0")) << window.Errors();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(window.EndBy(c.signal), 0) << window.Errors();
        // Closed as by Exit: the layout saved.
        const std::string saved = ReadFile(SettingsFile(home.Path()));
        EXPECT_NE(saved.find("DockingManagers=@ByteArray("), std::string::npos) << saved;
        EXPECT_NE(saved.find("WindowPlacement=@ByteArray("), std::string::npos) << saved;
    }
}

// Settings in a folder that cannot be written (a read-only home): the window
// runs and ends as usual, says so once on stderr however many values it
// could not save, and leaves the file as it was.
TEST(WindowSignals, AReadOnlyHomeIsSaidOnce) {
    TempDir home("tessaline-readonly-");
    ASSERT_FALSE(home.Path().empty());
    const std::string before = "[Workspace]\nFirstRun=0\nApplicationLook=212\n";
    WriteSettings(home.Path(), before);
    const std::filesystem::path folder = SettingsFile(home.Path()).parent_path();
    std::vector<std::string> wrap;
    if (geteuid() == 0) {
        // Root writes anywhere its permissions say no: the folder is made
        // read-only by a mount, in a mount namespace of the window's own.
        if (system("unshare --mount --propagation private true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no mount namespace can be made here";
        wrap = {"unshare",
                "--mount",
                "--propagation",
                "private",
                "sh",
                "-c",
                "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$@\"",
                folder.string()};
    } else {
        ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    }
    {
        Window window(home.Path(), wrap);
        ASSERT_GT(window.Pid(), 0);
        ASSERT_TRUE(window.Catches(SIGTERM)) << window.Errors();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(window.EndBy(SIGTERM), 0) << window.Errors();
        const std::string errors = window.Errors();
        const std::string said = "tessaline: settings file " + SettingsFile(home.Path()).string() + " cannot be saved";
        std::size_t times = 0;
        for (std::size_t at = errors.find(said); at != std::string::npos; at = errors.find(said, at + 1)) ++times;
        EXPECT_EQ(times, 1u) << errors;
        EXPECT_NE(errors.find("changes are kept for this run only"), std::string::npos) << errors;
    }
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(ReadFile(SettingsFile(home.Path())), before);
}

}  // namespace
