#include "CommandLine.h"

#include <chrono>
#include <thread>

#include <charconv>
#include <climits>

#include <unistd.h>

#include <fstream>

#include "KindRecords.h"
#include "Ssh.h"
#include "MemoryTree.h"
#include "Writers.h"
#include "NetworkReport.h"
#include "PrintableText.h"
#include "SocketFilter.h"
#include "SocketMonitor.h"

namespace {

std::function<void()> g_beforeRereading;

// Builds a report; with `rates`, reads it a second time a moment later.  A
// socket gone by then is gone, not kept as closed.
void Read(CNetworkReport& report, bool rates) {
    if (rates) report.m_bMarkChanges = false;
    report.BuildReport();
    if (rates && !report.SnapshotFailed()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kDetailsIntervalMs));
        if (g_beforeRereading) g_beforeRereading();
        report.UpdateReport();
    }
}

struct KindName {
    const char* name;
    int kind;
};

constexpr KindName kKindNames[] = {
    {"icmp", kKindIcmpStatistics},          {"ip", kKindIpStatistics},
    {"udp-stats", kKindUdpStatistics},      {"tcp-stats", kKindTcpStatistics},
    {"network", kKindNetworkConfiguration}, {"adapters", kKindAdapterList},
    {"interfaces", kKindInterfaceList},     {"protocols", kKindProtocolList},
    {"udp", kKindUdpConnections},           {"tcp", kKindTcpConnections},
    {"udp6", kKindUdp6Connections},         {"tcp6", kKindTcp6Connections},
    {"ip6", kKindIp6Statistics},            {"log", kKindConnectionLog},
    {"processes", kKindProcesses},          {"listening", kKindListeningPorts},
};

}  // namespace

std::string UsageText() {
    return "Usage: tessaline [--] [FILE]\n"
           "       tessaline --print KIND [--details | --format FORMAT] [--filter EXPR]\n"
           "       tessaline --watch [tcp|udp|tcp6|udp6] [--filter EXPR]\n"
           "       tessaline --remote [USER@]HOST [--print KIND ... | --watch ... | FILE]\n"
           "       tessaline --help | --version\n"
           "\n"
           "Without arguments, opens the window with a new document; with FILE, opens\n"
           "the window with that file as its document.\n"
           "\n"
           "  --            end of the options: what follows is the file, even a name\n"
           "                that starts with '-'\n"
           "  --print KIND  print one report as text, without a display; KIND is a\n"
           "                number or a name: icmp 10, ip 11, udp-stats 12, tcp-stats 13,\n"
           "                network 14, adapters 15, interfaces 16, protocols 17, udp 18,\n"
           "                tcp 19, udp6 20, tcp6 21, ip6 22, log 23, processes 24,\n"
           "                listening 25, or all; the exit\n"
           "                status is 3 when the data of a report could not be read\n"
           "  --details     with --print: under each socket, its owner (process,\n"
           "                command line, user, service, container, start) and for TCP\n"
           "                its traffic; TCP tables are read twice, a second apart, for\n"
           "                the rates\n"
           "  --format FORMAT  with --print: text (the default), json (one document:\n"
           "                the host, the time, and each report's records), csv (one\n"
           "                table per report, each named on the line before it when\n"
           "                there are several), or openmetrics (counters, interfaces\n"
           "                and socket counts as metrics)\n"
           "  --watch [KIND]  print socket events as they happen, one line each, until\n"
           "                interrupted: sockets opened, closed or changing state, of\n"
           "                one table (tcp, udp, tcp6, udp6) or of all four\n"
           "  --filter EXPR  with --print or --watch: only the sockets, processes,\n"
           "                listening ports and log events that match EXPR (the other\n"
           "                reports print unchanged).  Words match any column's text,\n"
           "                without regard to case; field:value tests proto (tcp, udp,\n"
           "                tcp6, udp6), family (4, 6), addr, laddr, raddr (an address\n"
           "                or ADDRESS/BITS), port, lport, rport (N or LOW-HIGH), state\n"
           "                (established, listen, time-wait, ...), pid, proc, user and\n"
           "                service; -TERM negates, terms are AND-ed, 'or' between\n"
           "                terms, parentheses group, \"...\" quotes.  Example:\n"
           "                --filter 'proto:tcp (port:80 or port:443) -state:listen'\n"
           "  --remote [USER@]HOST  show another host, read over one SSH connection\n"
           "                with the user's own configuration and keys (BatchMode: no\n"
           "                question is asked); TESSALINE_SSH_COMMAND replaces 'ssh';\n"
           "                with TESSALINE_REMOTE_SUDO=1 the socket owners are listed\n"
           "                through 'sudo -n' where the host allows it\n"
           "  --help        show this text\n"
           "  --version     show the version\n";
}

void SetBeforeRereading(std::function<void()> hook) { g_beforeRereading = std::move(hook); }

std::optional<int> ParseReportKind(const std::string& text) {
    for (const KindName& k : kKindNames)
        if (text == k.name) return k.kind;
    long long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [p, ec] = std::from_chars(first, last, value);
    if (text.empty() || ec != std::errc() || p != last || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

const char* ReportKindName(int kind) {
    for (const KindName& k : kKindNames)
        if (k.kind == kind) return k.name;
    return "network";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    // A message may quote the argument it refuses, which may hold anything:
    // printable, so that it cannot act on the terminal.
    auto fail = [&cl](const std::string& message) {
        cl.action = CommandLine::Action::Error;
        cl.error = PrintableUtf8(message);
        return cl;
    };
    bool options = true;
    bool formatGiven = false;
    // An option that would replace another one given before is refused: one
    // action, one host.
    bool watchGiven = false;
    bool filterGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options) {
            if (a == "--") {
                options = false;
                continue;
            }
            if (a == "--help" || a == "-h") {
                cl.action = CommandLine::Action::Help;
                return cl;
            }
            if (a == "--version") {
                cl.action = CommandLine::Action::Version;
                return cl;
            }
            if (a == "--print") {
                if (i + 1 >= args.size()) return fail("--print needs a report kind");
                if (watchGiven) return fail("--print and --watch cannot be used together");
                const std::string& k = args[++i];
                cl.action = CommandLine::Action::Print;
                if (k == "all") {
                    for (int kind = kKindIcmpStatistics; kind <= kKindIp6Statistics; ++kind) cl.kinds.push_back(kind);
                } else if (auto kind = ParseReportKind(k)) {
                    cl.kinds.push_back(*kind);
                } else {
                    return fail("unknown report kind '" + k + "'");
                }
                continue;
            }
            if (a == "--format") {
                if (i + 1 >= args.size()) return fail("--format needs text, json, csv or openmetrics");
                const std::string& f = args[++i];
                if (f == "text") cl.format = CommandLine::Format::Text;
                else if (f == "json") cl.format = CommandLine::Format::Json;
                else if (f == "csv") cl.format = CommandLine::Format::Csv;
                else if (f == "openmetrics") cl.format = CommandLine::Format::OpenMetrics;
                else return fail("--format takes text, json, csv or openmetrics, not '" + f + "'");
                formatGiven = true;
                continue;
            }
            if (a == "--remote") {
                if (i + 1 >= args.size()) return fail("--remote needs a host");
                const std::string& host = args[++i];
                if (!remote::ValidDestination(host)) return fail("--remote takes [USER@]HOST, not '" + host + "'");
                if (cl.remote) return fail("--remote given twice: one host at a time");
                cl.remote = host;
                continue;
            }
            if (a == "--filter") {
                if (i + 1 >= args.size()) return fail("--filter needs an expression");
                if (filterGiven) return fail("--filter given twice: write both in one expression");
                filterGiven = true;
                sockets::FilterError error;
                cl.filter = sockets::ParseFilter(args[++i], &error);
                if (!cl.filter) {
                    // The reason and where are the whole message.
                    cl.offerHelp = false;
                    return fail("filter: " + error.reason + " at column " + std::to_string(error.column));
                }
                continue;
            }
            if (a == "--details") {
                cl.details = true;
                continue;
            }
            if (a == "--watch") {
                if (cl.action == CommandLine::Action::Print) return fail("--print and --watch cannot be used together");
                if (watchGiven) return fail("--watch given twice: one table or all four");
                watchGiven = true;
                cl.action = CommandLine::Action::Watch;
                cl.watchTables = sockets::kAllTables;
                if (i + 1 < args.size()) {
                    const std::optional<int> kind = ParseReportKind(args[i + 1]);
                    const std::optional<sockets::Table> table = kind ? SocketTableOfKind(*kind) : std::nullopt;
                    if (table) {
                        cl.watchTables = sockets::TableBit(*table);
                        ++i;
                    } else if (!args[i + 1].empty() && args[i + 1][0] != '-') {
                        return fail("--watch takes tcp, udp, tcp6 or udp6, not '" + args[i + 1] + "'");
                    }
                }
                continue;
            }
            if (a.size() > 1 && a[0] == '-') return fail("unknown option '" + a + "'");
        }
        if (cl.file) return fail("more than one file named");
        cl.file = a;
    }
    if (cl.action == CommandLine::Action::Print && cl.file) return fail("--print takes no file");
    if (cl.details && cl.action != CommandLine::Action::Print) return fail("--details goes with --print");
    if (formatGiven && cl.action != CommandLine::Action::Print) return fail("--format goes with --print");
    if (filterGiven && cl.action != CommandLine::Action::Print && cl.action != CommandLine::Action::Watch)
        return fail("--filter goes with --print or --watch");
    if (cl.details && cl.format != CommandLine::Format::Text) return fail("--details goes with the text format");
    if (cl.action == CommandLine::Action::Watch && cl.file) return fail("--watch takes no file");
    return cl;
}

namespace {

// Says which socket tables read in this run may lack owners, and why.  It
// changes no exit status: the tables were read in full, and an owner the
// search missed shows as PID 0, as one the user may not see does.
void SayMissingOwners(std::FILE* err) {
    for (unsigned i = 0; i < 4; ++i) {
        const std::string why = OwnersIncompleteReason(i);
        if (!why.empty())
            std::fprintf(err, "tessaline: owners of %s sockets are incomplete: %s\n",
                         sockets::ProtocolName(static_cast<sockets::Table>(i)), why.c_str());
    }
}

// The filter a report of `kind` is read with: null for none, for an empty
// expression (no cost for nothing), and for kinds it does not apply to.
std::shared_ptr<const sockets::Filter> FilterFor(int kind, const std::shared_ptr<const sockets::Filter>& filter) {
    return filter && !filter->IsEmpty() && FilterApplies(kind) ? filter : nullptr;
}

}  // namespace

bool FilterApplies(int kind) {
    return SocketTableOfKind(kind).has_value() || kind == kKindProcesses || kind == kKindListeningPorts ||
           kind == kKindConnectionLog;
}

int PrintReports(const std::vector<int>& kinds, std::FILE* out, std::FILE* err, bool details,
                 const std::shared_ptr<const sockets::Filter>& filter) {
    bool first = true;
    std::vector<int> failed;
    for (int kind : kinds) {
        // One report at a time: a report's status is read from the
        // process-wide snapshots, which the next report replaces.
        MemoryTree tree;
        CNetworkReport report(kind, DeferSnapshot{});
        report.SetReportTree(&tree);
        report.m_filter = FilterFor(kind, filter);
        const std::optional<sockets::Table> table = SocketTableOfKind(kind);
        bool rates = kind == kKindProcesses;
        if (details && table) {
            report.m_bDetailLines = true;
            rates = rates || *table == sockets::Table::Tcp || *table == sockets::Table::Tcp6;
        }
        Read(report, rates);
        if (report.SnapshotFailed()) failed.push_back(kind);
        if (!first) std::fputs("\n", out);
        first = false;
        const std::string text = tree.Print();
        std::fwrite(text.data(), 1, text.size(), out);
    }
    const bool written = std::fflush(out) == 0;
    for (int kind : failed)
        std::fprintf(err, "tessaline: no data for the %s report: the snapshot failed\n", ReportKindName(kind));
    SayMissingOwners(err);
    std::fflush(err);
    if (!written) return 1;
    return failed.empty() ? 0 : 3;
}

namespace {

// The name of the machine read, as the records name the host: another
// host's from its capture, else this machine's.
std::string HostName() {
    if (const char* root = secure_getenv("TESSALINE_MACHINE_ROOT"); root != nullptr && *root != '\0') {
        std::ifstream file(std::string(root) + "/proc/sys/kernel/hostname");
        std::string name;
        std::getline(file, name);
        return name.substr(0, 256);
    }
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The records of a filtered report, kept as its lines were: the rows the
// filter kept of a socket table, the processes or the listening ports (the
// records come in the lines' order), and the log's events that match.
void KeepFilteredRecords(const CNetworkReport& report, std::vector<records::Table>& tables) {
    if (!report.m_filter || tables.empty()) return;
    std::vector<bool> keep;
    if (report.m_nKind == kKindConnectionLog) {
        for (const sockets::Event& event : sockets::ProcessConnectionLog().Events())
            keep.push_back(report.m_filter->Matches(*sockets::EventRecord(event)));
    } else {
        keep = report.FilterKept();
    }
    std::vector<std::vector<records::Cell>>& rows = tables.front().rows;
    std::size_t to = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i >= keep.size() || !keep[i]) continue;
        if (to != i) rows[to] = std::move(rows[i]);
        ++to;
    }
    rows.resize(to);
}

}  // namespace

int PrintRecords(const std::vector<int>& kinds, CommandLine::Format format, std::FILE* out, std::FILE* err,
                 const std::shared_ptr<const sockets::Filter>& filter) {
    std::vector<int> failed;
    std::vector<records::Table> tables;
    const std::int64_t timeMs = NowMs();
    for (int kind : kinds) {
        // One report at a time, as for text: a report's status and data are
        // read from the process-wide snapshots, which the next one replaces.
        MemoryTree tree;
        CNetworkReport report(kind, DeferSnapshot{});
        report.SetReportTree(&tree);
        report.m_bFactsHere = SocketTableOfKind(kind).has_value();
        report.m_bKeepSummary = true;
        report.m_filter = FilterFor(kind, filter);
        Read(report, kind == kKindProcesses);
        if (report.SnapshotFailed()) failed.push_back(kind);
        std::vector<records::Table> ofKind = RecordsOfReport(report);
        KeepFilteredRecords(report, ofKind);
        for (records::Table& t : ofKind) tables.push_back(std::move(t));
    }
    std::string text;
    switch (format) {
        case CommandLine::Format::Json: text = records::ToJson(HostName(), timeMs, tables) + "\n"; break;
        case CommandLine::Format::Csv: text = records::ToCsv(tables, tables.size() > 1); break;
        case CommandLine::Format::OpenMetrics: text = metrics::ToOpenMetrics(MetricsOfRecords(tables)); break;
        case CommandLine::Format::Text: break;
    }
    std::fwrite(text.data(), 1, text.size(), out);
    const bool written = std::fflush(out) == 0 && !std::ferror(out);
    for (int kind : failed)
        std::fprintf(err, "tessaline: no data for the %s report: the snapshot failed\n", ReportKindName(kind));
    SayMissingOwners(err);
    std::fflush(err);
    if (!written) return 1;
    return failed.empty() ? 0 : 3;
}
