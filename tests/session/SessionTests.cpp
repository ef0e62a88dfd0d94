#include "FrameBuilder.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "session/JudgeSend.h"
#include "session/RecordCounter.h"
#include "session/SendOptions.h"
#include "session/SendWords.h"
#include "session/Session.h"
#include "settings/AppSettings.h"
#include "tools/CaptureWriter.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

using namespace velmora;

namespace {

class SessionTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    std::string DebugText() const { return vtest::ReadFile(m_dir.File("Debuglog.txt")); }
};

TEST_F(SessionTest, StartUpDecidesTheDebugFlag)
{
    struct Row {
        const char* szCase;
        const char* szSettings; // nullptr: no settings.ini
        std::optional<bool> debug;
        bool bDebugAfter;
    };
    const Row rows[] = {
        { "no settings.ini", nullptr, std::nullopt, true },
        { "settings say off", "[Velmora]\r\nDebug=0\r\n", std::nullopt, false },
        { "settings say on", "[Velmora]\r\nDebug=1\r\n", std::nullopt, true },
        { "caller says on over the settings", "[Velmora]\r\nDebug=0\r\n", true, true },
        { "caller says off without settings", nullptr, false, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        std::filesystem::remove(m_dir.File("settings.ini"));
        if (row.szSettings)
            vtest::WriteFile(m_dir.File("settings.ini"), row.szSettings);
        vtest::WriteFile(m_dir.File("Debuglog.txt"), "left over\n");
        g_bDebug = !row.bDebugAfter;
        CSession session;
        session.StartUp(row.debug);
        EXPECT_EQ(g_bDebug, row.bDebugAfter);
        EXPECT_EQ(session.InstallDir(), m_dir.Path().string());
        // The old log is gone; the start-up records are there only with the flag.
        const std::string cs = DebugText();
        EXPECT_EQ(cs.find("left over"), std::string::npos);
        EXPECT_EQ(cs.find("Program starting up") != std::string::npos, row.bDebugAfter);
        EXPECT_EQ(cs.find("Install directory=[" + m_dir.Path().string() + "]") != std::string::npos,
            row.bDebugAfter);
    }
}

TEST_F(SessionTest, SaveKeepsTheLastStorablePath)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nOldPath=/a.pcap\r\nMode=0\r\n");
    CSession session;
    session.StartUp();
    EXPECT_EQ(session.CapturePath(), "/a.pcap");
    struct Row {
        const char* szCase;
        std::string csPath;
        const char* szStored;
        int iLineFeedRecords; // so far
    };
    const Row rows[] = {
        { "plain path", "/b.pcap", "OldPath=/b.pcap\r\n", 0 },
        { "line feed: the last one stays", "/c\n.pcap", "OldPath=/b.pcap\r\n", 1 },
        { "the same again is reported once", "/c\n.pcap", "OldPath=/b.pcap\r\n", 1 },
        { "storable again", "/d.pcap", "OldPath=/d.pcap\r\n", 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        session.CapturePath() = row.csPath;
        EXPECT_TRUE(session.Save());
        const std::string csIni = vtest::ReadFile(m_dir.File("settings.ini"));
        EXPECT_NE(csIni.find(row.szStored), std::string::npos) << csIni;
        EXPECT_NE(csIni.find("Mode=0\r\n"), std::string::npos);
        int iRecords = 0;
        for (const std::string& cs : DebugTexts())
            iRecords += cs.find("holds a line feed") != std::string::npos;
        EXPECT_EQ(iRecords, row.iLineFeedRecords);
    }
}

// The send options live beside settings.ini: choosing them leaves
// settings.ini byte for byte as today's program writes it.
TEST_F(SessionTest, SendOptionsKeepSettingsIniByteForByte)
{
    AppSettings today;
    today.Mode = 0;
    today.Offset = 7;
    today.NicDevice = "vm0";
    today.OldPath = "/a.pcap";
    ASSERT_TRUE(today.SaveTo(m_dir.File("settings.ini")));
    const std::string csIni = vtest::ReadFile(m_dir.File("settings.ini"));
    {
        CSession session;
        session.StartUp();
        EXPECT_EQ(session.SendOptions(), SSendOptions());
        EXPECT_TRUE(session.Save());
        EXPECT_TRUE(session.SaveSendOptions());
        // Defaults leave no new file behind.
        EXPECT_FALSE(std::filesystem::exists(m_dir.File("send-options.ini")));
        EXPECT_EQ(vtest::ReadFile(m_dir.File("settings.ini")), csIni);
        SAimOptions& aim = session.SendOptions().aim;
        ASSERT_TRUE(ParseMac("02:00:00:00:00:2a", aim.dstMac));
        aim.bDstMac = true;
        aim.bAlsoBroadcasts = true;
        aim.eSrcMac = EAimSource::Adapter;
        ASSERT_TRUE(ParseIpv4Endpoint("192.168.7.42:47809", aim.dstIp, aim.uDstPort));
        aim.bDstIp = true;
        ASSERT_TRUE(ParseIpSource("adapter:47810", aim.eSrcIp, aim.srcIp, aim.uSrcPort));
        EXPECT_TRUE(session.SaveSendOptions());
        EXPECT_TRUE(session.Save());
        EXPECT_EQ(vtest::ReadFile(m_dir.File("settings.ini")), csIni);
    }
    EXPECT_EQ(vtest::ReadFile(m_dir.File("send-options.ini")),
        "[Aim]\r\nDstMac=02:00:00:00:00:2a\r\nAlsoBroadcasts=1\r\nSrcMac=adapter\r\n"
        "DstIp=192.168.7.42:47809\r\nSrcIp=adapter:47810\r\n\r\n[Listen]\r\nListen=0\r\n"
        "Wait=3\r\nExpectCaptured=0\r\nRequestsOnly=0\r\n\r\n");
    // The next run reads them back; back at the defaults, the file says so.
    CSession session;
    session.StartUp();
    const SAimOptions& aim = session.SendOptions().aim;
    EXPECT_TRUE(aim.bDstMac && aim.bAlsoBroadcasts && aim.bDstIp);
    EXPECT_EQ(FormatMac(aim.dstMac), "02:00:00:00:00:2a");
    EXPECT_EQ(aim.eSrcMac, EAimSource::Adapter);
    EXPECT_EQ(FormatIpv4Endpoint(aim.dstIp, aim.uDstPort), "192.168.7.42:47809");
    EXPECT_EQ(FormatIpSource(aim.eSrcIp, aim.srcIp, aim.uSrcPort), "adapter:47810");
    session.SendOptions() = SSendOptions();
    EXPECT_TRUE(session.SaveSendOptions());
    SSendOptions back;
    EXPECT_TRUE(LoadSendOptions(m_dir.File("send-options.ini"), back));
    EXPECT_EQ(back, SSendOptions());
    EXPECT_EQ(vtest::ReadFile(m_dir.File("settings.ini")), csIni);
}

// Other groups' sections and unknown keys stay; values that do not parse
// leave their option off rather than half set.
TEST_F(SessionTest, SendOptionsFileKeepsWhatItDoesNotKnow)
{
    vtest::WriteFile(m_dir.File("send-options.ini"),
        "; "
        "mine\r\n[Pace]\r\nSpeed=2\r\n[Aim]\r\nDstMac=02:00:00:00:00\r\nSrcMac=01:00:5e:00:00:"
        "01\r\n"
        "DstIp=10.0.0.300\r\nSrcIp=adapter:x\r\nNote=kept\r\n");
    SSendOptions options;
    EXPECT_TRUE(LoadSendOptions(m_dir.File("send-options.ini"), options));
    EXPECT_EQ(options, SSendOptions());
    options.aim.bDstMac = true;
    EXPECT_TRUE(SaveSendOptions(m_dir.File("send-options.ini"), options));
    const std::string cs = vtest::ReadFile(m_dir.File("send-options.ini"));
    EXPECT_NE(cs.find("[Pace]\r\nSpeed=2\r\n"), std::string::npos) << cs;
    EXPECT_NE(cs.find("Note=kept\r\n"), std::string::npos) << cs;
    EXPECT_NE(cs.find("DstMac=00:00:00:00:00:00\r\n"), std::string::npos) << cs;
    EXPECT_NE(cs.find("; mine"), std::string::npos) << cs;
}

// The route and the device map round trip through [Aim]; entries that do
// not read are left out, a device mapped twice keeps its first map.
TEST_F(SessionTest, RouteAndDeviceMapRoundTripThroughAim)
{
    vtest::WriteFile(m_dir.File("send-options.ini"),
        "[Aim]\r\nRoute=9:zz\r\nDevices=1=2,x=3,1=4,,7=4194303,8=9\r\n");
    SSendOptions options;
    EXPECT_TRUE(LoadSendOptions(m_dir.File("send-options.ini"), options));
    EXPECT_EQ(options.aim.route, SRoute());
    EXPECT_EQ(options.aim.devices, (std::vector<SDeviceMap> { { 1, 2 }, { 8, 9 } }));
    ASSERT_TRUE(ParseRoute("5:0x1f", options.aim.route));
    options.aim.devices = { { 207, 1234 }, { 5, 6 } };
    EXPECT_TRUE(SaveSendOptions(m_dir.File("send-options.ini"), options));
    const std::string cs = vtest::ReadFile(m_dir.File("send-options.ini"));
    EXPECT_NE(cs.find("Route=5:0x1f\r\n"), std::string::npos) << cs;
    EXPECT_NE(cs.find("Devices=207=1234,5=6\r\n"), std::string::npos) << cs;
    SSendOptions back;
    EXPECT_TRUE(LoadSendOptions(m_dir.File("send-options.ini"), back));
    EXPECT_EQ(back, options);
    // Back to captured and no map: the keys say so, and read back as the default.
    back.aim.route = SRoute();
    back.aim.devices.clear();
    EXPECT_TRUE(SaveSendOptions(m_dir.File("send-options.ini"), back));
    SSendOptions again;
    EXPECT_TRUE(LoadSendOptions(m_dir.File("send-options.ini"), again));
    EXPECT_EQ(again, back);
}

// The timing round trips through [Timing]; a value the file cannot hold for
// its pace leaves that value at its default, and an unusable rate sends back
// to back as today rather than at some other rate.
TEST_F(SessionTest, TimingRoundTripsAndBadValuesFallBack)
{
    const std::string csPath = m_dir.File("send-options.ini");
    auto pace = [](EPace e, double dMultiplier, double dRate, int64_t llLoops, int64_t llPauseMs,
                    double dDuration) {
        SPaceOptions p;
        p.ePace = e;
        p.dMultiplier = dMultiplier;
        p.dRate = dRate;
        p.llLoops = llLoops;
        p.llLoopPauseMs = llPauseMs;
        p.dDurationSeconds = dDuration;
        return p;
    };
    const SPaceOptions rows[] = {
        pace(EPace::Captured, 1, 0, 3, 0, 0),
        pace(EPace::Captured, 0.001, 0, 1, 0, 0),
        pace(EPace::Captured, 1000, 0, 0, 86400000, 0),
        pace(EPace::PacketsPerSecond, 1, 100000000, 2, 500, 0),
        pace(EPace::MegabitsPerSecond, 1, 0.125, 1, 0, 2.5),
        pace(EPace::BackToBack, 1, 0, 0, 1, 31536000),
    };
    for (const SPaceOptions& row : rows) {
        SCOPED_TRACE(PaceSummary(row));
        std::filesystem::remove(csPath);
        SSendOptions options;
        options.pace = row;
        ASSERT_TRUE(SaveSendOptions(csPath, options));
        SSendOptions back;
        ASSERT_TRUE(LoadSendOptions(csPath, back));
        EXPECT_EQ(back, options) << vtest::ReadFile(csPath);
    }
    EXPECT_NE(
        vtest::ReadFile(csPath).find(
            "[Timing]\r\nPace=BackToBack\r\nMultiplier=1\r\nRate=0\r\nRounds=0\r\nPauseMs=1\r\n"
            "DurationS=31536000\r\n\r\n"),
        std::string::npos);

    struct Bad {
        const char* szTiming;
        SPaceOptions expected;
    };
    const Bad bad[] = {
        { "Pace=Captured\r\nMultiplier=0.0001\r\n", pace(EPace::Captured, 1, 0, 1, 0, 0) },
        { "Pace=Captured\r\nMultiplier=1e3\r\n", pace(EPace::Captured, 1, 0, 1, 0, 0) },
        { "Pace=PacketsPerSecond\r\nRate=0\r\n", SPaceOptions() },
        { "Pace=MegabitsPerSecond\r\nRate=2000000\r\nRounds=3\r\n",
            pace(EPace::BackToBack, 1, 0, 3, 0, 0) },
        { "Pace=Sometimes\r\nMultiplier=2\r\n", SPaceOptions() },
        { "Rounds=-1\r\n", SPaceOptions() },
        { "Rounds=2.5\r\nPauseMs=86400001\r\n", SPaceOptions() },
        { "Rounds=2\r\nPauseMs=-5\r\n", pace(EPace::BackToBack, 1, 0, 2, 0, 0) },
        { "Rounds=1\r\nPauseMs=500\r\n", SPaceOptions() }, // one round never pauses
        { "DurationS=inf\r\n", SPaceOptions() },
        { "DurationS=31536001\r\n", SPaceOptions() },
    };
    for (const Bad& row : bad) {
        SCOPED_TRACE(row.szTiming);
        vtest::WriteFile(csPath, std::string("[Timing]\r\n") + row.szTiming);
        SSendOptions back;
        ASSERT_TRUE(LoadSendOptions(csPath, back));
        EXPECT_EQ(back.pace, row.expected) << PaceSummary(back.pace);
    }
    // The aim's file gains no [Timing] while the timing is today's.
    std::filesystem::remove(csPath);
    SSendOptions aimed;
    aimed.aim.bAlsoBroadcasts = true;
    ASSERT_TRUE(SaveSendOptions(csPath, aimed));
    EXPECT_EQ(vtest::ReadFile(csPath).find("[Timing]"), std::string::npos);
}

TEST(PaceSummaryTest, SaysWhatIsNotTodays)
{
    struct Row {
        EPace ePace;
        double dValue;
        int64_t llLoops, llPauseMs;
        double dDuration;
        const char* szSummary;
    };
    const Row rows[] = {
        { EPace::BackToBack, 0, 1, 0, 0, "" },
        { EPace::Captured, 1, 3, 0, 0, "Paced as captured \u00d7 1, 3 rounds" },
        { EPace::Captured, 0.5, 1, 0, 0, "Paced as captured \u00d7 0.5" },
        { EPace::PacketsPerSecond, 100000000, 0, 250, 0,
            "Paced at 100000000 packets/s, rounds until stopped 250 ms apart" },
        { EPace::MegabitsPerSecond, 1.5, 1, 0, 10, "Paced at 1.5 Mbit/s, for at most 10 s" },
        { EPace::BackToBack, 0, 2, 0, 0, "Back to back, 2 rounds" },
    };
    for (const Row& row : rows) {
        SPaceOptions pace;
        pace.ePace = row.ePace;
        (row.ePace == EPace::Captured ? pace.dMultiplier : pace.dRate) = row.dValue;
        pace.llLoops = row.llLoops;
        pace.llLoopPauseMs = row.llPauseMs;
        pace.dDurationSeconds = row.dDuration;
        EXPECT_EQ(PaceSummary(pace), row.szSummary);
    }
}

// "Keep wrong checksums" lives in [Aim], written only once on, so that files
// of earlier versions gain no key; a file that has it keeps it up to date.
TEST_F(SessionTest, KeepChecksumsIsWrittenOnceOn)
{
    const std::string csPath = m_dir.File("send-options.ini");
    SSendOptions options;
    options.aim.bDstMac = true;
    ASSERT_TRUE(ParseMac("02:00:00:00:00:2a", options.aim.dstMac));
    ASSERT_TRUE(SaveSendOptions(csPath, options));
    const std::string csWithout = vtest::ReadFile(csPath);
    EXPECT_EQ(csWithout.find("KeepChecksums"), std::string::npos) << csWithout;
    const struct {
        bool bKeep;
        const char* szKey;
    } rows[] = { { true, "KeepChecksums=1\r\n" }, { false, "KeepChecksums=0\r\n" } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szKey);
        options.bKeepChecksums = row.bKeep;
        ASSERT_TRUE(SaveSendOptions(csPath, options));
        EXPECT_NE(vtest::ReadFile(csPath).find(row.szKey), std::string::npos);
        SSendOptions loaded;
        ASSERT_TRUE(LoadSendOptions(csPath, loaded));
        EXPECT_EQ(loaded, options);
    }
    // On its own it is no default, and a new file is written for it.
    SSendOptions keep;
    keep.bKeepChecksums = true;
    EXPECT_FALSE(keep.IsDefault());
    std::filesystem::remove(csPath);
    ASSERT_TRUE(SaveSendOptions(csPath, keep));
    SSendOptions loaded;
    ASSERT_TRUE(LoadSendOptions(csPath, loaded));
    EXPECT_TRUE(loaded.bKeepChecksums);
    EXPECT_EQ(MakeReplayRequest("c.pcap", 1, 0, nullptr, "vm0", loaded).bKeepChecksums, true);
}

// The listening group's section: each row is what the file says and what a
// Send then does; what does not parse leaves that option at its default.
TEST_F(SessionTest, ListenOptionsRoundTripThroughTheirSection)
{
    using std::chrono::milliseconds;
    struct Row {
        const char* szFile; // the [Listen] section's keys
        bool bListen;
        long long llWaitMs;
        bool bExpect;
        bool bRequestsOnly;
        const char* szWaitWritten; // Wait= as written back
        bool bConverse = true;
        SConverseOptions converse = {};
        const char* szConverseWritten = ""; // the conversing keys written back ("": none)
    };
    const SConverseOptions d;
    const Row rows[] = {
        { "", false, 3000, false, false, "3" },
        { "Listen=1\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=0\r\n", true, 0, false, false, "0" },
        { "Listen=1\r\nWait=2.5\r\nExpectCaptured=1\r\n", true, 2500, true, false, "2.5" },
        { "Wait=0.125\r\nRequestsOnly=1\r\n", false, 125, false, true, "0.125" },
        { "Listen=1\r\nWait=86400\r\n", true, 86400000, false, false, "86400" },
        // Beyond the command's limit, too many decimals, signs, blanks, words: 3 s.
        { "Listen=1\r\nWait=86400.001\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=1.2345\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=-1\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=1.\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=.5\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=five\r\n", true, 3000, false, false, "3" },
        { "Listen=1\r\nWait=99999999999999999999\r\n", true, 3000, false, false, "3" },
        // Leading zeros, as the command takes them: written back without.
        { "Listen=1\r\nWait=000002.5\r\n", true, 2500, false, false, "2.5" },
        // Conversing: on by default, keys written only once they differ or exist.
        { "Listen=1\r\nConverse=0\r\n", true, 3000, false, false, "3", false, d,
            "Converse=0\r\nWindow=1\r\nApduTimeoutMs=3000\r\nRetries=0\r\nGiveUp=10\r\n" },
        { "Listen=1\r\nWindow=16\r\nApduTimeoutMs=1\r\nRetries=3\r\nGiveUp=0\r\n", true, 3000,
            false, false, "3", true, { 16, 1, 3, 0 },
            "Window=16\r\nApduTimeoutMs=1\r\nRetries=3\r\nGiveUp=0\r\nConverse=1\r\n" },
        { "Window=8\r\nApduTimeoutMs=3600000\r\nGiveUp=1000000\r\n", false, 3000, false, false, "3",
            true, { 8, 3600000, 0, 1000000 },
            "Window=8\r\nApduTimeoutMs=3600000\r\nGiveUp=1000000\r\nConverse=1\r\nRetries=0\r\n" },
        { "Window=00000000004\r\nRetries=0003\r\n", false, 3000, false, false, "3", true,
            { 4, 3000, 3, 10 }, "Window=4\r\nRetries=3\r\nConverse=1\r\n" },
        // Out of their limits, signs, words: each its default; the keys present stay.
        { "Window=17\r\nApduTimeoutMs=0\r\nRetries=4\r\nGiveUp=-1\r\n", false, 3000, false, false,
            "3", true, d, "Window=1\r\nApduTimeoutMs=3000\r\nRetries=0\r\nGiveUp=10\r\n" },
        { "Window=0\r\nApduTimeoutMs=99999999999\r\nRetries=two\r\nGiveUp=1000001\r\n", false, 3000,
            false, false, "3", true, d,
            "Window=1\r\nApduTimeoutMs=3000\r\nRetries=0\r\nGiveUp=10\r\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szFile);
        const std::string csPath = m_dir.File("send-options.ini");
        vtest::WriteFile(
            csPath, std::string("[Aim]\r\nSrcMac=adapter\r\n[Listen]\r\n") + row.szFile);
        SSendOptions options;
        ASSERT_TRUE(LoadSendOptions(csPath, options));
        EXPECT_EQ(options.aim.eSrcMac, EAimSource::Adapter); // the other group is its own
        EXPECT_EQ(options.listen.bListen, row.bListen);
        EXPECT_EQ(options.listen.wait, milliseconds(row.llWaitMs));
        EXPECT_EQ(options.listen.bExpectCaptured, row.bExpect);
        EXPECT_EQ(options.listen.bRequestsOnly, row.bRequestsOnly);
        EXPECT_EQ(options.listen.bConverse, row.bConverse);
        EXPECT_EQ(options.listen.converse, row.converse);
        ASSERT_TRUE(SaveSendOptions(csPath, options));
        const std::string cs = vtest::ReadFile(csPath);
        if (*row.szConverseWritten) {
            // Each key in its place: those read keep it, the others follow.
            std::string csKeys = row.szConverseWritten;
            for (size_t n = 0; (n = csKeys.find("\r\n")) != std::string::npos;
                 csKeys.erase(0, n + 2))
                EXPECT_NE(cs.find("\r\n" + csKeys.substr(0, n + 2)), std::string::npos) << cs;
        } else {
            EXPECT_EQ(cs.find("Window="), std::string::npos) << cs;
            EXPECT_EQ(cs.find("Converse="), std::string::npos) << cs;
        }
        EXPECT_NE(cs.find(std::string("\r\nWait=") + row.szWaitWritten + "\r\n"), std::string::npos)
            << cs;
        SSendOptions back;
        ASSERT_TRUE(LoadSendOptions(csPath, back));
        EXPECT_EQ(back, options);
    }
    // How answers are compared: keys written once chosen, an unknown word the default.
    struct SCompareRow {
        const char* szFile;
        EAnswerCompare eCompare;
        const char* szVolatile;
        const char* szWritten; // what the section holds after a save ("": neither key)
    };
    const SCompareRow compareRows[] = {
        { "", EAnswerCompare::Values, "", "" },
        { "Compare=strict\r\n", EAnswerCompare::Strict, "", "Compare=strict\r\n" },
        { "Compare=kind\r\n", EAnswerCompare::Kind, "", "Compare=kind\r\n" },
        { "Compare=values\r\n", EAnswerCompare::Values, "", "Compare=values\r\n" },
        { "Compare=exact\r\n", EAnswerCompare::Values, "", "Compare=values\r\n" },
        { "VolatileFile=/rig/volatile.txt\r\n", EAnswerCompare::Values, "/rig/volatile.txt",
            "VolatileFile=/rig/volatile.txt\r\n" },
    };
    for (const SCompareRow& row : compareRows) {
        SCOPED_TRACE(row.szFile);
        const std::string csPath = m_dir.File("send-options.ini");
        vtest::WriteFile(csPath, std::string("[Listen]\r\nListen=1\r\n") + row.szFile);
        SSendOptions options;
        ASSERT_TRUE(LoadSendOptions(csPath, options));
        EXPECT_EQ(options.listen.eCompare, row.eCompare);
        EXPECT_EQ(options.listen.csVolatileFile, row.szVolatile);
        ASSERT_TRUE(SaveSendOptions(csPath, options));
        const std::string cs = vtest::ReadFile(csPath);
        if (*row.szWritten) {
            EXPECT_NE(cs.find(row.szWritten), std::string::npos) << cs;
        } else {
            EXPECT_EQ(cs.find("Compare="), std::string::npos) << cs;
            EXPECT_EQ(cs.find("VolatileFile="), std::string::npos) << cs;
        }
        SSendOptions back;
        ASSERT_TRUE(LoadSendOptions(csPath, back));
        EXPECT_EQ(back, options);
    }
    // Listening alone is no default: a first run that ticks it writes the file.
    std::filesystem::remove(m_dir.File("send-options.ini"));
    SSendOptions listen;
    listen.listen.bListen = true;
    EXPECT_FALSE(listen.IsDefault());
    ASSERT_TRUE(SaveSendOptions(m_dir.File("send-options.ini"), listen));
    EXPECT_NE(vtest::ReadFile(m_dir.File("send-options.ini")).find("[Listen]\r\nListen=1\r\n"),
        std::string::npos);
}

// What the status line says before a Send, as options turn on.
TEST(ListenNoticeTest, SaysWhatTheNextSendDoes)
{
    struct Row {
        bool bListen;
        long long llWaitMs;
        bool bExpect;
        bool bRequestsOnly;
        const char* szNotice;
    };
    const Row rows[] = {
        { false, 3000, false, false, "" },
        { false, 3000, true, false, "" }, // expecting without listening does nothing
        { true, 3000, false, false, "Listening for answers until 3 s after the last frame" },
        { true, 250, true, false,
            "Listening for answers until 0.25 s after the last frame, expecting the captured "
            "answers" },
        { true, 1000, false, true,
            "Listening for answers until 1 s after the last frame, requests only" },
        { false, 3000, false, true, "Sending requests only" },
    };
    for (const Row& row : rows) {
        SListenOptions listen;
        listen.bListen = row.bListen;
        listen.wait = std::chrono::milliseconds(row.llWaitMs);
        listen.bExpectCaptured = row.bExpect;
        listen.bRequestsOnly = row.bRequestsOnly;
        EXPECT_EQ(ListenNotice(listen), row.szNotice);
    }
}

} // namespace

namespace {

// Station N is 10.0.0.N, MAC 02:76:6d:0a:00:0N; 1 is us, 2 the device.
vtest::Bytes Ip(uint8_t uFrom, uint8_t uTo, const vtest::Bytes& npduApdu)
{
    vtest::Bytes f = vtest::BacnetIp(0x0a, npduApdu);
    f[5] = uTo;
    f[11] = uFrom;
    f[29] = uFrom;
    f[33] = uTo;
    return f;
}

// A round as a Send hands it over: requests (send time in ms, its round)
// and the answers heard (arrival time in ms).
struct SRoundRow {
    std::vector<std::pair<int64_t, uint32_t>> requests;
    std::vector<int64_t> answers;
};

} // namespace

// Rounds judged as they come: a round waits for the next one's answers, an
// answer taken is not offered to a later request, and the lines kept are
// capped while the counts go on.
TEST(ListenJudgeTest, RoundsAreJudgedWithTheNextRoundsAnswers)
{
    const vtest::Bytes request = Ip(1, 2, vtest::Hex("01 04 00 05 05 0c 0c 00000001 19 55"));
    const vtest::Bytes answer
        = Ip(2, 1, vtest::Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f"));
    struct SRow {
        const char* szName;
        std::vector<SRoundRow> rounds;
        size_t nKeep;
        std::vector<std::string> lines; // every line: record (here its round) and verdict
        size_t nKept;
        size_t nAnswered;
        size_t nUnpaired = 0; // answers no request took
    };
    const std::vector<SRow> rows {
        { "one round, judged whole", { { { { 100, 1 } }, { 200 } } }, 10, { "1 answered" }, 1, 1 },
        // Left for round 1, the answer at 1100 is round 2's: not left over.
        { "an answer heard during the next round counts for its own",
            { { { { 100, 1 } }, {} }, { { { 1000, 2 } }, { 1050, 1100 } } }, 10,
            { "1 answered", "2 answered" }, 2, 2 },
        { "an answer taken is not offered again",
            { { { { 100, 1 } }, {} }, { { { 1000, 2 } }, { 1050 } }, { { { 2000, 3 } }, {} } }, 10,
            { "1 answered", "2 unanswered", "3 unanswered" }, 3, 1 },
        { "lines kept are capped, counts are not",
            { { { { 100, 1 } }, { 150 } }, { { { 1000, 2 } }, { 1050 } } }, 1,
            { "1 answered", "2 answered" }, 1, 2 },
        { "answers left over are counted once, the last round's too",
            { { { { 100, 1 } }, { 150, 160 } }, { { { 1000, 2 } }, { 1050, 1060 } } }, 10,
            { "1 answered", "2 answered" }, 2, 2, 2 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        SReplayRequest send;
        std::vector<std::string> lines;
        CListenJudge judge(
            send,
            [&](const judge::SJudgeLine& line, const SHeardFrame* pAnswer) {
                EXPECT_EQ(line.bAnswered, pAnswer != nullptr);
                lines.push_back(
                    std::to_string(line.uRecord) + " " + judge::VerdictWord(line.eVerdict));
            },
            row.nKeep);
        for (size_t i = 0; i < row.rounds.size(); ++i) {
            SListenChunk chunk;
            for (const auto& [llMs, uRound] : row.rounds[i].requests) {
                SSentRequest r;
                r.uRecord = uRound; // the record tells the rounds apart
                r.llNs = llMs * 1'000'000;
                r.bytes = request;
                r.uRound = uRound;
                chunk.requests.push_back(r);
            }
            for (int64_t llMs : row.rounds[i].answers)
                chunk.heard.push_back({ llMs * 1'000'000, 60, answer });
            chunk.bLast = i + 1 == row.rounds.size();
            judge.Add(chunk);
        }
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(judge.Judgement().lines.size(), row.nKept);
        EXPECT_EQ(judge.NotKept(), row.lines.size() - row.nKept);
        EXPECT_EQ(judge.Judgement().nRequests, row.lines.size());
        EXPECT_EQ(judge.Judgement().nAnswered, row.nAnswered);
        EXPECT_EQ(judge.Judgement().nUnpaired, row.nUnpaired);
        // A kept line's answer is the frame it points at among those kept.
        for (const judge::SJudgeLine& line : judge.Judgement().lines) {
            if (line.bAnswered) {
                EXPECT_LT(line.nAnswer, judge.Heard().size());
            }
        }
    }
}

// The records of a capture are counted beside a Send: the count comes once
// the file is read whole, never a partial one, and a stop ends it at once.
TEST(RecordCounterTest, CountsTheWholeFileOrNothing)
{
    using namespace std::chrono_literals;
    vtest::CTempDir dir;
    constexpr uint64_t kBig = 1000000;
    ASSERT_TRUE(WriteTestCapture(dir.File("three.pcap"), 3, 60));
    ASSERT_TRUE(WriteTestCapture(dir.File("big.pcap"), kBig, 60));
    vtest::WriteFile(dir.File("not.pcap"), "not a capture");
    const struct {
        const char* szFile;
        bool bStopAtOnce;
        uint64_t uRecords; // when it is read to its end
    } rows[] = {
        { "three.pcap", false, 3 },
        { "not.pcap", false, 0 },
        { "missing.pcap", false, 0 },
        { "big.pcap", true, kBig },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szFile);
        CRecordCounter counter;
        counter.Start(dir.File(row.szFile));
        if (row.uRecords > 0 && !row.bStopAtOnce)
            EXPECT_TRUE(vtest::WaitUntil([&] { return counter.Records() > 0; }, 2s));
        else if (!row.bStopAtOnce)
            std::this_thread::sleep_for(50ms);
        const auto start = std::chrono::steady_clock::now();
        counter.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        const uint64_t uRecords = counter.Records();
        if (row.bStopAtOnce)
            EXPECT_TRUE(uRecords == 0 || uRecords == row.uRecords) << uRecords;
        else
            EXPECT_EQ(uRecords, row.uRecords);
    }
}

// Both shells make their Send here: the settings' int mode becomes the
// Send's mode (no radio button set is one record), a selection wins.
TEST(MakeReplayRequestTest, TheModeAndTheOptionsAsBothShellsGiveThem)
{
    SSendOptions options;
    options.pace.llLoops = 3;
    options.listen.bListen = true;
    const CRecordSelection chosen = { 4, 2 };
    const struct {
        int iMode;
        const CRecordSelection* pSelection;
        EReplayMode eMode;
    } rows[] = {
        { 1, nullptr, EReplayMode::All },
        { 0, nullptr, EReplayMode::Single },
        { -1, nullptr, EReplayMode::Single },
        { 1, &chosen, EReplayMode::Selection },
    };
    for (const auto& row : rows) {
        const SReplayRequest r
            = MakeReplayRequest("c.pcap", row.iMode, 7, row.pSelection, "vm0", options);
        EXPECT_EQ(r.eMode, row.eMode) << row.iMode;
        EXPECT_EQ(r.iOffset, row.pSelection ? 0 : 7) << row.iMode; // All mode ignores it
        EXPECT_EQ(r.selection, row.pSelection ? chosen : CRecordSelection()) << row.iMode;
        EXPECT_EQ(r.csPath, "c.pcap");
        EXPECT_EQ(r.csAdapter, "vm0");
        EXPECT_EQ(r.pace, options.pace);
        EXPECT_EQ(r.listen, options.listen);
    }
}
