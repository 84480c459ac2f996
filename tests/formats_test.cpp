// The reports as records for other tools, on scripted provider data: the
// JSON document against a schema of the tests' own, the CSV read back by a
// CSV reader and compared field by field with the JSON records, the
// OpenMetrics text through the Prometheus client's strict parser, and the
// values that came through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FakeReportFixture.h"
#include "FakeWinsock.h"
#include "TempDir.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";
const std::string kChecker = std::string(FIXTURE_DIR) + "/../formats/check_formats.py";
const std::string kSchema = std::string(FIXTURE_DIR) + "/../formats/records.schema.json";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `command`; its standard output, and its exit status in `status`.
std::string RunCommand(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return out;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    const int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

void SetWide(WCHAR* field, std::size_t size, std::u16string_view text) {
    for (std::size_t i = 0; i + 1 < size && i < text.size(); ++i) field[i] = text[i];
}

constexpr const char* kHostileHost = "host \"a\",\nb\\c\xFF\x1B]0;x\x07\x9B\xC2\x9B\x7F\xE2\x80\xA8";

class Formats : public FakeReportFixture {
protected:
    void SetUp() override {
        FakeReportFixture::SetUp();
        FakeWinsock() = FakeWinsockScript{};
        if (access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
        // Counters past the signed range: the records keep them unsigned.
        fake_->tcp.fill = 0xFFFFFFF0u;
        fake_->tcp.step = 1;
        fake_->ip.fill = 7;
        fake_->ip.step = 3;
        fake_->icmp6.fill = 1;
        fake_->icmp6.step = 1;
        // A host name that a writer must quote, escape and make valid, and
        // that would act on a terminal: ESC, BEL, CSI as a byte and as
        // U+009B, DEL, U+2028.
        fake_->networkParamsContent.scripted = true;
        FakeSetField(fake_->networkParamsContent.hostName, kHostileHost);
        FakeSetField(fake_->networkParamsContent.dnsServers[0], "192.0.2.53");
        fake_->networkParamsContent.dnsServerCount = 1;
        // Two interfaces, one past 32-bit counters, one whose name holds
        // what every format must escape (and a lone surrogate).
        fake_->if2RowCount = 2;
        MIB_IF_ROW2& eth = fake_->if2Rows[0];
        eth.InterfaceIndex = 2;
        SetWide(eth.Alias, 257, u"eth0");
        eth.PhysicalAddressLength = 6;
        const unsigned char mac[6] = {0x02, 0xAB, 0, 0, 0, 1};
        std::memcpy(eth.PhysicalAddress, mac, 6);
        eth.Mtu = 1500;
        eth.Type = 6;
        eth.OperStatus = IfOperStatusUp;
        eth.AdminStatus = NET_IF_ADMIN_STATUS_UP;
        eth.TransmitLinkSpeed = 10'000'000'000ull;
        eth.InOctets = 5'000'000'000ull;
        eth.OutOctets = 17;
        eth.InUcastPkts = 4'000'000'000ull;
        eth.InNUcastPkts = 1'000'000'000ull;
        MIB_IF_ROW2& odd = fake_->if2Rows[1];
        odd.InterfaceIndex = 3;
        SetWide(odd.Alias, 257, u"we\"ird\\\n,\xD800\x1B[2J\x9B\x7F\x2029");
        odd.OperStatus = IfOperStatusDown;
        odd.AdminStatus = NET_IF_ADMIN_STATUS_DOWN;
        // Sockets of both families.
        fake_->tcpTable.rows[0] = 3;
        fake_->udpTable.rows[0] = 1;
        fake_->tcp6Table.rows[0] = 1;
        fake_->tcp6RowCount = 1;
        MIB_TCP6ROW_OWNER_PID& six = fake_->tcp6Rows[0];
        six.ucLocalAddr[0] = 0xfe;
        six.ucLocalAddr[1] = 0x80;
        six.ucLocalAddr[15] = 1;
        six.dwLocalScopeId = 2;
        six.dwLocalPort = htons(22);
        six.dwState = 5;  // ESTABLISHED
        six.ucRemoteAddr[15] = 2;
        six.dwRemotePort = htons(50000);
        six.dwOwningPid = 300;
        // One address of each family.
        fake_->unicastRowCount = 2;
        MIB_UNICASTIPADDRESS_ROW& v4 = fake_->unicastRows[0];
        v4.Address.si_family = 2;
        const unsigned char a4[4] = {192, 0, 2, 7};
        std::memcpy(v4.Address.Ipv4.sin_addr, a4, 4);
        v4.InterfaceIndex = 2;
        v4.OnLinkPrefixLength = 24;
        MIB_UNICASTIPADDRESS_ROW& v6 = fake_->unicastRows[1];
        v6.Address.si_family = 23;
        v6.Address.Ipv6.sin6_addr[0] = 0x20;
        v6.Address.Ipv6.sin6_addr[1] = 0x01;
        v6.Address.Ipv6.sin6_addr[2] = 0x0d;
        v6.Address.Ipv6.sin6_addr[3] = 0xb8;
        v6.Address.Ipv6.sin6_addr[15] = 9;
        v6.InterfaceIndex = 2;
        v6.OnLinkPrefixLength = 64;
    }

    // Writes the reading of `kinds` in the three formats, checks them with
    // the checker, and returns the metric samples by "name{labels}".
    std::map<std::string, double> WriteAndCheck(const std::vector<int>& kinds, int exitStatus = 0) {
        std::map<std::string, double> samples;
        for (const auto& [format, name] : {std::pair{CommandLine::Format::Json, "json"},
                                           std::pair{CommandLine::Format::Csv, "csv"},
                                           std::pair{CommandLine::Format::OpenMetrics, "om"}}) {
            const std::string path = (dir_.Path() / name).string();
            FILE* out = std::fopen(path.c_str(), "wb");
            FILE* err = std::tmpfile();
            EXPECT_EQ(PrintRecords(kinds, format, out, err), exitStatus) << name;
            std::fclose(out);
            std::fclose(err);
        }
        const std::string d = dir_.Path().string();
        int status = -1;
        const std::string out = RunCommand(std::string(kPython) + " " + kChecker + " " + kSchema + " " + d + "/json " + d +
                                        "/csv " + d + "/om",
                                    status);
        EXPECT_EQ(status, 0) << out;
        // Each line: ["name", {"label": "value", ...}, value]; kept whole as
        // the key, less its value, which the tests look up.
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t comma = line.rfind(", ");
            if (line.size() < 4 || comma == std::string::npos) continue;
            samples[line.substr(1, comma - 1)] = std::stod(line.substr(comma + 2, line.size() - comma - 3));
        }
        return samples;
    }

    std::string Json() { return ReadAll((dir_.Path() / "json").string()); }
    std::string Csv() { return ReadAll((dir_.Path() / "csv").string()); }

    TempDir dir_;
};

TEST_F(Formats, EveryKindPassesTheSchemaTheCsvReaderAndTheOpenMetricsParser) {
    std::vector<int> kinds;
    for (int kind = kKindIcmpStatistics; kind <= kKindListeningPorts; ++kind) kinds.push_back(kind);
    const std::map<std::string, double> samples = WriteAndCheck(kinds);
    ASSERT_FALSE(samples.empty());

    // The counters by the node exporter's names, the unsigned value kept.
    EXPECT_EQ(samples.at(R"("node_netstat_Tcp_RtoAlgorithm", {})"), 4294967280.0);
    EXPECT_EQ(samples.at(R"("node_netstat_Tcp_RtoMax", {})"), 4294967282.0);
    EXPECT_EQ(samples.at(R"("node_netstat_Ip_Forwarding", {})"), 7.0);
    EXPECT_EQ(samples.at(R"("node_netstat_Ip_ReasmOKs", {})"), 7.0 + 15 * 3);
    EXPECT_EQ(samples.at(R"("tessaline_netstat_Ip_NumRoutes", {})"), 7.0 + 22 * 3);
    EXPECT_TRUE(samples.count(R"("node_netstat_Icmp6_InGroupMembQueries", {})"));
    // The interfaces, 64-bit counters whole.
    EXPECT_EQ(samples.at(R"("node_network_receive_bytes_total", {"device": "eth0"})"), 5e9);
    EXPECT_EQ(samples.at(R"("node_network_receive_packets_total", {"device": "eth0"})"), 5e9);
    EXPECT_EQ(samples.at(R"("node_network_mtu_bytes", {"device": "eth0"})"), 1500.0);
    EXPECT_EQ(samples.at(R"("node_network_speed_bytes", {"device": "eth0"})"), 1.25e9);
    EXPECT_EQ(samples.at(R"("node_network_up", {"device": "eth0"})"), 1.0);
    // A label value as the panes show it: every control character U+FFFD.
    EXPECT_EQ(samples.at(R"("node_network_up", {"device": "we\"ird\\\ufffd,\ufffd\ufffd[2J\ufffd\ufffd\ufffd"})"),
              0.0);
    // The sockets by protocol, family and state.
    EXPECT_EQ(samples.at(R"("tessaline_sockets", {"protocol": "tcp", "family": "ipv4", "state": "LISTEN"})"), 3.0);
    EXPECT_EQ(samples.at(R"("tessaline_sockets", {"protocol": "tcp", "family": "ipv6", "state": "ESTABLISHED"})"),
              1.0);
    EXPECT_EQ(samples.at(R"("tessaline_sockets", {"protocol": "udp", "family": "ipv4", "state": "UNCONN"})"), 1.0);

    const std::string json = Json();
    EXPECT_NE(json.find(R"("RtoAlgorithm":4294967280)"), std::string::npos);
    EXPECT_NE(json.find(R"("ibytes":5000000000)"), std::string::npos);
    EXPECT_NE(json.find(R"("mac":"02:ab:00:00:00:01")"), std::string::npos);
    EXPECT_NE(json.find(R"("local_address":"fe80::1%2","local_port":22)"), std::string::npos);
    EXPECT_NE(json.find(R"("address":"2001:db8::9","mask":"ffff:ffff:ffff:ffff::")"), std::string::npos);
    // JSON keeps the text exactly, each control character as its escape;
    // CSV, which has no escapes, as the panes show it.  (The checker found
    // no control byte in any of the three.)
    EXPECT_NE(json.find(R"("host_name":"host \"a\",\u000ab\\c)" "\xEF\xBF\xBD" R"(\u001b]0;x\u0007)"
                        "\xEF\xBF\xBD" R"(\u009b\u007f\u2028")"),
              std::string::npos)
        << json;
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_NE(Csv().find("\"host \"\"a\"\"," + fffd + "b\\c" + fffd + fffd + "]0;x" + fffd + fffd + fffd + fffd +
                         fffd + "\""),
              std::string::npos)
        << Csv();
}

// A failed snapshot: the table is there with its fields and no rows, and
// the exit status says so.
TEST_F(Formats, AFailedSnapshotGivesAnEmptyTableAndStatusThree) {
    fake_->tcpTable.forcedCode = ERROR_NOT_SUPPORTED;
    fake_->if2Code = ERROR_NOT_SUPPORTED;
    const std::string path = (dir_.Path() / "json").string();
    FILE* out = std::fopen(path.c_str(), "wb");
    FILE* err = std::tmpfile();
    EXPECT_EQ(PrintRecords({kKindTcpConnections}, CommandLine::Format::Json, out, err), 3);
    std::fclose(out);
    std::fclose(err);
    EXPECT_NE(Json().find("\"tcp\":[]"), std::string::npos) << Json();
    const std::map<std::string, double> samples = WriteAndCheck({kKindTcpConnections, kKindInterfaceList}, 3);
    for (const auto& [key, value] : samples) EXPECT_EQ(key.find("tessaline_sockets"), std::string::npos) << key;
}

}  // namespace
