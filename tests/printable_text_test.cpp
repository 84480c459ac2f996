// No text from outside acts on the window or the terminal: the rule itself
// on a table of hostile texts, the report tree that keeps every shown
// line, and the program printing another machine's hostile host name,
// domain and interface name in every format.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildOutput.h"
#include "ControlBytes.h"
#include "MemoryTree.h"
#include "PrintableText.h"
#include "TempDir.h"
#include "WideText.h"

namespace fs = std::filesystem;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kReturn = "\xE2\x8F\x8E";  // U+23CE

// Each case: a text of any bytes, as it shows, and as a command line shows
// it (line feeds as U+23CE).
struct Case {
    const char* what;
    std::string text;
    std::string shown;
    std::string commandLine;
};

std::vector<Case> Cases() {
    const std::string f = kFffd;
    std::string everyC0, everyC0Shown, everyC0Command;
    for (int c = 0; c < 0x20; ++c) {
        everyC0 += static_cast<char>(c);
        everyC0Shown += f;
        everyC0Command += c == '\n' ? kReturn : f;
    }
    const std::string kept = "tessaline-owners caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 " + f;
    return {
        {"ordinary text", kept, kept, kept},
        {"empty", "", "", ""},
        {"title and clear", "a\x1B]0;owned\x07\x1B[2Jb", "a" + f + "]0;owned" + f + f + "[2Jb",
         "a" + f + "]0;owned" + f + f + "[2Jb"},
        {"CSI as a byte", "\x9B" "1m", f + "1m", f + "1m"},
        {"CSI as U+009B", "\xC2\x9B" "1m", f + "1m", f + "1m"},
        {"every C0", everyC0, everyC0Shown, everyC0Command},
        {"DEL", "a\x7F", "a" + f, "a" + f},
        {"C1 first and last", "\xC2\x80\xC2\x9F", f + f, f + f},
        {"no-break space just past C1", "\xC2\xA0", "\xC2\xA0", "\xC2\xA0"},
        {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", f + f, f + f},
        {"their neighbours", "\xE2\x80\xA7\xE2\x80\xB0", "\xE2\x80\xA7\xE2\x80\xB0", "\xE2\x80\xA7\xE2\x80\xB0"},
        {"a lone byte", "x\xFF", "x" + f, "x" + f},
        {"an overlong NUL", "\xC0\x80", f + f, f + f},
        {"an overlong ESC", "\xC0\x9B", f + f, f + f},
        {"a surrogate", "\xED\xA0\x80", f + f + f, f + f + f},
        {"past U+10FFFF", "\xF4\x90\x80\x80", f + f + f + f, f + f + f + f},
        {"a sequence cut short", "a\xE2\x80", "a" + f + f, "a" + f + f},
        {"line feed", "sh -c 'a\nb'", "sh -c 'a" + f + "b'", "sh -c 'a" + kReturn + "b'"},
        {"CR LF and tab", "a\r\nb\tc", "a" + f + f + "b" + f + "c", "a" + f + kReturn + "b" + f + "c"},
    };
}

TEST(PrintableText, TheRuleOnEveryHostileText) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(PrintableUtf8(c.text), c.shown);
        EXPECT_EQ(PrintableUtf8(c.text, LineFeeds::Symbol), c.commandLine);
        // The same as UTF-16, where bytes outside UTF-8 are already U+FFFD.
        EXPECT_EQ(PrintableText(AnsiToWide(c.text)), AnsiToWide(c.shown));
        EXPECT_EQ(PrintableText(AnsiToWide(c.text), LineFeeds::Symbol), AnsiToWide(c.commandLine));
        EXPECT_EQ(FirstControlByte(c.shown, ""), "");
        EXPECT_EQ(FirstControlByte(c.commandLine, ""), "");
    }
}

TEST(PrintableText, UnpairedSurrogatesInUtf16) {
    struct {
        std::u16string text, shown;
    } const cases[] = {
        {u"\xD83D\xDE00", u"\xD83D\xDE00"},               // a pair: kept
        {u"a\xD800" u"b", u"a\uFFFD" u"b"},              // a high one alone
        {u"a\xDC00", u"a\uFFFD"},                        // a low one alone
        {u"\xDE00\xD83D", u"\uFFFD\uFFFD"},              // a pair reversed
        {u"\xD83D\xD83D\xDE00", u"\uFFFD\xD83D\xDE00"},  // a high one, then a pair
        {u"\xD800", u"\uFFFD"},                          // at the end
    };
    for (const auto& c : cases) EXPECT_EQ(PrintableText(c.text), c.shown) << WideToUtf8(c.text);
}

// Every line of a pane and of --print goes through the tree: whatever a
// report writes, appends, inserts or replaces, it keeps and prints only
// printable text, and keeps ordinary text as it is.
TEST(PrintableText, TheReportTreeKeepsOnlyPrintableText) {
    MemoryTree tree;
    const std::u16string ordinary = u"PID  1234 : sshd";
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"TCP Connections", 0);
    HTREEITEM plain = tree.AppendItem(root, ordinary, 3);
    std::vector<HTREEITEM> hostile;
    for (const Case& c : Cases()) {
        hostile.push_back(tree.AppendItem(root, AnsiToWide(c.text), 3));
        hostile.push_back(tree.InsertItem(root, plain, AnsiToWide("[ " + c.text + " ]"), 3));
        HTREEITEM changed = tree.AppendItem(hostile.back(), u"ok", 3);
        tree.SetItemText(changed, AnsiToWide(c.text + c.text));
        hostile.push_back(changed);
    }
    EXPECT_EQ(tree.Text(plain), ordinary);
    for (HTREEITEM item : hostile) {
        const std::string text = WideToUtf8(tree.Text(item));
        EXPECT_EQ(FirstControlByte(text, ""), "") << text;
    }
    const std::string printed = tree.Print();
    EXPECT_EQ(FirstControlByte(printed), "") << "the tree's own line feeds only";
    EXPECT_NE(printed.find("a" + kFffd + "]0;owned" + kFffd + kFffd + "[2Jb"), std::string::npos) << printed;
    EXPECT_EQ(FirstControlByte(tree.Print(root)), "");
}

// ----------------------------------------- another machine, hostile

// What the machine's host name holds: a title and a screen clear, BEL, CSI
// as a byte and as U+009B, DEL, U+2028 and a byte outside UTF-8, and none
// of the separators that would end a name where it is read.
const std::string kHostile = "\x1B]0;owned\x07\x1B[2J\x9B" "1m\xC2\x9B" "2J\x7F\xE2\x80\xA8\xFF";
// As every printer but JSON shows it.
const std::string kHostileShown =
    kFffd + "]0;owned" + kFffd + kFffd + "[2J" + kFffd + "1m" + kFffd + "2J" + kFffd + kFffd + kFffd;
// As JSON keeps it: exactly, each control character escaped.
const std::string kHostileJson = R"(\u001b]0;owned\u0007\u001b[2J)" + kFffd + R"(1m\u009b2J\u007f\u2028)" + kFffd;
// The same without ';' (a comment in the resolver's file) in at most 15
// bytes (an interface's name), for the domain and the interface.
const std::string kHostileName = "if\x1B[2J\x9B\xC2\x9B\x7F\xE2\x80\xA8\xFF";
const std::string kHostileNameShown = "if" + kFffd + "[2J" + kFffd + kFffd + kFffd + kFffd + kFffd;
const std::string kHostileNameJson = R"(if\u001b[2J)" + kFffd + R"(\u009b\u007f\u2028)" + kFffd;

bool WriteFile(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

// Runs the program with `args` on the machine below `root` (empty: this
// one); its output, its errors in `err` and its exit status in `status`.
std::string RunOn(const fs::path& root, const std::vector<std::string>& args, int& status, std::string& err) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return {};
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return {};
    }
    std::vector<char*> argv{const_cast<char*>(TESSALINE_BIN)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        unsetenv("TESSALINE_LIBRARY_PATH");  // the provider beside the program
        unsetenv("TESSALINE_PROC_ROOT");
        if (!root.empty()) setenv("TESSALINE_MACHINE_ROOT", root.c_str(), 1);
        execv(TESSALINE_BIN, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    std::string out;
    status = pid < 0 ? -1 : CollectOutput(pid, outPipe[0], errPipe[0], out, err, std::chrono::seconds(30));
    return out;
}

TEST(HostileMachine, NoPrinterPutsAControlByteOnTheTerminal) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const fs::path root = dir.Path() / "machine";
    // The machine-root fixture, with a hostile host name, domain and
    // interface name.
    std::error_code ec;
    fs::copy(fs::path(FIXTURE_DIR) / "machine-root", root, fs::copy_options::recursive, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string host = "host" + kHostile, domain = kHostileName + ".test", link = kHostileName;
    ASSERT_TRUE(WriteFile(root / "proc/sys/kernel/hostname", host + "\n"));
    ASSERT_TRUE(WriteFile(root / "etc/resolv.conf", "nameserver 192.0.2.53\nsearch " + domain + "\n"));
    fs::copy(root / "sys/class/net/ghost0", root / "sys/class/net" / link, fs::copy_options::recursive, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(WriteFile(root / "sys/class/net" / link / "ifindex", "77\n"));
    std::ofstream(root / "proc/net/dev", std::ios::app) << "  " << link << ": 1 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n";

    struct Run {
        std::vector<std::string> args;
        const char* lineEnd;
        std::vector<std::string> shows;  // texts the output must hold
    };
    const std::vector<Run> runs = {
        {{"--print", "network"}, "\n",
         {"  Hostname: host" + kHostileShown + "\n", "  Domain Name: " + kHostileNameShown + ".test\n"}},
        {{"--print", "interfaces"}, "\n", {"  " + kHostileNameShown + "\n"}},
        {{"--print", "network", "--format", "json"}, "\n",
         {R"("host":"host)" + kHostileJson + '"', R"("host_name":"host)" + kHostileJson + '"',
          R"("domain_name":")" + kHostileNameJson + R"(.test")"}},
        {{"--print", "network", "--format", "csv"}, "\r\n",
         {"host" + kHostileShown + "," + kHostileNameShown + ".test,"}},
        {{"--print", "network", "--format", "openmetrics"}, "\n",
         {"domain_name=\"" + kHostileNameShown + ".test\"", "host_name=\"host" + kHostileShown + '"'}},
        {{"--print", "interfaces", "--format", "json"}, "\n", {R"("interface":")" + kHostileNameJson + '"'}},
        {{"--print", "interfaces", "--format", "csv"}, "\r\n", {"\n" + kHostileNameShown + ","}},
        {{"--print", "interfaces", "--format", "openmetrics"}, "\n", {"device=\"" + kHostileNameShown + '"'}},
    };
    for (const Run& run : runs) {
        std::string command, err;
        for (const std::string& a : run.args) command += a + ' ';
        SCOPED_TRACE(command);
        int status = -1;
        const std::string out = RunOn(root, run.args, status, err);
        EXPECT_EQ(status, 0) << err;
        EXPECT_EQ(FirstControlByte(out, run.lineEnd), "");
        EXPECT_EQ(FirstControlByte(err), "");
        for (const std::string& text : run.shows) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    }
}

// A refused argument is quoted in the message, as the terminal can show it.
TEST(HostileMachine, RefusedArgumentsAreQuotedPrintable) {
    const std::vector<std::vector<std::string>> runs = {
        {"--print", kHostile},
        {"--format", kHostile},
        {"--watch", kHostile},
        {"--remote", "user@" + kHostile},
        {"--" + kHostile},
    };
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args.front());
        int status = -1;
        std::string err;
        const std::string out = RunOn({}, args, status, err);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(out, "");
        EXPECT_EQ(FirstControlByte(err), "");
        EXPECT_NE(err.find(kHostileShown + "'"), std::string::npos) << err;
    }
}

}  // namespace
