#include "NetNs.h"
#include "ReplayFakes.h"
#include "log/Log.h"
#include "replay/AdapterList.h"

#include <arpa/inet.h>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <memory>
#include <pcap/pcap.h>
#include <set>

using namespace velmora;

using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

class CFakeView final : public IAdapterListView {
public:
    void AddEntry(const std::string& csText) override { entries.push_back(csText); }
    void SetCurrentSelection(int iIndex) override { selections.push_back(iIndex); }
    Strings entries;
    std::vector<int> selections;
};

// An adapter list built by hand, handed out by the enumeration hook.
struct FakeAddress {
    int iFamily; // 0: an entry without an address
    const char* szAddress;
};
struct FakeAdapter {
    const char* szName;
    const char* szDescription;
    std::vector<FakeAddress> addresses;
};

class CFakeEnumeration {
public:
    explicit CFakeEnumeration(const std::vector<FakeAdapter>& adapters, int iResult = 0)
    {
        s_pThis = this;
        m_iResult = iResult;
        m_adapters.resize(adapters.size());
        for (size_t i = 0; i < adapters.size(); ++i) {
            pcap_if_t& dev = m_adapters[i];
            dev = {};
            dev.name = const_cast<char*>(adapters[i].szName);
            dev.description = const_cast<char*>(adapters[i].szDescription);
            dev.next = i + 1 < adapters.size() ? &m_adapters[i + 1] : nullptr;
            pcap_addr_t* pPrev = nullptr;
            for (const FakeAddress& fa : adapters[i].addresses) {
                pcap_addr_t& entry = m_entries.emplace_back();
                entry = {};
                if (fa.iFamily != 0) {
                    sockaddr_storage& ss = m_addresses.emplace_back();
                    std::memset(&ss, 0, sizeof ss);
                    ss.ss_family = static_cast<sa_family_t>(fa.iFamily);
                    if (fa.iFamily == AF_INET)
                        inet_pton(
                            AF_INET, fa.szAddress, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr);
                    else if (fa.iFamily == AF_INET6)
                        inet_pton(AF_INET6, fa.szAddress,
                            &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr);
                    entry.addr = reinterpret_cast<sockaddr*>(&ss);
                }
                (pPrev ? pPrev->next : dev.addresses) = &entry;
                pPrev = &entry;
            }
        }
    }
    ~CFakeEnumeration() { s_pThis = nullptr; }
    // This list, every adapter kept: the hand-made lists name adapters this
    // machine need not have.
    SAdapterSource Source() const
    {
        return { &FindAll, &FreeAll, [](const char*) { return true; } };
    }

    int iFinds = 0;
    int iFrees = 0;

private:
    static int FindAll(pcap_if_t** ppList, char* szErrBuf)
    {
        ++s_pThis->iFinds;
        if (s_pThis->m_iResult == -1) {
            std::strcpy(szErrBuf, "no packet capture driver");
            return -1;
        }
        *ppList = s_pThis->m_adapters.empty() ? nullptr : &s_pThis->m_adapters[0];
        return 0;
    }
    static void FreeAll(pcap_if_t* pList)
    {
        EXPECT_EQ(pList, &s_pThis->m_adapters[0]);
        ++s_pThis->iFrees;
    }

    static inline CFakeEnumeration* s_pThis = nullptr;
    int m_iResult = 0;
    std::vector<pcap_if_t> m_adapters;
    std::deque<pcap_addr_t> m_entries;
    std::deque<sockaddr_storage> m_addresses;
};

class AdapterListTest : public ::testing::Test, public CReplayFixtureBase { };

TEST(FormatIpAddressTest, ZeroPaddedDottedQuadFromARingOfTwelve)
{
    const unsigned char a[4] = { 192, 168, 1, 10 };
    EXPECT_STREQ(FormatIpAddress(a), "192.168.001.010");
    const unsigned char b[4] = { 255, 0, 9, 100 };
    EXPECT_STREQ(FormatIpAddress(b), "255.000.009.100");

    std::vector<const char*> results;
    for (unsigned char i = 0; i < 12; ++i) {
        const unsigned char c[4] = { i, i, i, i };
        results.push_back(FormatIpAddress(c));
    }
    // Twelve results stay valid side by side; the thirteenth call reuses the oldest.
    EXPECT_EQ(std::set<const char*>(results.begin(), results.end()).size(), 12u);
    EXPECT_STREQ(results[0], "000.000.000.000");
    EXPECT_STREQ(results[11], "011.011.011.011");
    const unsigned char d[4] = { 1, 2, 3, 4 };
    const char* sz = FormatIpAddress(d);
    EXPECT_EQ(sz, results[0]);
    EXPECT_EQ(std::strlen(sz), 15u);
}

TEST_F(AdapterListTest, EntryTextsFollowTheFirstAddressAfterTheLinkLayerOnes)
{
    CFakeEnumeration fake({
        { "eth0", nullptr, { { AF_PACKET, "" }, { AF_INET, "192.168.1.10" } } },
        { "eth1", "Intel PRO/1000", { { AF_INET, "10.0.0.1" }, { AF_INET6, "fe80::1" } } },
        // An IPv6 address first hides a later IPv4 one.
        { "eth2", nullptr,
            { { AF_PACKET, "" }, { AF_INET6, "fe80::2" }, { AF_INET, "10.1.1.1" } } },
        { "eth3", "", {} },
        { "eth4", nullptr, { { AF_PACKET, "" } } },
        { "eth5", nullptr, { { 0, nullptr }, { AF_INET, "10.2.2.2" } } },
        { "any", "Pseudo-device that captures on all interfaces", {} },
    });
    CFakeView view;
    FillAdapterList(view, "", fake.Source());
    EXPECT_EQ(view.entries,
        Strings({ "192.168.001.010 - eth0", "010.000.000.001 - (Intel PRO/1000) eth1",
            "000.000.000.000 - eth2", "000.000.000.000 - () eth3", "000.000.000.000 - eth4",
            "000.000.000.000 - eth5",
            "000.000.000.000 - (Pseudo-device that captures on all interfaces) any" }));
    EXPECT_TRUE(view.selections.empty());
    EXPECT_EQ(fake.iFrees, 1);
    EXPECT_TRUE(m_box.shown.empty());
}

TEST_F(AdapterListTest, SelectsTheLastExactMatchOfTheSavedName)
{
    CFakeEnumeration fake({ { "vm0", nullptr, {} }, { "VM1", nullptr, {} }, { "vm1", nullptr, {} },
        { "vm1x", nullptr, {} }, { "vm1", "again", {} }, { "zz", nullptr, {} } });
    CFakeView view;
    FillAdapterList(view, "vm1", fake.Source());
    ASSERT_FALSE(view.selections.empty());
    EXPECT_EQ(view.selections.back(), 4);
    EXPECT_EQ(
        std::set<int>(view.selections.begin(), view.selections.end()), std::set<int>({ 2, 4 }));

    for (const char* sz : { "vm", "Vm0", "vm0 ", "", "gone" }) {
        CFakeView other;
        FillAdapterList(other, sz, fake.Source());
        EXPECT_TRUE(other.selections.empty()) << sz;
        EXPECT_EQ(other.entries.size(), 6u);
    }
}

TEST_F(AdapterListTest, PositionsMapToNamesInEnumerationOrder)
{
    // Sorted by text the entries would come in another order; positions must not.
    CFakeEnumeration fake({ { "zeta", nullptr, { { AF_INET, "10.0.0.9" } } },
        { "alpha", "First", {} }, { "mid", nullptr, {} } });
    EXPECT_EQ(AdapterNameByIndex(0, fake.Source()), "zeta");
    EXPECT_EQ(AdapterNameByIndex(1, fake.Source()), "alpha");
    EXPECT_EQ(AdapterNameByIndex(2, fake.Source()), "mid");
    EXPECT_EQ(AdapterNameByIndex(3, fake.Source()), std::nullopt);
    EXPECT_EQ(AdapterNameByIndex(-1, fake.Source()), std::nullopt);
    EXPECT_EQ(fake.iFinds, 5);
    EXPECT_EQ(fake.iFrees, 5);
}

TEST_F(AdapterListTest, FailedEnumerationIsSaidToTheShellAndLeavesTheListEmpty)
{
    CFakeEnumeration fake({ { "eth0", nullptr, {} } }, -1);
    CFakeView view;
    // The shell shows or prints the sentence; the list itself stays silent.
    EXPECT_FALSE(FillAdapterList(view, "eth0", fake.Source()));
    EXPECT_TRUE(view.entries.empty());
    EXPECT_TRUE(view.selections.empty());
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_EQ(MessageLogBytes(), "");
    EXPECT_EQ(std::string(kNoAdaptersText),
        "Error. Can not find any devices, Are you sure that Winpap is installed ?");

    // A failure while saving reports nothing.
    EXPECT_EQ(AdapterNameByIndex(0, fake.Source()), std::nullopt);
    EXPECT_EQ(fake.iFrees, 0);
}

TEST_F(AdapterListTest, NoAdaptersMeansAnEmptyListAndNoMessage)
{
    CFakeEnumeration fake({});
    CFakeView view;
    EXPECT_TRUE(FillAdapterList(view, "eth0", fake.Source()));
    EXPECT_TRUE(view.entries.empty());
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_EQ(AdapterNameByIndex(0, fake.Source()), std::nullopt);
    EXPECT_EQ(fake.iFrees, 0);
}

TEST(KernelInterfaceTest, OnlyTheKernelsNetworkInterfacesCount)
{
    EXPECT_TRUE(IsKernelInterface("lo"));
    for (const char* sz :
        { "any", "nflog", "nfqueue", "dbus-system", "dbus-session", "bluetooth-monitor", "usbmon0",
            "usbmon1", "", "lo ", "LO", "lo/..", "a-name-longer-than-ifnamsiz" })
        EXPECT_FALSE(IsKernelInterface(sz)) << sz;
    EXPECT_FALSE(IsKernelInterface(nullptr));
}

// The real enumeration inside a namespace of our own.
class AdapterListNetnsTest : public AdapterListTest {
protected:
    void SetUp() override
    {
        VTEST_REQUIRE_NETNS(m_ns);
        m_pEnter = std::make_unique<CEnterNetns>(m_ns);
        ASSERT_TRUE(m_pEnter->Ok());
    }
    void TearDown() override { m_pEnter.reset(); }

    int IndexOf(const Strings& entries, const std::string& cs)
    {
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i] == cs)
                return static_cast<int>(i);
        return -1;
    }

    CNetns m_ns { "adapters" };
    std::unique_ptr<CEnterNetns> m_pEnter;
};

TEST_F(AdapterListNetnsTest, ListsTheNamespacesAdaptersAndSelectsTheSavedOne)
{
    ASSERT_TRUE(m_ns.AddVethPair("va", "vb"));
    CFakeView view;
    FillAdapterList(view, "vm1");
    const int iVm0 = IndexOf(view.entries, "000.000.000.000 - vm0");
    const int iVm1 = IndexOf(view.entries, "000.000.000.000 - vm1");
    EXPECT_GE(iVm0, 0);
    ASSERT_GE(iVm1, 0);
    EXPECT_EQ(view.selections, std::vector<int>({ iVm1 }));
    bool bLoopback = false;
    for (const std::string& cs : view.entries)
        bLoopback |= cs.rfind("127.000.000.001 - ", 0) == 0 && cs.size() > 18
            && cs.compare(cs.size() - 3, 3, " lo") == 0;
    EXPECT_TRUE(bLoopback);
    EXPECT_TRUE(m_box.shown.empty());
    // Exactly the namespace's interfaces, in positions that map back to them;
    // none of libpcap's pseudo-adapters.
    std::set<std::string> names;
    for (int i = 0; i < static_cast<int>(view.entries.size()); ++i) {
        const auto name = AdapterNameByIndex(i);
        ASSERT_TRUE(name.has_value()) << i;
        const std::string& cs = view.entries[static_cast<size_t>(i)];
        EXPECT_EQ(cs.substr(cs.size() - name->size() - 1), " " + *name) << cs;
        names.insert(*name);
    }
    EXPECT_EQ(names, std::set<std::string>({ "lo", "va", "vb", "vm0", "vm1" }));
    EXPECT_EQ(view.entries.size(), names.size());

    // A saved adapter that is gone, or one not listed, selects nothing.
    for (const char* sz : { "vm9", "any", "nflog" }) {
        CFakeView absent;
        FillAdapterList(absent, sz);
        EXPECT_TRUE(absent.selections.empty()) << sz;
        EXPECT_EQ(absent.entries, view.entries);
    }
}

TEST_F(AdapterListNetnsTest, PositionsFollowAFreshEnumerationAfterAnAdapterIsAdded)
{
    CFakeView view;
    FillAdapterList(view, "");
    const int iCount = static_cast<int>(view.entries.size());
    ASSERT_GT(iCount, 2);
    for (int i = 0; i < iCount; ++i) {
        const auto name = AdapterNameByIndex(i);
        ASSERT_TRUE(name.has_value()) << i;
        const std::string& cs = view.entries[static_cast<size_t>(i)];
        EXPECT_EQ(cs.substr(cs.size() - name->size() - 1), " " + *name) << cs;
    }
    EXPECT_EQ(AdapterNameByIndex(iCount), std::nullopt);

    ASSERT_TRUE(m_ns.AddVethPair("vm2", "vm3"));
    // The list still shows the adapters of start-up, while positions now name
    // the adapters of the new enumeration, so the same position may name another.
    std::set<std::string> names;
    for (int i = 0; i < iCount + 2; ++i) {
        const auto name = AdapterNameByIndex(i);
        ASSERT_TRUE(name.has_value()) << i;
        names.insert(*name);
    }
    EXPECT_EQ(names.count("vm2"), 1u);
    EXPECT_EQ(names.count("vm3"), 1u);
    EXPECT_EQ(AdapterNameByIndex(iCount + 2), std::nullopt);
    EXPECT_EQ(view.entries.size(), static_cast<size_t>(iCount));
}

} // namespace
