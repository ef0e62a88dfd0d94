// The aim inside a Send: the sink gets the aimed bytes, frames that cannot be
// aimed go as captured with one debug record each and a count, and a default
// aim changes neither a byte nor a record.

#include "FrameBuilder.h"
#include "ReplayFakes.h"
#include "log/Log.h"
#include "session/ReplayWords.h"
#include "session/SendWords.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace velmora;
using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

class AimReplayTest : public ::testing::Test, public CReplayFixtureBase {
protected:
    void SetUp() override
    {
        // Unicast BACnet/IP, an IP fragment, ARP, BACnet/Ethernet, and 12 bytes:
        // long enough to send, too short to aim.
        m_frames = {
            BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55")),
            Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0a, Hex("01 04"))), -1, 0x2000),
            EthernetII(
                0x0806, Hex("0001 0800 06 04 0001 02766d0a0001 0a000001 000000000000 0a000002")),
            BacnetEthernet(Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55")),
            Hex("02 76 6d 0a 00 02 02 76 6d 0a 00 01"),
        };
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(File("c.pcap")));
        for (size_t i = 0; i < m_frames.size(); ++i)
            ASSERT_TRUE(writer.Write(m_frames[i], 1000 + static_cast<uint32_t>(i), 0));
        ASSERT_TRUE(writer.Close());
        m_request.csPath = File("c.pcap");
        m_request.csAdapter = "vm0";
        m_aim.bDstMac = true;
        ASSERT_TRUE(ParseMac("02:76:6d:00:00:2a", m_aim.dstMac));
        m_aim.eSrcMac = EAimSource::Given;
        ASSERT_TRUE(ParseMac("02:76:6d:00:00:05", m_aim.srcMac));
        m_aim.bDstIp = true;
        ASSERT_TRUE(ParseIpv4Endpoint("192.168.7.42:47809", m_aim.dstIp, m_aim.uDstPort));
    }

    // The bytes the aim makes of frame i, worked out by AimFrame on its own.
    Bytes Expected(size_t i) const
    {
        SAimPlan plan;
        std::string csError;
        EXPECT_TRUE(PlanAim(m_aim, "vm0", SAdapterAddresses(), plan, csError));
        Bytes f = m_frames[i];
        AimFrame(plan, f);
        return f;
    }

    SReplayResult Send()
    {
        ResetDebugLogFile();
        m_sink.frames.clear();
        return Replay(m_request, m_sink, m_window);
    }

    std::vector<Bytes> m_frames;
    SReplayRequest m_request;
    SAimOptions m_aim;
    CFakeWindow m_window;
    CFakeSink m_sink;
};

TEST_F(AimReplayTest, SendsTheAimedBytesAndCountsWhatItCouldNotAim)
{
    struct {
        const char* szCase;
        EReplayMode eMode;
        int iOffset;
        CRecordSelection selection;
        std::vector<size_t> sent;
    } const rows[] = {
        { "all", EReplayMode::All, 0, {}, { 0, 1, 2, 3, 4 } },
        { "single", EReplayMode::Single, 1, {}, { 1 } },
        { "selection", EReplayMode::Selection, 0, { 4, 0, 3 }, { 0, 3, 4 } },
    };
    const char* const kWhy[] = { nullptr, "an IP fragment", "not BACnet", nullptr, "too short" };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szCase);
        m_request.eMode = row.eMode;
        m_request.iOffset = row.iOffset;
        m_request.selection = row.selection;
        m_request.aim = m_aim;
        const SReplayResult result = Send();
        ASSERT_EQ(m_sink.frames.size(), row.sent.size());
        Strings want;
        int iNotAimed = 0;
        for (size_t k = 0; k < row.sent.size(); ++k) {
            const size_t i = row.sent[k];
            EXPECT_EQ(m_sink.frames[k], Expected(i)) << "record " << i;
            // Aimed frames differ from the capture; the others are its bytes.
            EXPECT_EQ(m_sink.frames[k] == m_frames[i], kWhy[i] != nullptr) << "record " << i;
            char sz[80];
            std::snprintf(sz, sizeof sz, "[%03zu]  %zu:0 (%zu)", i, 1000 + i, m_frames[i].size());
            want.push_back(sz);
            if (kWhy[i]) {
                want.push_back("FYI. Record [00" + std::to_string(i) + "] not aimed: " + kWhy[i]
                    + "; sent as captured");
                ++iNotAimed;
            }
        }
        EXPECT_EQ(result.iNotAimed, iNotAimed);
        // Each record's packet line, then why it was not aimed, in file order.
        Strings got = DebugTexts();
        got.erase(got.begin()); // OpenLocalDevice
        EXPECT_EQ(got, want);
        const std::string csWant = iNotAimed == 0 ? ""
                                                  : std::to_string(row.sent.size())
                + (row.sent.size() == 1 ? " packet sent, " : " packets sent, ")
                + std::to_string(iNotAimed) + " not aimed (see Debuglog.txt)";
        EXPECT_EQ(ReplayStatusText(result, m_request), csWant);
    }
}

TEST_F(AimReplayTest, TheDefaultAimSendsTheCaptureAsItIs)
{
    m_request.eMode = EReplayMode::All;
    const SReplayResult result = Send();
    ASSERT_EQ(m_sink.frames.size(), m_frames.size());
    for (size_t i = 0; i < m_frames.size(); ++i)
        EXPECT_EQ(m_sink.frames[i], m_frames[i]);
    EXPECT_EQ(result.iNotAimed, 0);
    EXPECT_EQ(DebugTexts().size(), 1 + m_frames.size());
    EXPECT_EQ(ReplayStatusText(result, m_request), "");
}

// A capture taken on the sending host: its NIC was left to fill in the
// checksums. An aimed Send mends them (and counts them, the requests apart),
// --keep-checksums keeps them as wrong as captured, and a default Send
// neither looks nor changes a byte nor a record; the count beside it finds them.
TEST_F(AimReplayTest, ChecksumsLeftToTheNic)
{
    const Bytes request
        = Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55")));
    const Bytes answer = Checksummed(BacnetIp(0x0a, Hex("01 00 20 05 0f")));
    auto nic = [](Bytes f, size_t nAt) {
        f[nAt] ^= 0x11;
        return f;
    };
    m_frames = { request, nic(request, 40), nic(request, 24), nic(answer, 40), nic(request, 40) };
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("nic.pcap")));
    for (const Bytes& f : m_frames)
        ASSERT_TRUE(writer.Write(f));
    ASSERT_TRUE(writer.Close());
    m_request.csPath = File("nic.pcap");
    SAimOptions sameMac; // the destination the capture already has
    sameMac.bDstMac = true;
    ASSERT_TRUE(ParseMac("02:76:6d:0a:00:02", sameMac.dstMac));
    const struct {
        const char* szCase;
        SAimOptions aim;
        bool bKeep;
        CRecordSelection selection;
        long long llWrong, llRequests;
        const char* szText;
    } rows[] = {
        { "aimed: mended", sameMac, false, {}, 4, 3,
            "4 frames carried checksums left to the NIC (a capture taken on the sending host?): "
            "mended" },
        { "aimed, requests only among them", sameMac, false, { 0, 1, 2 }, 2, 2,
            "2 requests carried checksums left to the NIC (a capture taken on the sending host?): "
            "mended" },
        { "aimed, one", sameMac, false, { 4 }, 1, 1,
            "1 request carried checksums left to the NIC (a capture taken on the sending host?): "
            "mended" },
        { "kept", sameMac, true, {}, 4, 3,
            "4 frames carried checksums left to the NIC (a capture taken on the sending host?): "
            "sent as captured; a device will drop them" },
        { "default", SAimOptions(), false, {}, 0, 0, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szCase);
        m_request.aim = row.aim;
        m_request.bKeepChecksums = row.bKeep;
        m_request.eMode = row.selection.empty() ? EReplayMode::All : EReplayMode::Selection;
        m_request.selection = row.selection;
        const SReplayResult result = Send();
        EXPECT_EQ(result.llWrongChecksums, row.llWrong);
        EXPECT_EQ(result.llWrongRequests, row.llRequests);
        EXPECT_EQ(ChecksumsMendedText(result, m_request), row.szText);
        const bool bMend = !row.aim.IsDefault() && !row.bKeep;
        ASSERT_EQ(m_sink.frames.size(), row.selection.empty() ? 5u : row.selection.size());
        for (size_t k = 0; k < m_sink.frames.size(); ++k) {
            const size_t i = row.selection.empty() ? k : row.selection[k];
            const SChecksumsHold hold = ChecksumsHold(m_sink.frames[k]);
            EXPECT_EQ(hold.bIp && hold.bUdp, bMend || i == 0) << "record " << i;
            if (bMend)
                EXPECT_EQ(m_sink.frames[k], i == 3 ? answer : request) << "record " << i;
            else
                EXPECT_EQ(m_sink.frames[k], m_frames[i]) << "record " << i;
        }
        // The default Send's records are its packet lines alone.
        const Strings got = DebugTexts();
        if (row.aim.IsDefault()) {
            EXPECT_EQ(got.size(), 1 + m_frames.size());
        }
        // Counted apart from the Send, for the default's notice.
        std::atomic<bool> bStop { false };
        uint64_t uWrong = 99;
        EXPECT_TRUE(CountWrongChecksums(m_request, bStop, uWrong));
        EXPECT_EQ(uWrong, static_cast<uint64_t>(row.selection.empty() ? 4 : row.llWrong));
    }
    EXPECT_EQ(WrongChecksumsText(4),
        "4 BACnet/IP frames carry wrong checksums (a capture taken on the sending host?): a "
        "device will drop them");
    EXPECT_EQ(WrongChecksumsText(1),
        "1 BACnet/IP frame carries a wrong checksum (a capture taken on the sending host?): a "
        "device will drop it");
    EXPECT_EQ(WrongChecksumsText(0), "");
    // A stop ends the count without a number to tell.
    std::atomic<bool> bStop { true };
    uint64_t uWrong = 0;
    EXPECT_FALSE(CountWrongChecksums(m_request, bStop, uWrong));
    m_request.csPath = File("none.pcap");
    bStop = false;
    EXPECT_FALSE(CountWrongChecksums(m_request, bStop, uWrong));
}

TEST_F(AimReplayTest, AnAdapterWithoutTheAddressAskedForSendsNothing)
{
    struct {
        EAimSource eMac;
        EAimSource eIp;
        ENotSent eWhy;
        const char* szStatus;
    } const rows[] = {
        { EAimSource::Adapter, EAimSource::AsCaptured, ENotSent::NoAimMac,
            "Not sent: adapter no-such0 has no MAC address of its own to aim from (see Send "
            "options)" },
        { EAimSource::AsCaptured, EAimSource::Adapter, ENotSent::NoAimIpv4,
            "Not sent: adapter no-such0 has no IPv4 address of its own to aim from (see Send "
            "options)" },
    };
    for (const auto& row : rows) {
        m_request.csAdapter = "no-such0"; // the fake sink opens anything
        m_request.aim = SAimOptions();
        m_request.aim.eSrcMac = row.eMac;
        m_request.aim.eSrcIp = row.eIp;
        const SReplayResult result = Send();
        EXPECT_EQ(result.eNotSent, row.eWhy);
        EXPECT_TRUE(m_sink.frames.empty());
        EXPECT_TRUE(m_window.enableCalls.empty());
        EXPECT_EQ(ReplayStatusText(result, m_request), row.szStatus);
    }
}

TEST_F(AimReplayTest, ACaptureThatIsNotEthernetIsSentAsItIs)
{
    CRawCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("raw.pcap")));
    writer.FileHeader(kMaxPcapSnapLen, CRawCaptureWriter::kMagicMicro, 2, 4, 101); // raw IP
    writer.Record(m_frames[0], static_cast<uint32_t>(m_frames[0].size()));
    ASSERT_TRUE(writer.Close());
    m_request.csPath = File("raw.pcap");
    m_request.aim = m_aim;
    const SReplayResult result = Send();
    ASSERT_EQ(m_sink.frames.size(), 1u);
    EXPECT_EQ(m_sink.frames[0], m_frames[0]);
    EXPECT_EQ(result.iNotAimed, 1);
    EXPECT_EQ(DebugTexts().back(), "FYI. Record [000] not aimed: not Ethernet; sent as captured");
}

// A route changes lengths inside a Send: each frame goes out at its new
// length, in every mode, and one the route makes longer than the MTU (1500,
// vm0 being no adapter here) is refused with a debug record, never sent cut.
TEST_F(AimReplayTest, ARouteSendsNewLengthsAndRefusesWhatOutgrowsTheMtu)
{
    const Bytes read = Hex("00 05 01 0c 0c 020000cf 19 4d");
    // An octet string that brings the IPv4 datagram to 1497 bytes.
    const Bytes big = Cat(
        { Hex("00 05 02 0f 0c 020000cf 19 79 3e 65 fe 05 a1"), Bytes(1441, 0x5a), Hex("3f") });
    m_frames = {
        BacnetIp(0x0a, Cat({ Hex("01 24 0005 01 0d ff"), read })),
        BacnetIp(0x0a, Cat({ Hex("01 24 0005 01 0d ff"), big })),
        BacnetEthernet(Cat({ Hex("01 24 0005 01 0d ff"), read })),
    };
    ASSERT_EQ(m_frames[1].size(), 14u + 1497u);
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("r.pcap")));
    for (size_t i = 0; i < m_frames.size(); ++i)
        ASSERT_TRUE(writer.Write(m_frames[i], 1000 + static_cast<uint32_t>(i), 0));
    ASSERT_TRUE(writer.Close());
    m_request.csPath = File("r.pcap");
    m_aim = SAimOptions();
    ASSERT_TRUE(ParseRoute("9:02:00:00:00:00:2a", m_aim.route));
    m_aim.devices = { { 207, 1234 } };
    m_request.aim = m_aim;
    for (const EReplayMode eMode : { EReplayMode::All, EReplayMode::Selection }) {
        SCOPED_TRACE(static_cast<int>(eMode));
        m_request.eMode = eMode;
        m_request.selection = { 0, 1, 2 };
        const SReplayResult result = Send();
        const Strings texts = DebugTexts(); // before Expected, which aims (and logs) again
        ASSERT_EQ(m_sink.frames.size(), 2u);
        EXPECT_EQ(m_sink.frames[0], Expected(0));
        EXPECT_EQ(m_sink.frames[0].size(), m_frames[0].size() + 5);
        EXPECT_EQ(m_sink.frames[1], Expected(2));
        EXPECT_EQ(m_sink.frames[1].size(), 60u);
        EXPECT_EQ(Expected(1), m_frames[1]); // kept as captured: it is not sent
        EXPECT_EQ(result.iRefused, 1);
        EXPECT_EQ(result.iNotAimed, 0);
        EXPECT_EQ(std::count(texts.begin(), texts.end(),
                      "FYI. A request the route makes 1502 bytes long is longer than the "
                      "adapter's MTU of 1500: not sent"),
            1);
    }
}

} // namespace
