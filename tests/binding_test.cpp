// The IP helper binding and its snapshots against the scripted providers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "RecordWords.h"
#include "FakeProvider.h"
#include "IpHelper.h"

// Every dlopen of this process passes here, so that the test can count how
// often the binding opens the provider.  The loader resolves the binding's
// call to this definition, which forwards to the real one.
namespace {
unsigned g_providerOpens = 0;
}

extern "C" void* dlopen(const char* file, int mode) noexcept {
    using Real = void* (*)(const char*, int);
    static const Real real = [] {
        Real fn = nullptr;
        void* symbol = dlsym(RTLD_NEXT, "dlopen");
        std::memcpy(&fn, &symbol, sizeof fn);
        return fn;
    }();
    if (file != nullptr && std::string_view(file).ends_with("/libiphlpapi.so")) ++g_providerOpens;
    return real(file, mode);
}

namespace {

void* OpenProvider(const char* dir) {
    const std::string path = std::string(dir) + "/libiphlpapi.so";
    void* library = dlopen(path.c_str(), RTLD_NOW);
    EXPECT_NE(library, nullptr) << dlerror();
    return library;
}

// The control block of the provider in `dir`: the same instance as the
// binding's, since the same file is opened.
FakeControl* FakeIn(const char* dir) {
    void* symbol = dlsym(OpenProvider(dir), "FakeProviderControl");
    if (symbol == nullptr) return nullptr;
    FakeProviderControlFn control = nullptr;
    std::memcpy(&control, &symbol, sizeof control);
    return control();
}

void UseLibraryIn(const char* dir) { setenv("TESSALINE_LIBRARY_PATH", dir, 1); }

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        iphelper_testing::ResetProcessState();
        fake_ = FakeIn(FAKE_FULL_DIR);
        ASSERT_NE(fake_, nullptr);
        *fake_ = FakeControl{};
        UseLibraryIn(FAKE_FULL_DIR);
    }
    void TearDown() override { iphelper_testing::ResetProcessState(); }

    FakeControl* fake_ = nullptr;
};

// ---------------------------------------------------------------- binding

TEST_F(Binding, MissingLibraryFailsEverySnapshotAndIsRetriedOnTheNextCall) {
    UseLibraryIn(FAKE_NONE_DIR);
    fake_->icmp.fill = fake_->ip.fill = fake_->tcp.fill = fake_->udp.fill = 7;
    fake_->tcpTable.rows[0] = 2;
    const unsigned opens = g_providerOpens;
    EXPECT_FALSE(BindIpHelper());
    EXPECT_FALSE(BindIpHelper());
    EXPECT_EQ(g_providerOpens, opens + 2);  // each call tries again

    CIcmpStatistics icmp;
    CIpStatistics ip;
    CTcpStatistics tcp;
    CUdpStatistics udp;
    EXPECT_FALSE(icmp.Refresh());
    EXPECT_FALSE(ip.Refresh());
    EXPECT_FALSE(tcp.Refresh());
    EXPECT_FALSE(udp.Refresh());
    EXPECT_EQ(Words(IcmpStatisticsRecord()), std::vector<DWORD>(26, 0));
    EXPECT_EQ(Words(IpStatisticsRecord()), std::vector<DWORD>(23, 0));
    EXPECT_EQ(Words(TcpStatisticsRecord()), std::vector<DWORD>(15, 0));
    EXPECT_EQ(Words(UdpStatisticsRecord()), std::vector<DWORD>(5, 0));

    CNetworkParams params;
    CAdapterList adapters;
    CInterfaceTable interfaces;
    CTcpOwnerTable tcpTable;
    CUdpOwnerTable udpTable;
    EXPECT_FALSE(params.m_bValid || adapters.m_bValid || interfaces.m_bValid || tcpTable.m_bValid || udpTable.m_bValid);
    EXPECT_EQ(CurrentNetworkParams(), nullptr);
    EXPECT_EQ(CurrentAdapterList(), nullptr);
    EXPECT_EQ(CurrentInterfaceTable(), nullptr);
    EXPECT_EQ(CurrentTcpOwnerTable(), nullptr);
    EXPECT_EQ(CurrentUdpOwnerTable(), nullptr);
    EXPECT_EQ(iphelper_testing::TableAllocations(), 0u);
    EXPECT_EQ(fake_->icmp.calls + fake_->tcpTable.calls, 0u);

    // The library appears: the very next snapshot binds and succeeds.
    UseLibraryIn(FAKE_FULL_DIR);
    EXPECT_TRUE(icmp.Refresh());
    EXPECT_EQ(Words(IcmpStatisticsRecord()), std::vector<DWORD>(26, 7));
    tcpTable.Refresh();
    EXPECT_TRUE(tcpTable.m_bValid);
    ASSERT_NE(CurrentTcpOwnerTable(), nullptr);
    EXPECT_EQ(CurrentTcpOwnerTable()->dwNumEntries, 2u);
}

TEST_F(Binding, MissingNameFailsOnlyThatSnapshotEveryTime) {
    FakeControl* partial = FakeIn(FAKE_PARTIAL_DIR);
    ASSERT_NE(partial, nullptr);
    *partial = FakeControl{};
    partial->icmp.fill = partial->ip.fill = partial->tcp.fill = partial->udp.fill = 5;
    partial->tcpTable.rows[0] = 1;
    UseLibraryIn(FAKE_PARTIAL_DIR);

    ASSERT_TRUE(BindIpHelper());
    EXPECT_EQ(IpHelper().pGetTcpStatistics, nullptr);
    EXPECT_NE(IpHelper().pGetUdpStatistics, nullptr);
    EXPECT_NE(IpHelper().pGetIcmpStatistics, nullptr);
    EXPECT_NE(IpHelper().pGetIpStatistics, nullptr);

    CTcpStatistics tcp;
    CIcmpStatistics icmp;
    CIpStatistics ip;
    CUdpStatistics udp;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_FALSE(tcp.Refresh());
        EXPECT_TRUE(icmp.Refresh());
        EXPECT_TRUE(ip.Refresh());
        EXPECT_TRUE(udp.Refresh());
    }
    EXPECT_EQ(Words(TcpStatisticsRecord()), std::vector<DWORD>(15, 0));
    EXPECT_EQ(Words(IcmpStatisticsRecord()), std::vector<DWORD>(26, 5));
    EXPECT_EQ(Words(IpStatisticsRecord()), std::vector<DWORD>(23, 5));
    EXPECT_EQ(Words(UdpStatisticsRecord()), std::vector<DWORD>(5, 5));

    CTcpOwnerTable tcpTable;
    EXPECT_TRUE(tcpTable.m_bValid);
    EXPECT_EQ(partial->tcpTable.calls, 2u);
    EXPECT_EQ(fake_->tcpTable.calls, 0u);  // the full provider was never asked
}

TEST_F(Binding, BindsOnceAndKeepsTheEntryPointsOfThatLibrary) {
    const unsigned opens = g_providerOpens;
    ASSERT_TRUE(BindIpHelper());
    EXPECT_EQ(g_providerOpens, opens + 1);

    // Every slot holds the entry point of its own name.
    void* library = OpenProvider(FAKE_FULL_DIR);
    const IpHelperEntryPoints& e = IpHelper();
    const std::vector<std::pair<const char*, const void*>> slots = {
        {"GetAdaptersInfo", reinterpret_cast<const void*>(e.pGetAdaptersInfo)},
        {"GetIfTable", reinterpret_cast<const void*>(e.pGetIfTable)},
        {"GetTcpTable2", reinterpret_cast<const void*>(e.pGetTcpTable2)},
        {"GetExtendedTcpTable", reinterpret_cast<const void*>(e.pGetExtendedTcpTable)},
        {"GetExtendedUdpTable", reinterpret_cast<const void*>(e.pGetExtendedUdpTable)},
        {"GetUdpTable", reinterpret_cast<const void*>(e.pGetUdpTable)},
        {"GetUdpStatistics", reinterpret_cast<const void*>(e.pGetUdpStatistics)},
        {"GetTcpStatistics", reinterpret_cast<const void*>(e.pGetTcpStatistics)},
        {"GetIcmpStatistics", reinterpret_cast<const void*>(e.pGetIcmpStatistics)},
        {"GetIpStatistics", reinterpret_cast<const void*>(e.pGetIpStatistics)},
        {"GetNetworkParams", reinterpret_cast<const void*>(e.pGetNetworkParams)},
        {"GetPerAdapterInfo", reinterpret_cast<const void*>(e.pGetPerAdapterInfo)},
        {"SetIpTTL", reinterpret_cast<const void*>(e.pSetIpTTL)},
    };
    for (const auto& [name, slot] : slots) {
        SCOPED_TRACE(name);
        EXPECT_NE(slot, nullptr);
        EXPECT_EQ(slot, dlsym(library, name));
    }

    // Later calls neither load nor look up: pointing the loader elsewhere
    // changes nothing, not even towards a library that lacks a name.
    const IpHelperEntryPoints before = IpHelper();
    const unsigned opensAfterBinding = g_providerOpens;
    UseLibraryIn(FAKE_NONE_DIR);
    EXPECT_TRUE(BindIpHelper());
    UseLibraryIn(FAKE_PARTIAL_DIR);
    EXPECT_TRUE(BindIpHelper());
    EXPECT_EQ(g_providerOpens, opensAfterBinding);
    EXPECT_EQ(std::memcmp(&before, &IpHelper(), sizeof before), 0);

    fake_->tcp.fill = 3;
    CTcpStatistics tcp;
    EXPECT_TRUE(tcp.Refresh());
    EXPECT_EQ(fake_->tcp.calls, 2u);  // the constructor's snapshot and this one
    EXPECT_EQ(TcpStatisticsRecord().dwNumConns, 3u);
}

TEST_F(Binding, FirstSnapshotOfAProcessBindsAndSucceeds) {
    fake_->icmp.fill = fake_->ip.fill = fake_->tcp.fill = fake_->udp.fill = 7;
    fake_->adapters.rows[0] = 1;
    // The counter classes other than IP take their snapshot when constructed.
    const std::pair<const char*, bool (*)()> kinds[] = {
        {"Icmp",
         [] {
             const CIcmpStatistics taken;
             return IcmpStatisticsRecord().stats.icmpOutStats.dwMsgs == 7;
         }},
        {"Tcp",
         [] {
             const CTcpStatistics taken;
             return TcpStatisticsRecord().dwRtoAlgorithm == 7;
         }},
        {"Udp",
         [] {
             const CUdpStatistics taken;
             return UdpStatisticsRecord().dwInDatagrams == 7;
         }},
        {"Ip", [] { return CIpStatistics{}.Refresh(); }},
        {"NetworkParams", [] { return CNetworkParams{}.m_bValid; }},
        {"AdapterList", [] { return CAdapterList{}.m_bValid; }},
        {"InterfaceTable", [] { return CInterfaceTable{}.m_bValid; }},
        {"TcpOwnerTable", [] { return CTcpOwnerTable{}.m_bValid; }},
        {"UdpOwnerTable", [] { return CUdpOwnerTable{}.m_bValid; }},
    };
    for (const auto& [name, snapshot] : kinds) {
        SCOPED_TRACE(name);
        iphelper_testing::ResetProcessState();
        EXPECT_TRUE(snapshot());
    }
}

// The fixture of the snapshot rules: the binding is in place before the test
// begins.
class BoundBinding : public Binding {
protected:
    void SetUp() override {
        Binding::SetUp();
        ASSERT_TRUE(BindIpHelper());
    }
};

// ------------------------------------------------------- worker's tables

// A socket table of the worker's own: its buffer, not the process-wide
// one, grown once as the process-wide one is; a machine without IPv6 is
// told apart from a failure.
TEST_F(BoundBinding, SocketTableObjectsTakeTablesIntoBuffersOfTheirOwn) {
    fake_->tcpTable.rows[0] = 3;
    fake_->tcpTable.rowSteps = 1;
    CSocketTable tcp(CSocketTable::Kind::Tcp);
    tcp.Refresh();
    ASSERT_TRUE(tcp.m_bValid);
    EXPECT_EQ(tcp.Rows(), 3u);
    EXPECT_EQ(fake_->tcpTable.calls, 2u);  // the size question and the fill
    EXPECT_EQ(tcp.Table(), fake_->tcpTable.bufferIn[1]);
    EXPECT_EQ(CurrentTcpOwnerTable(), nullptr);
    tcp.Refresh();
    EXPECT_EQ(fake_->tcpTable.calls, 3u);
    EXPECT_EQ(fake_->tcpTable.bufferIn[2], fake_->tcpTable.bufferIn[1]);

    fake_->tcp6Table.forcedCode = ERROR_NOT_SUPPORTED;
    CSocketTable tcp6(CSocketTable::Kind::Tcp6);
    tcp6.Refresh();
    EXPECT_FALSE(tcp6.m_bValid);
    EXPECT_TRUE(tcp6.m_bNoIpv6);
    EXPECT_EQ(tcp6.Table(), nullptr);
    EXPECT_EQ(tcp6.Rows(), 0u);
    fake_->udpTable.forcedCode = ERROR_INVALID_PARAMETER;
    CSocketTable udp(CSocketTable::Kind::Udp);
    udp.Refresh();
    EXPECT_FALSE(udp.m_bValid);
    EXPECT_FALSE(udp.m_bNoIpv6);
}

// --------------------------------------------------------------- counters

struct CounterCase {
    const char* name;
    FakeCounterScript FakeControl::*script;
    bool (*refresh)();
    std::vector<DWORD> (*record)();
};

template <class T>
bool Refresh() {
    return T{}.Refresh();
}

const CounterCase kCounterCases[] = {
    {"Icmp", &FakeControl::icmp, Refresh<CIcmpStatistics>, [] { return Words(IcmpStatisticsRecord()); }},
    {"Ip", &FakeControl::ip, Refresh<CIpStatistics>, [] { return Words(IpStatisticsRecord()); }},
    {"Tcp", &FakeControl::tcp, Refresh<CTcpStatistics>, [] { return Words(TcpStatisticsRecord()); }},
    {"Udp", &FakeControl::udp, Refresh<CUdpStatistics>, [] { return Words(UdpStatisticsRecord()); }},
};

void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class CounterSnapshot : public BoundBinding, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(CounterSnapshot, SucceedsOnZeroAndAFailureKeepsTheRecord) {
    const CounterCase& c = GetParam();
    FakeCounterScript& script = fake_->*c.script;
    script.fill = 40;
    script.step = 1;
    ASSERT_TRUE(c.refresh());
    std::vector<DWORD> filled = c.record();
    for (std::size_t i = 0; i < filled.size(); ++i) EXPECT_EQ(filled[i], 40 + i) << "counter " << i;

    for (DWORD code : {ERROR_NOT_SUPPORTED, ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}) {
        script.returnCode = code;
        script.fill = 99;
        EXPECT_FALSE(c.refresh()) << code;
        EXPECT_EQ(c.record(), filled) << code;
    }

    script.returnCode = NO_ERROR;
    script.step = 0;
    EXPECT_TRUE(c.refresh());
    EXPECT_EQ(c.record(), std::vector<DWORD>(filled.size(), 99));
}

INSTANTIATE_TEST_SUITE_P(Kinds, CounterSnapshot, ::testing::ValuesIn(kCounterCases),
                         [](const auto& param) { return std::string(param.param.name); });

// ----------------------------------------------------------------- tables

struct TableCase {
    const char* name;
    FakeTableScript FakeControl::*script;
    ULONG (*bytes)(unsigned rows);
    void (*snapshot)();  // the first one constructs the handle's object, later ones refresh it
    bool (*valid)();
    const void* (*current)();
    iphelper_testing::TableBufferInfo (*buffer)();  // null where the binding does not expose it
    DWORD otherGrowCode;                            // the grow code of the other entry points
};

template <class T, T** handle>
void Snapshot() {
    if (*handle == nullptr)
        ReplaceSnapshotHandle(*handle, new T);
    else
        (*handle)->Refresh();
}

template <class T, T** handle>
bool Valid() {
    return *handle != nullptr && (*handle)->m_bValid;
}

const TableCase kTableCases[] = {
    {"NetworkParams", &FakeControl::networkParams, FakeNetworkParamsBytes, Snapshot<CNetworkParams, &g_pNetworkParams>,
     Valid<CNetworkParams, &g_pNetworkParams>, []() -> const void* { return CurrentNetworkParams(); },
     iphelper_testing::NetworkParamsBuffer, ERROR_INSUFFICIENT_BUFFER},
    {"AdapterList", &FakeControl::adapters, [](unsigned rows) { return FakeAdapterListBytes(rows, 1); },
     Snapshot<CAdapterList, &g_pAdapterList>, Valid<CAdapterList, &g_pAdapterList>,
     []() -> const void* { return CurrentAdapterList(); }, nullptr, ERROR_INSUFFICIENT_BUFFER},
    {"InterfaceTable", &FakeControl::interfaces, FakeInterfaceTableBytes, Snapshot<CInterfaceTable, &g_pInterfaceTable>,
     Valid<CInterfaceTable, &g_pInterfaceTable>, []() -> const void* { return CurrentInterfaceTable(); },
     iphelper_testing::InterfaceTableBuffer, ERROR_BUFFER_OVERFLOW},
    {"TcpOwnerTable", &FakeControl::tcpTable, FakeTcpTableBytes, Snapshot<CTcpOwnerTable, &g_pTcpOwnerTable>,
     Valid<CTcpOwnerTable, &g_pTcpOwnerTable>, []() -> const void* { return CurrentTcpOwnerTable(); },
     iphelper_testing::TcpOwnerTableBuffer, ERROR_BUFFER_OVERFLOW},
    {"UdpOwnerTable", &FakeControl::udpTable, FakeUdpTableBytes, Snapshot<CUdpOwnerTable, &g_pUdpOwnerTable>,
     Valid<CUdpOwnerTable, &g_pUdpOwnerTable>, []() -> const void* { return CurrentUdpOwnerTable(); }, nullptr,
     ERROR_BUFFER_OVERFLOW},
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class TableSnapshot : public BoundBinding, public ::testing::WithParamInterface<TableCase> {
protected:
    FakeTableScript& Script() { return fake_->*GetParam().script; }
    void Rows(std::initializer_list<unsigned> rows) {
        Script().rowSteps = 0;
        for (unsigned r : rows) Script().rows[Script().rowSteps++] = r;
    }
    ULONG Bytes(unsigned rows) { return GetParam().bytes(rows); }
    void ExpectBuffer(const void* buffer, ULONG size) {
        if (GetParam().buffer == nullptr) return;
        const iphelper_testing::TableBufferInfo info = GetParam().buffer();
        EXPECT_EQ(info.buffer, buffer);
        EXPECT_EQ(info.size, size);
    }
};

TEST_P(TableSnapshot, FirstSnapshotAsksForTheSizeThenFillsANewBuffer) {
    const TableCase& c = GetParam();
    Rows({3});
    c.snapshot();
    ASSERT_EQ(Script().calls, 2u);
    EXPECT_EQ(Script().bufferIn[0], nullptr);
    EXPECT_EQ(Script().capacityIn[0], 0u);
    EXPECT_NE(Script().bufferIn[1], nullptr);
    EXPECT_EQ(Script().capacityIn[1], Bytes(3));
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(c.current(), Script().bufferIn[1]);
    EXPECT_EQ(iphelper_testing::TableAllocations(), 1u);
    ExpectBuffer(Script().bufferIn[1], Bytes(3));
}

TEST_P(TableSnapshot, SameOrSmallerTableTakesOneCallInTheSameBuffer) {
    const TableCase& c = GetParam();
    Rows({5, 5, 5, 2});
    c.snapshot();
    const void* buffer = c.current();
    ASSERT_NE(buffer, nullptr);
    for (unsigned call = 2; call < 5; ++call) {  // the same size, then smaller twice
        SCOPED_TRACE(call);
        c.snapshot();
        ASSERT_EQ(Script().calls, call + 1);
        EXPECT_EQ(Script().bufferIn[call], buffer);
        EXPECT_EQ(Script().capacityIn[call], Bytes(5));  // the whole buffer: it never shrinks
        EXPECT_TRUE(c.valid());
        EXPECT_EQ(c.current(), buffer);
    }
    EXPECT_EQ(iphelper_testing::TableAllocations(), 1u);
    ExpectBuffer(buffer, Bytes(5));
}

TEST_P(TableSnapshot, TableGrowingBetweenTheTwoCallsFailsUntilTheNextSnapshot) {
    const TableCase& c = GetParam();
    Rows({1, 3});
    c.snapshot();
    ASSERT_EQ(Script().calls, 2u);  // never a third call
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(c.current(), nullptr);
    const void* small = Script().bufferIn[1];
    ASSERT_NE(small, nullptr);
    ExpectBuffer(small, Bytes(1));  // the new buffer stays

    // The failed call reported the larger size; the next call is still told
    // only what the buffer holds, then the buffer grows once.
    c.snapshot();
    ASSERT_EQ(Script().calls, 4u);
    EXPECT_EQ(Script().bufferIn[2], small);
    EXPECT_EQ(Script().capacityIn[2], Bytes(1));
    EXPECT_EQ(Script().capacityIn[3], Bytes(3));
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(c.current(), Script().bufferIn[3]);
    EXPECT_EQ(iphelper_testing::TableAllocations(), 2u);
    ExpectBuffer(Script().bufferIn[3], Bytes(3));
}

TEST_P(TableSnapshot, TableGrowingAtEveryCallMakesTwoCallsPerSnapshot) {
    const TableCase& c = GetParam();
    Rows({1, 2, 3, 4, 5, 6, 7, 8});
    for (unsigned snapshot = 0; snapshot < 3; ++snapshot) {
        SCOPED_TRACE(snapshot);
        c.snapshot();
        ASSERT_EQ(Script().calls, 2 * snapshot + 2);
        EXPECT_FALSE(c.valid());
        // Each call is offered at most the buffer it gets: the first the one
        // left by the snapshot before, the second the one just allocated.
        EXPECT_EQ(Script().capacityIn[2 * snapshot], snapshot == 0 ? 0 : Bytes(2 * snapshot - 1));
        EXPECT_EQ(Script().capacityIn[2 * snapshot + 1], Bytes(2 * snapshot + 1));
    }
    EXPECT_EQ(iphelper_testing::TableAllocations(), 3u);
}

TEST_P(TableSnapshot, OtherErrorLeavesNoCurrentTableAndTheBufferAsItWas) {
    const TableCase& c = GetParam();
    for (DWORD code : {ERROR_NO_DATA, c.otherGrowCode}) {
        SCOPED_TRACE(code);
        iphelper_testing::ResetProcessState();
        ASSERT_TRUE(BindIpHelper());
        *fake_ = FakeControl{};
        Rows({4});

        // Before any buffer: one call, nothing allocated.
        Script().forcedCode = code;
        c.snapshot();
        EXPECT_EQ(Script().calls, 1u);
        EXPECT_FALSE(c.valid());
        EXPECT_EQ(c.current(), nullptr);
        EXPECT_EQ(iphelper_testing::TableAllocations(), 0u);
        ExpectBuffer(nullptr, 0);

        Script().forcedCode = NO_ERROR;
        c.snapshot();
        const void* buffer = c.current();
        ASSERT_NE(buffer, nullptr);

        // With a buffer: one call, the buffer kept for the next snapshot.
        Script().forcedCode = code;
        const unsigned calls = Script().calls;
        c.snapshot();
        EXPECT_EQ(Script().calls, calls + 1);
        EXPECT_FALSE(c.valid());
        EXPECT_EQ(c.current(), nullptr);
        EXPECT_EQ(iphelper_testing::TableAllocations(), 1u);
        ExpectBuffer(buffer, Bytes(4));

        Script().forcedCode = NO_ERROR;
        c.snapshot();
        EXPECT_EQ(Script().calls, calls + 2);
        EXPECT_TRUE(c.valid());
        EXPECT_EQ(c.current(), buffer);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TableSnapshot, ::testing::ValuesIn(kTableCases),
                         [](const auto& param) { return std::string(param.param.name); });

// --------------------------------------------------------------- adapters

class Adapters : public BoundBinding {
protected:
    // Takes a snapshot of `adapters` adapters with `addresses` addresses each.
    void Snapshot(unsigned adapters, unsigned addresses) {
        fake_->adapters.rows[0] = adapters;
        fake_->addressesPerAdapter = addresses;
        ReplaceSnapshotHandle(g_pAdapterList, new CAdapterList);
    }
    static void ExpectErrorRecord(const IP_ADDR_STRING* entry) {
        ASSERT_NE(entry, nullptr);
        EXPECT_STREQ(entry->IpAddress.String, "IPAddress:error");
        EXPECT_STREQ(entry->IpMask.String, "IpMask:error");
        EXPECT_EQ(entry->Next, nullptr);
    }
};

TEST_F(Adapters, GetAdapterCountsFromTheFirstAndEndsWithTheList) {
    Snapshot(3, 1);
    ASSERT_TRUE(g_pAdapterList->m_bValid);
    EXPECT_EQ(GetAdapter(0), CurrentAdapterList());
    const struct {
        int n;
        DWORD index;  // 0: no adapter
    } cases[] = {{INT_MIN, 1}, {-1, 1}, {0, 1}, {1, 2}, {2, 3}, {3, 0}, {INT_MAX, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        const IP_ADAPTER_INFO* adapter = GetAdapter(c.n);
        if (c.index == 0) {
            EXPECT_EQ(adapter, nullptr);
        } else {
            ASSERT_NE(adapter, nullptr);
            EXPECT_EQ(adapter->Index, c.index);
        }
    }
}

TEST_F(Adapters, GetAdapterAddressWalksTheChainOfThatAdapter) {
    Snapshot(3, 2);
    ASSERT_TRUE(g_pAdapterList->m_bValid);
    const struct {
        int n, k;
        const char* address;  // null: no entry
    } cases[] = {
        {0, 0, "10.0.0.1"}, {0, 1, "10.0.1.1"}, {2, 1, "10.2.1.1"},    {-4, 1, "10.0.1.1"},
        {1, 2, nullptr},    {1, -1, nullptr},   {1, INT_MIN, nullptr}, {1, INT_MAX, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << "," << c.k);
        const IP_ADDR_STRING* entry = GetAdapterAddress(c.n, c.k);
        if (c.address == nullptr) {
            EXPECT_EQ(entry, nullptr);
        } else {
            ASSERT_NE(entry, nullptr);
            EXPECT_STREQ(entry->IpAddress.String, c.address);
        }
    }
    // Entry 0 is the one inside the adapter record; the others are its chain.
    EXPECT_EQ(GetAdapterAddress(1, 0), &GetAdapter(1)->IpAddressList);
    EXPECT_EQ(GetAdapterAddress(1, 1), GetAdapter(1)->IpAddressList.Next);
    EXPECT_STREQ(GetAdapterAddress(2, 1)->IpMask.String, "255.255.2.1");
}

TEST_F(Adapters, MissingAdapterGivesTheErrorRecord) {
    Snapshot(2, 2);
    const IP_ADDR_STRING* error = GetAdapterAddress(2, 0);
    ExpectErrorRecord(error);
    for (const auto& [n, k] : {std::pair{2, 1}, {2, -1}, {INT_MAX, 0}}) {
        SCOPED_TRACE(testing::Message() << n << "," << k);
        EXPECT_EQ(GetAdapterAddress(n, k), error);  // one record for the process
    }
    ExpectErrorRecord(error);
    // The list itself is untouched.
    EXPECT_STREQ(GetAdapterAddress(1, 1)->IpAddress.String, "10.1.1.1");
}

TEST_F(Adapters, NoListMeansNoAdapter) {
    // Before any snapshot.
    EXPECT_EQ(GetAdapter(0), nullptr);
    ExpectErrorRecord(GetAdapterAddress(0, 0));

    // No adapter at all: the provider answers ERROR_NO_DATA.
    Snapshot(0, 1);
    EXPECT_FALSE(g_pAdapterList->m_bValid);
    EXPECT_EQ(GetAdapter(-1), nullptr);
    EXPECT_EQ(GetAdapter(0), nullptr);
    ExpectErrorRecord(GetAdapterAddress(0, 0));

    // A failed snapshot hides the list that is still in the buffer.
    Snapshot(2, 1);
    ASSERT_NE(GetAdapter(1), nullptr);
    fake_->adapters.forcedCode = ERROR_NOT_SUPPORTED;
    g_pAdapterList->Refresh();
    EXPECT_FALSE(g_pAdapterList->m_bValid);
    EXPECT_EQ(GetAdapter(0), nullptr);
    EXPECT_EQ(GetAdapter(1), nullptr);
    ExpectErrorRecord(GetAdapterAddress(0, 0));
}

}  // namespace
