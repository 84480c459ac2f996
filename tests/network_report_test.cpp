// The network configuration report, built into an in-memory tree from
// network parameters scripted in the fake provider.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FakeProvider.h"
#include "FakeReportFixture.h"
#include "IpHelper.h"
#include "MemoryTree.h"
#include "NetworkReport.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kRoot = "0B+ Network Configuration";

// Three servers, the current one the first.
const std::vector<std::string> kThreeServers = {"192.0.2.53", "198.51.100.1", "203.0.113.7"};

class NetworkConfiguration : public FakeReportFixture {
protected:
    // Scripts the parameters: host "host1", domain "example.test", scope
    // "SCOPE", hybrid node type, `servers` in order, the first one current.
    FakeNetworkParamsContent& Script(const std::vector<std::string>& servers = kThreeServers) {
        FakeNetworkParamsContent& c = fake_->networkParamsContent;
        c = FakeNetworkParamsContent{};
        c.scripted = true;
        FakeSetField(c.hostName, "host1");
        FakeSetField(c.domainName, "example.test");
        FakeSetField(c.scopeId, "SCOPE");
        c.nodeType = 8;
        EXPECT_LE(servers.size(), kFakeMaxDnsServers);
        c.dnsServerCount = static_cast<unsigned>(servers.size());
        for (std::size_t k = 0; k < servers.size() && k < kFakeMaxDnsServers; ++k)
            FakeSetField(c.dnsServers[k], servers[k]);
        return c;
    }

    // The tree of Script() with the servers `servers`, the first one current.
    static Lines Expected(const std::vector<std::string>& servers = kThreeServers) {
        Lines out = {kRoot,
                     "  3 Hostname: host1",
                     "  3 Domain Name: example.test",
                     "  3 DHCP Scope ID: SCOPE",
                     "  3 Node Type: HYBRID_NODETYPE",
                     "  3 Current DNS Server: " + servers.front(),
                     "  1+ Available DNS Servers"};
        for (const std::string& s : servers) out.push_back("    3 " + s);
        return out;
    }

    // The text of the n-th line under the root.
    std::string Line(std::size_t n) {
        const Lines lines = Dump();
        return n + 1 < lines.size() ? lines[n + 1] : "<missing line " + std::to_string(n) + ">";
    }
};

// ------------------------------------------------------------ whole tree

TEST_F(NetworkConfiguration, FiveValueLinesThenTheServersInListOrder) {
    Script();
    Build(kKindNetworkConfiguration);
    EXPECT_EQ(Dump(), Expected());
    EXPECT_EQ(tree_.ItemCount(), 10u);
}

TEST_F(NetworkConfiguration, KindsWithoutAReportOfTheirOwnBuildTheSameTree) {
    for (int kind : {int{kKindNetworkConfiguration}, 26, -1, 9}) {
        SCOPED_TRACE(kind);
        Script();
        Build(kind);
        EXPECT_EQ(Dump(), Expected());
    }
}

TEST_F(NetworkConfiguration, FailedSnapshotLeavesTheRootAloneExpanded) {
    const struct {
        const char* name;
        const char* dir;
        DWORD forcedCode;
    } cases[] = {
        {"no data", FAKE_FULL_DIR, ERROR_NO_DATA},
        {"not supported", FAKE_FULL_DIR, ERROR_NOT_SUPPORTED},
        // The grow code without a size: nothing to allocate, no second call.
        {"grow code without size", FAKE_FULL_DIR, ERROR_BUFFER_OVERFLOW},
        {"library missing", FAKE_NONE_DIR, NO_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        iphelper_testing::ResetProcessState();
        setenv("TESSALINE_LIBRARY_PATH", c.dir, 1);
        Script();
        fake_->networkParams.forcedCode = c.forcedCode;
        Build(kKindNetworkConfiguration);
        EXPECT_EQ(Dump(), Lines{kRoot});
        EXPECT_EQ(tree_.ItemCount(), 1u);
    }
}

TEST_F(NetworkConfiguration, RebuildReplacesTheTreeWithAFreshSnapshot) {
    Script();
    Build(kKindNetworkConfiguration);
    ASSERT_EQ(Dump(), Expected());

    report_->BuildReport();
    EXPECT_EQ(Dump(), Expected());
    EXPECT_EQ(tree_.ItemCount(), 10u);

    // Fewer servers, then more than the buffer holds: the buffer grows.
    for (const std::vector<std::string>& servers :
         {std::vector<std::string>{"10.0.0.1"},
          std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7",
                                   "10.0.0.8"}}) {
        Script(servers);
        report_->BuildReport();
        EXPECT_EQ(Dump(), Expected(servers));
        EXPECT_EQ(tree_.ItemCount(), 7 + servers.size());
    }

    // A snapshot that fails now shows nothing of the earlier one.
    fake_->networkParams.forcedCode = ERROR_NO_DATA;
    report_->BuildReport();
    EXPECT_EQ(Dump(), Lines{kRoot});

    fake_->networkParams.forcedCode = NO_ERROR;
    Script();
    report_->BuildReport();
    EXPECT_EQ(Dump(), Expected());
}

// ------------------------------------------------------------ value lines

TEST_F(NetworkConfiguration, NodeTypeHasANameForEachSingleTypeOnly) {
    const struct {
        UINT nodeType;
        const char* name;
    } cases[] = {
        {0, "[UNKNOWN]"},  {1, "BROADCAST_NODETYPE"},  {2, "PEER_TO_PEER_NODETYPE"},
        {3, "[UNKNOWN]"},  {4, "MIXED_NODETYPE"},      {8, "HYBRID_NODETYPE"},
        {16, "[UNKNOWN]"}, {0xFFFFFFFFu, "[UNKNOWN]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nodeType);
        Script().nodeType = c.nodeType;
        Build(kKindNetworkConfiguration);
        EXPECT_EQ(Line(3), std::string("  3 Node Type: ") + c.name);
    }
}

TEST_F(NetworkConfiguration, TextFieldsEndAtTheirFirstZeroOrAtTheEndOfTheField) {
    // Each field that fills its bytes is followed by something other than a
    // zero, which a read past the field would show: the domain after the
    // host, EnableRouting after the scope, and after the domain the pointer
    // to the current server, the second entry, 600 bytes into a 16-aligned
    // buffer, so that its first byte is never zero.
    const std::string host(MAX_HOSTNAME_LEN + 4, 'h');
    const std::string domain(MAX_DOMAIN_NAME_LEN + 4, 'd');
    const std::string scope(MAX_SCOPE_ID_LEN + 4, 's');
    const struct {
        const char* name;
        void (*set)(FakeNetworkParamsContent&, const std::string& text);
        std::string text;
        std::size_t line;
        std::string shown;
    } cases[] = {
        {"empty host", [](auto& c, const auto& t) { FakeSetField(c.hostName, t); }, "", 0, "  3 Hostname: "},
        {"empty domain", [](auto& c, const auto& t) { FakeSetField(c.domainName, t); }, "", 1, "  3 Domain Name: "},
        {"empty scope", [](auto& c, const auto& t) { FakeSetField(c.scopeId, t); }, "", 2, "  3 DHCP Scope ID: "},
        {"full host", [](auto& c, const auto& t) { FakeSetField(c.hostName, t); }, host, 0, "  3 Hostname: " + host},
        {"full domain", [](auto& c, const auto& t) { FakeSetField(c.domainName, t); }, domain, 1,
         "  3 Domain Name: " + domain},
        {"full scope", [](auto& c, const auto& t) { FakeSetField(c.scopeId, t); }, scope, 2,
         "  3 DHCP Scope ID: " + scope},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetworkParamsContent& content = Script();
        content.enableRouting = 0x41414141;
        content.currentDnsServer = 1;
        c.set(content, c.text);
        Build(kKindNetworkConfiguration);
        EXPECT_EQ(Line(c.line), c.shown);
        EXPECT_EQ(Dump().size(), Expected().size());
    }
}

TEST_F(NetworkConfiguration, CurrentServerIsTheEntryItPointsAtOrUnknownWhenNull) {
    const struct {
        int current;
        const char* line;
    } cases[] = {
        {0, "  3 Current DNS Server: 192.0.2.53"},
        {1, "  3 Current DNS Server: 198.51.100.1"},
        {2, "  3 Current DNS Server: 203.0.113.7"},
        {-1, "  3 Current DNS Server: [UNKNOWN]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current);
        Script().currentDnsServer = c.current;
        Build(kKindNetworkConfiguration);
        Lines expected = Expected();
        expected[5] = c.line;  // the servers are listed all the same
        EXPECT_EQ(Dump(), expected);
    }
}

// ---------------------------------------------------------------- servers

TEST_F(NetworkConfiguration, ServerTextsAreShownExactlyAsTheFieldHoldsThem) {
    // The mask "255.255.255.0" follows each address field: a 16-character
    // address without its zero must not run into it.
    const std::vector<std::vector<std::string>> cases = {
        {""},
        {"1234567890123456"},
        {"255.255.255.255"},
        {"", "192.0.2.1", ""},
        {"10.0.0.1", "1234567890123456", "10.0.0.3"},
        {"1", "2", "3", "4", "5", "6", "7", "8"},
    };
    for (const std::vector<std::string>& servers : cases) {
        SCOPED_TRACE(servers.front());
        SCOPED_TRACE(servers.size());
        Script(servers);
        Build(kKindNetworkConfiguration);
        EXPECT_EQ(Dump(), Expected(servers));
    }
}

TEST_F(NetworkConfiguration, LoopingServerListIsCutAfter1024Entries) {
    for (const std::vector<std::string>& servers :
         {std::vector<std::string>{"192.0.2.1"}, std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.3"}}) {
        SCOPED_TRACE(servers.size());
        Script(servers).loopDnsList = true;
        Build(kKindNetworkConfiguration);

        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        ASSERT_EQ(roots.size(), 1u);
        const std::vector<HTREEITEM> lines = Children(roots[0]);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_TRUE(tree_.IsExpanded(roots[0]));
        EXPECT_TRUE(tree_.IsExpanded(lines[5]));
        const std::vector<HTREEITEM> entries = Children(lines[5]);
        ASSERT_EQ(entries.size(), 1024u);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string& want = servers[i % servers.size()];
            ASSERT_EQ(tree_.Text(entries[i]), std::u16string(want.begin(), want.end())) << "entry " << i;
        }
        EXPECT_EQ(tree_.ItemCount(), 7u + 1024u);
    }
}

}  // namespace
