// The catalog record's growth rules against a scripted Winsock.
#include <gtest/gtest.h>

#include "FakeWinsock.h"
#include "ProtocolCatalog.h"

namespace {

constexpr DWORD kEntry = sizeof(WSAPROTOCOL_INFOW);

class CatalogGrowth : public ::testing::Test {
protected:
    void SetUp() override { FakeWinsock() = FakeWinsockScript{}; }
    const std::vector<FakeWinsockCall>& Calls() { return FakeWinsock().calls; }
};

TEST_F(CatalogGrowth, FreshRecordAsksForTheLengthThenFills) {
    FakeWinsock().entries = {3};
    CProtocolCatalog catalog;
    catalog.Enumerate();
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[0].buffer, nullptr);
    EXPECT_EQ(Calls()[0].lengthIn, 0u);
    EXPECT_EQ(Calls()[1].lengthIn, 3 * kEntry);
    EXPECT_TRUE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_nProtocols, 3);
    EXPECT_EQ(catalog.m_pProtocols[2].iProtocol, 3);
}

TEST_F(CatalogGrowth, SameOrSmallerCatalogTakesOneCallIntoTheSameBuffer) {
    FakeWinsock().entries = {3, 3, 3, 1};
    CProtocolCatalog catalog;
    catalog.Enumerate();
    const WSAPROTOCOL_INFOW* buffer = catalog.m_pProtocols;
    catalog.Enumerate();  // unchanged
    EXPECT_EQ(Calls().size(), 3u);
    EXPECT_EQ(catalog.m_pProtocols, buffer);
    catalog.Enumerate();  // shrunk to one entry
    EXPECT_EQ(Calls().size(), 4u);
    EXPECT_EQ(catalog.m_pProtocols, buffer);
    EXPECT_EQ(catalog.m_nProtocols, 1);
    EXPECT_TRUE(catalog.m_bValid);
}

TEST_F(CatalogGrowth, CatalogGrowingBetweenTheTwoCallsFailsUntilTheNextEnumerate) {
    FakeWinsock().entries = {2, 4, 4};
    CProtocolCatalog catalog;
    catalog.Enumerate();
    EXPECT_EQ(Calls().size(), 2u);  // never a third call
    EXPECT_FALSE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_nProtocols, SOCKET_ERROR);

    // The failed call reported 4 entries while 2 are allocated: the next
    // enumeration offers only what is really there, then grows.
    catalog.Enumerate();
    ASSERT_EQ(Calls().size(), 4u);
    EXPECT_EQ(Calls()[2].lengthIn, 2 * kEntry);
    EXPECT_TRUE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_nProtocols, 4);
}

TEST_F(CatalogGrowth, EmptyCatalogIsValidWithNoEntries) {
    FakeWinsock().entries = {0};
    CProtocolCatalog catalog;
    catalog.Enumerate();
    EXPECT_EQ(Calls().size(), 1u);
    EXPECT_TRUE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_nProtocols, 0);
}

TEST_F(CatalogGrowth, OtherErrorsFailWithoutTouchingTheBuffer) {
    FakeWinsock().entries = {2};
    CProtocolCatalog catalog;
    catalog.Enumerate();
    const WSAPROTOCOL_INFOW* buffer = catalog.m_pProtocols;
    FakeWinsock().forcedError = WSAEINVAL;
    catalog.Enumerate();
    EXPECT_EQ(Calls().size(), 3u);
    EXPECT_FALSE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_nProtocols, SOCKET_ERROR);
    EXPECT_EQ(catalog.m_pProtocols, buffer);
}

}  // namespace
