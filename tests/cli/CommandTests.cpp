#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestSupport.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace velmora;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtest::LogRecords;

namespace {

size_t Lines(const std::string& cs)
{
    return static_cast<size_t>(std::count(cs.begin(), cs.end(), '\n'));
}

// The command in a folder of its own.
class CommandTest : public ::testing::Test {
protected:
    std::unique_ptr<vtest::CChild> Start(
        std::vector<std::string> args, const std::string& csNetns = std::string())
    {
        args.insert(args.begin(), VELMORA_REPLAY_EXE);
        return std::make_unique<vtest::CChild>(args, m_dir.Path().string(), csNetns);
    }
    std::string File(const std::string& cs) const { return m_dir.File(cs); }

    vtest::CTempDir m_dir;
};

// Troubles that stop a send before its first frame: one line on standard
// error, the exit status, and the logs as the window writes them.
TEST_F(CommandTest, ExitStatusWhenNothingCanBeSent)
{
    ASSERT_TRUE(WriteTestCapture(File("c.pcap"), 3, 60));
    vtest::WriteFile(File("text.pcap"), "not a capture at all, just some text\n");
    // Files that are no capture and would block a plain open(): a FIFO
    // that nothing writes, character devices, a folder.
    ASSERT_EQ(::mkfifo(File("fifo.pcap").c_str(), 0600), 0);
    fs::create_directory(File("folder.pcap"));
    vtest::WriteFile(File("v.txt"), "# volatile\nanalog-input presnt-value\n");
    struct Row {
        const char* szCase;
        std::vector<std::string> args;
        const char* szSettings; // nullptr: none
        int iExit;
        const char* szLine; // in the one line on standard error
        const char* szDebugRecord; // in Debuglog.txt; nullptr: no logs expected
    };
    const Row rows[] = {
        { "missing capture", { "-i", "nosuch0", "missing.pcap" }, nullptr, 3,
            "Not sent: missing.pcap does not exist", "Error. Could not open file=[missing.pcap]" },
        { "unknown adapter", { "-i", "nosuch0", "c.pcap" }, nullptr, 3,
            "Not sent: adapter nosuch0 is gone (see --list-adapters)",
            "Error. Could not open send device" },
        { "no -i", { "c.pcap" }, nullptr, 2,
            "no adapter chosen: name one with -i (see --list-adapters)", nullptr },
        // An adapter in a settings.ini that happens to lie here is no choice.
        { "no -i, settings name one", { "c.pcap" }, "[Velmora]\r\nNicDevice=lo\r\n", 2,
            "no adapter chosen: name one with -i (see --list-adapters)", nullptr },
        { "not a capture", { "-i", "lo", "text.pcap" }, nullptr, 3,
            "Not sent: text.pcap is not a capture file", "Error. Could not open local device" },
        { "a FIFO", { "-i", "lo", "fifo.pcap" }, nullptr, 3,
            "Not sent: fifo.pcap is not a capture file", "Error. Could not open local device" },
        { "a character device that reads zeros", { "-i", "lo", "/dev/zero" }, nullptr, 3,
            "Not sent: zero is not a capture file", "Error. Could not open local device" },
        { "a character device that reads nothing", { "-i", "lo", "/dev/null" }, nullptr, 3,
            "Not sent: null is not a capture file", "Error. Could not open local device" },
        { "a folder", { "-i", "lo", "folder.pcap" }, nullptr, 3,
            "Not sent: folder.pcap is not a capture file", "Error. Could not open local device" },
        { "decode of a FIFO", { "--decode", "fifo.pcap" }, nullptr, 3,
            "fifo.pcap: fifo.pcap is not a file.", nullptr },
        { "decode of a character device", { "--decode", "/dev/zero" }, nullptr, 3,
            "/dev/zero is not a file.", nullptr },
        // Output files are tried before the first frame: a usage error that
        // names the file, with nothing sent and nothing left behind (before the
        // adapter is opened: an adapter that does not exist is not reached).
        { "a report in a folder that does not exist",
            { "-i", "nosuch0", "--listen", "--report", "nosuch/r.html", "c.pcap" }, nullptr, 2,
            "cannot write nosuch/r.html: No such file or directory; nothing sent", nullptr },
        { "JUnit into a folder",
            { "-i", "nosuch0", "--listen", "--junit", "folder.pcap", "c.pcap" }, nullptr, 2,
            "cannot write folder.pcap: a folder, not a file; nothing sent", nullptr },
        { "answers into a FIFO that nothing reads",
            { "-i", "nosuch0", "--listen", "--answers", "fifo.pcap", "c.pcap" }, nullptr, 2,
            "cannot write fifo.pcap: a FIFO that nothing reads; nothing sent", nullptr },
        { "a good answers file beside a bad report",
            { "-i", "nosuch0", "--listen", "--answers", "made.pcap", "--report", "nosuch/r.html",
                "c.pcap" },
            nullptr, 2, "cannot write nosuch/r.html", nullptr },
        // A volatile file is read before the first frame too, its bad line named.
        { "a volatile file with a bad line",
            { "-i", "nosuch0", "--listen", "--expect", "captured", "--volatile", "v.txt",
                "c.pcap" },
            nullptr, 2, "v.txt: line 2: unknown property 'presnt-value'; nothing sent", nullptr },
        { "a volatile file that is not there",
            { "-i", "nosuch0", "--listen", "--expect", "captured", "--volatile", "nosuch.txt",
                "c.pcap" },
            nullptr, 2, "nosuch.txt: cannot be read; nothing sent", nullptr },
        { "bad option", { "--bogus", "c.pcap" }, nullptr, 2, "unknown option --bogus", nullptr },
        { "no capture", { "-i", "lo" }, nullptr, 2, "no capture file given", nullptr },
        { "bad record list", { "--records", "3-1", "c.pcap" }, nullptr, 2, "runs backwards",
            nullptr },
        { "decode of no capture", { "--decode", "text.pcap" }, nullptr, 3, "text.pcap", nullptr },
        // Debug=0 in settings.ini: no Debuglog records, the line stays.
        { "settings say no debug", { "-i", "nosuch0", "missing.pcap" }, "[Velmora]\r\nDebug=0\r\n",
            3, "does not exist", "" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        for (const char* sz : { "settings.ini", "log.txt", "Debuglog.txt" })
            fs::remove(File(sz));
        if (row.szSettings)
            vtest::WriteFile(File("settings.ini"), row.szSettings);
        auto pChild = Start(row.args);
        EXPECT_EQ(pChild->Wait(), row.iExit);
        const std::string csErr = pChild->Err();
        EXPECT_EQ(Lines(csErr), 1u) << csErr;
        EXPECT_EQ(csErr.rfind("velmora-replay: ", 0), 0u) << csErr;
        EXPECT_NE(csErr.find(row.szLine), std::string::npos) << csErr;
        EXPECT_EQ(pChild->Out(), "");
        if (!row.szDebugRecord) {
            // A usage error touches no file.
            EXPECT_FALSE(fs::exists(File("log.txt")));
            EXPECT_FALSE(fs::exists(File("Debuglog.txt")));
            EXPECT_FALSE(fs::exists(File("made.pcap")));
            continue;
        }
        const auto texts = vtest::LogTexts(File("Debuglog.txt"));
        if (*row.szDebugRecord == '\0') {
            EXPECT_TRUE(texts.empty());
            continue;
        }
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts.front(), "Program starting up");
        EXPECT_EQ(texts.back(), "Program shutting down");
        std::string csWanted = row.szDebugRecord;
        // The path is logged as given; the folder is the command's.
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& cs) {
            return cs.find(csWanted) != std::string::npos;
        })) << csWanted;
        // Not sent: no box, so log.txt holds nothing.
        EXPECT_TRUE(LogRecords(File("log.txt")).empty());
        EXPECT_FALSE(fs::exists(File("settings.ini")) && !row.szSettings) << "settings.ini written";
    }
}

TEST_F(CommandTest, HelpVersionAndDecode)
{
    ASSERT_TRUE(WriteBacnetSample(File("s.pcap")));
    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> lines; // of standard output, each a prefix
    };
    const Row rows[] = {
        { { "--version" }, { "velmora-replay 1." } },
        { { "--decode", "s.pcap" }, { "0\t0.000000\t", "1\t", "2\t", "3\t" } },
        { { "--decode", "--records", "3,1", "s.pcap" }, { "1\t", "3\t" } },
        { { "--decode", "--offset", "2", "s.pcap" }, { "2\t" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        auto pChild = Start(row.args);
        EXPECT_EQ(pChild->Wait(), 0);
        EXPECT_EQ(pChild->Err(), "");
        const std::string csOut = pChild->Out();
        ASSERT_EQ(Lines(csOut), row.lines.size()) << csOut;
        size_t nAt = 0;
        for (const std::string& cs : row.lines) {
            EXPECT_EQ(csOut.compare(nAt, cs.size(), cs), 0) << csOut;
            // Rows have seven columns: No., Time, Source, Destination, Protocol, Length, Info.
            const size_t nEnd = csOut.find('\n', nAt);
            EXPECT_EQ(std::count(csOut.begin() + static_cast<long>(nAt),
                          csOut.begin() + static_cast<long>(nEnd), '\t'),
                row.args.front() == "--decode" ? 6 : 0);
            nAt = nEnd + 1;
        }
        EXPECT_FALSE(fs::exists(File("log.txt")));
    }
    // A record past the end is reported; the others are printed.
    auto pChild = Start({ "--decode", "--records", "1,9", "s.pcap" });
    EXPECT_EQ(pChild->Wait(), 1);
    EXPECT_EQ(pChild->Out().rfind("1\t", 0), 0u);
    EXPECT_NE(pChild->Err().find("record 9 is not among them"), std::string::npos);

    // A capture cut part-way: the rows before the cut, one line, and 1 (some
    // records failed), not 3 (the capture could not be opened).
    {
        const auto frames = MakeBacnetSampleFrames();
        CRawCaptureWriter w;
        ASSERT_TRUE(w.Open(File("cut.pcap")));
        w.FileHeader();
        w.Record(frames[0], 60);
        w.Record(frames[1], 60);
        w.RecordHeader(0, 0, 60, 60);
        w.Bytes(frames[2].data(), 25);
        ASSERT_TRUE(w.Close());
    }
    pChild = Start({ "--decode", "cut.pcap" });
    EXPECT_EQ(pChild->Wait(), 1);
    const std::string csOut = pChild->Out();
    EXPECT_EQ(Lines(csOut), 2u) << csOut;
    EXPECT_EQ(csOut.rfind("0\t", 0), 0u) << csOut;
    EXPECT_NE(csOut.find("\n1\t"), std::string::npos) << csOut;
    EXPECT_EQ(pChild->Err(),
        "velmora-replay: The capture is cut short: record 2 has 25 of its 60 bytes.\n");
}

// --decode and segmented answers, out of order and with a segment missing: a row
// is printed once the records before it are seen, so the completing record
// reads as the whole answer even when it is the only one asked for.
TEST_F(CommandTest, DecodeShowsSegmentedAnswersReassembled)
{
    using vtest::RpmAckSegment;
    const char* const* seg = vtest::kThreeSegments;
    const std::vector<std::vector<uint8_t>> frames = { RpmAckSegment(5, 0, true, seg[0]),
        RpmAckSegment(5, 2, false, seg[2]), RpmAckSegment(5, 1, true, seg[1]),
        RpmAckSegment(6, 0, true, seg[0]), RpmAckSegment(6, 2, false, seg[2]) };
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(File("seg.pcap")));
        for (const auto& frame : frames)
            writer.Write(frame);
        ASSERT_TRUE(writer.Close());
    }
    const std::string csMissing = " (answer incomplete: segment 1 missing)";
    const std::string infos[] = {
        "readPropertyMultiple-ACK[ 5] segment 0, more follows (answer in record 2)",
        "readPropertyMultiple-ACK[ 5] segment 2 (answer in record 2)",
        "readPropertyMultiple-ACK[ 5] analog-input,1 present-value = 21.5, status-flags = {0000} "
        "(reassembled from 3 segments)",
        "readPropertyMultiple-ACK[ 6] segment 0, more follows" + csMissing,
        "readPropertyMultiple-ACK[ 6] segment 2" + csMissing,
    };
    auto Line = [&](size_t i) {
        return std::to_string(i)
            + "\t0.000000\t10.0.0.1:47808 (02:76:6d:0a:00:01)\t10.0.0.2:47808 "
              "(02:76:6d:0a:00:02)\tBACnet/IP\t"
            + std::to_string(frames[i].size()) + "\t" + infos[i] + "\n";
    };
    struct Row {
        std::vector<std::string> args;
        std::vector<size_t> records;
    };
    const Row rows[] = {
        { { "--decode", "seg.pcap" }, { 0, 1, 2, 3, 4 } },
        { { "--decode", "--records", "2", "seg.pcap" }, { 2 } },
        { { "--decode", "--offset", "4", "seg.pcap" }, { 4 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[row.args.size() - 2]);
        auto pChild = Start(row.args);
        EXPECT_EQ(pChild->Wait(), 0);
        EXPECT_EQ(pChild->Err(), "");
        std::string csExpected;
        for (size_t i : row.records)
            csExpected += Line(i);
        EXPECT_EQ(pChild->Out(), csExpected);
    }
}

std::vector<std::string> Split(const std::string& cs, char c)
{
    std::vector<std::string> parts;
    size_t nAt = 0;
    for (size_t n; (n = cs.find(c, nAt)) != std::string::npos; nAt = n + 1)
        parts.push_back(cs.substr(nAt, n - nAt));
    if (nAt < cs.size())
        parts.push_back(cs.substr(nAt));
    return parts;
}

// Each pcapng shape is listed, decoded and sent; the peer gets what the same
// frames stored as pcap give it, and a record picked by its number is that frame.
TEST_F(CommandTest, PcapngIsListedDecodedAndSentAsPcapWouldBe)
{
    vtest::CNetns ns("ng");
    VTEST_REQUIRE_NETNS(ns);
    const std::vector<SPcapngSample> samples = WritePcapngSamples(m_dir.Path().string());
    ASSERT_EQ(samples.size(), 10u);
    auto send = [&](const std::vector<std::string>& args, size_t nExpect) {
        vtest::CEnterNetns enter(ns);
        vtest::CPeerCapture peer(vtest::CNetns::PeerIf(), 65535);
        EXPECT_TRUE(enter.Ok() && peer.Ok());
        std::vector<std::string> all { "-q", "-i", vtest::CNetns::SendIf() };
        all.insert(all.end(), args.begin(), args.end());
        auto pChild = Start(all, ns.Name());
        pChild->Wait();
        return peer.Collect(nExpect + 1, 300);
    };
    for (const SPcapngSample& s : samples) {
        SCOPED_TRACE(s.csName);
        const vtest::Frames sendable(
            s.frames.begin(), s.frames.begin() + static_cast<long>(s.nLibpcap));
        const std::string csPcap = File(s.csName + ".pcap");
        {
            CCaptureWriter writer;
            ASSERT_TRUE(writer.Open(csPcap));
            for (const auto& frame : sendable)
                ASSERT_TRUE(writer.Write(frame));
            ASSERT_TRUE(writer.Close());
        }

        // Listed and decoded: every record, the same columns as the pcap copy's.
        auto pChild = Start({ "--decode", s.csPath });
        EXPECT_EQ(pChild->Wait(), s.bDamaged ? 1 : 0);
        const std::vector<std::string> lines = Split(pChild->Out(), '\n');
        ASSERT_EQ(lines.size(), s.frames.size());
        const std::string csErr = pChild->Err();
        EXPECT_EQ(Lines(csErr), s.bDamaged || s.nLibpcap < s.frames.size() ? 1u : 0u) << csErr;
        if (s.bDamaged) {
            EXPECT_NE(csErr.find("The capture is"), std::string::npos) << csErr;
        } else if (s.nLibpcap < s.frames.size()) {
            EXPECT_NE(csErr.find("Send stops before record " + std::to_string(s.nLibpcap)),
                std::string::npos)
                << csErr;
        }
        pChild = Start({ "--decode", csPcap });
        EXPECT_EQ(pChild->Wait(), 0);
        const std::vector<std::string> pcapLines = Split(pChild->Out(), '\n');
        ASSERT_EQ(pcapLines.size(), s.nLibpcap);
        for (size_t i = 0; i < s.frames.size(); ++i) {
            const std::vector<std::string> cells = Split(lines[i], '\t');
            ASSERT_GE(cells.size(), 7u) << lines[i];
            EXPECT_EQ(cells[0], std::to_string(i));
            EXPECT_EQ(cells[5], std::to_string(s.frames[i].size()));
            if (i < s.nLibpcap) {
                const std::vector<std::string> pcapCells = Split(pcapLines[i], '\t');
                EXPECT_EQ(std::vector<std::string>(cells.begin() + 2, cells.begin() + 7),
                    std::vector<std::string>(pcapCells.begin() + 2, pcapCells.end()));
            }
        }

        // Sent: all of it, then one record by its number, as from the pcap copy.
        const vtest::Frames fromPcap = send({ "--all", csPcap }, sendable.size());
        EXPECT_EQ(fromPcap, sendable);
        EXPECT_EQ(send({ "--all", s.csPath }, sendable.size()), fromPcap);
        const std::string csLast = std::to_string(s.nLibpcap - 1);
        EXPECT_EQ(send({ "--records", csLast, s.csPath }, 1), vtest::Frames({ sendable.back() }));
    }
}

// --decode --aimed prints the rows as the aim sends them; without --aimed
// the aim options change nothing printed, and the adapter's own address
// needs an adapter that has one.
TEST_F(CommandTest, DecodeAimedShowsTheNewAddresses)
{
    ASSERT_TRUE(WriteBacnetIpSample(File("ip.pcap")));
    const std::vector<std::string> aim { "--dst-mac", "02:00:00:00:00:2a", "--dst-ip",
        "192.168.7.42:47809", "--src-ip", "adapter", "-i", "lo" };
    auto column = [](const std::string& csOut, size_t nLine, int iColumn) {
        size_t nAt = 0;
        for (size_t i = 0; i < nLine; ++i)
            nAt = csOut.find('\n', nAt) + 1;
        for (int i = 0; i < iColumn; ++i)
            nAt = csOut.find('\t', nAt) + 1;
        return csOut.substr(nAt, csOut.find_first_of("\t\n", nAt) - nAt);
    };
    std::vector<std::string> args { "--decode", "--aimed" };
    args.insert(args.end(), aim.begin(), aim.end());
    args.push_back("ip.pcap");
    auto pAimed = Start(args);
    EXPECT_EQ(pAimed->Wait(), 0) << pAimed->Err();
    const std::string csAimed = pAimed->Out();
    // Record 2, a readProperty to 192.168.10.2; record 0, a broadcast who-Is.
    EXPECT_EQ(column(csAimed, 2, 2), "127.0.0.1:47808 (02:76:6d:0a:00:01)");
    EXPECT_EQ(column(csAimed, 2, 3), "192.168.7.42:47809 (02:00:00:00:00:2a)");
    EXPECT_EQ(column(csAimed, 0, 3), "192.168.10.255:47808 (ff:ff:ff:ff:ff:ff)");
    EXPECT_EQ(column(csAimed, 2, 6).rfind("readProperty[ 5]", 0), 0u);

    auto pPlain = Start({ "--decode", "ip.pcap" });
    EXPECT_EQ(pPlain->Wait(), 0);
    args.erase(args.begin() + 1); // --aimed
    auto pUnaimed = Start(args);
    EXPECT_EQ(pUnaimed->Wait(), 0);
    EXPECT_EQ(pUnaimed->Out(), pPlain->Out());
    EXPECT_NE(pPlain->Out(), csAimed);

    auto pNoAdapter
        = Start({ "--decode", "--aimed", "--src-mac", "adapter", "-i", "no-such0", "ip.pcap" });
    EXPECT_EQ(pNoAdapter->Wait(), 3);
    EXPECT_EQ(pNoAdapter->Err(), "velmora-replay: there is no adapter no-such0\n");
    auto pBad = Start({ "--dst-mac", "02:00:00:00:00:2g", "ip.pcap" });
    EXPECT_EQ(pBad->Wait(), 2);
    EXPECT_NE(
        pBad->Err().find("--dst-mac: '02:00:00:00:00:2g' is no MAC address"), std::string::npos);
}

// On a veth pair: exactly the chosen frames arrive, byte for byte, in file order.
TEST_F(CommandTest, DeliversExactlyTheChosenFrames)
{
    vtest::CNetns ns("cli");
    VTEST_REQUIRE_NETNS(ns);
    constexpr uint32_t kCount = 12;
    const std::string csCapture = File("c.pcap");
    // Sizes differ from frame to frame, so a frame sent for another shows.
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(csCapture));
        for (uint32_t u = 0; u < kCount; ++u)
            ASSERT_TRUE(writer.Write(MakeTestFrame(60 + 37 * u, u), 1, u));
        ASSERT_TRUE(writer.Close());
    }
    const vtest::Frames all = vtest::ReadCaptureFrames(csCapture);
    ASSERT_EQ(all.size(), kCount);
    struct Row {
        std::vector<std::string> args;
        std::vector<size_t> sent;
        int iExit;
        const char* szLine; // the last line on standard error
    };
    const Row rows[] = {
        { {}, { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }, 0, "12 Packets have been sent" },
        { { "--all" }, { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }, 0, "12 Packets have been sent" },
        { { "--offset", "0" }, { 0 }, 0, "1 Packets have been sent" },
        { { "--offset", "11" }, { 11 }, 0, "1 Packets have been sent" },
        { { "--records", "9,0,3-5,3" }, { 0, 3, 4, 5, 9 }, 0, "5 Packets have been sent" },
        { { "--records", "11" }, { 11 }, 0, "1 Packets have been sent" },
        // Quiet: nothing on standard error when all went well.
        { { "-q", "--records", "1" }, { 1 }, 0, "" },
        // Chosen records past the end: the others go, the status says so.
        { { "--offset", "12" }, {}, 1, "Not sent: offset 12 is past the last record (11)" },
        { { "--records", "2,40-41" }, { 2 }, 1, "2 of the chosen records are not in" },
        // Timed: every round in order; the count is of every round.
        { { "--loop", "3", "--records", "2,1" }, { 1, 2, 1, 2, 1, 2 }, 0,
            "6 Packets have been sent" },
        { { "--multiplier", "1000", "--loop=2", "--loop-pause", "1", "--records", "0-2" },
            { 0, 1, 2, 0, 1, 2 }, 0, "6 Packets have been sent" },
        { { "--pps", "2000", "--loop", "2", "--records", "4,40" }, { 4, 4 }, 1,
            "1 of the chosen records are not in" },
        // Cut short by the duration: nothing is missing from the file.
        { { "--pps", "10", "--duration", "0.15", "--records", "0-11" }, { 0, 1 }, 0,
            "2 Packets have been sent" },
        // Records that ask nothing are skipped, not missing.
        { { "--requests-only", "--records", "0-2" }, {}, 0, "0 Packets have been sent" },
        { { "--requests-only", "--offset", "1" }, {}, 0,
            "Not sent: record 1 is not a request (requests only)" },
        // A single record goes at once, whatever the pace.
        { { "--pps", "0.001", "--loop", "9", "--offset", "3" }, { 3 }, 0,
            "1 Packets have been sent" },
    };
    for (const Row& row : rows) {
        std::string csTrace;
        for (const std::string& cs : row.args)
            csTrace += cs + " ";
        SCOPED_TRACE(csTrace);
        // The command adds to the logs: each row reads its own.
        fs::remove(File("Debuglog.txt"));
        vtest::Frames got;
        {
            vtest::CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            vtest::CPeerCapture peer(vtest::CNetns::PeerIf(), 65535);
            ASSERT_TRUE(peer.Ok());
            std::vector<std::string> args { "-i", vtest::CNetns::SendIf() };
            args.insert(args.end(), row.args.begin(), row.args.end());
            args.push_back("c.pcap");
            auto pChild = Start(args, ns.Name());
            EXPECT_EQ(pChild->Wait(), row.iExit) << pChild->Err();
            got = peer.Collect(row.sent.size() + 1, 300);
            const std::string csErr = pChild->Err();
            if (*row.szLine)
                EXPECT_NE(csErr.find(row.szLine), std::string::npos) << csErr;
            else
                EXPECT_EQ(csErr, "");
        }
        ASSERT_EQ(got.size(), row.sent.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], all[row.sent[i]]) << "frame " << i;
        // One record per frame sent, numbered as in the file.
        std::vector<std::string> numbers;
        for (const std::string& cs : vtest::LogTexts(File("Debuglog.txt"))) {
            if (cs.rfind('[', 0) == 0)
                numbers.push_back(cs.substr(0, cs.find(']') + 1));
        }
        std::vector<std::string> wanted;
        for (size_t u : row.sent) {
            char sz[16];
            std::snprintf(sz, sizeof sz, "[%03zu]", u);
            wanted.push_back(sz);
        }
        EXPECT_EQ(numbers, wanted);
    }

    // A record too short to be a frame is counted, not sent: exit 1 and the
    // window's status sentence.
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(File("short.pcap")));
        for (uint32_t uSize : { 60u, 3u, 61u })
            ASSERT_TRUE(writer.Write(MakeTestFrame(uSize, uSize)));
        ASSERT_TRUE(writer.Close());
    }
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    vtest::CPeerCapture peer(vtest::CNetns::PeerIf(), 65535);
    ASSERT_TRUE(peer.Ok());
    auto pChild = Start({ "-i", vtest::CNetns::SendIf(), "short.pcap" }, ns.Name());
    EXPECT_EQ(pChild->Wait(), 1);
    EXPECT_EQ(pChild->Err(),
        "velmora-replay: 3 Packets have been sent\n"
        "velmora-replay: 2 packets sent, 1 refused\n");
    const vtest::Frames got = peer.Collect(3, 300);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], MakeTestFrame(60, 60));
    EXPECT_EQ(got[1], MakeTestFrame(61, 61));

    // A round that cannot open the capture again fails the Send as a capture
    // that cannot be opened does (3), with its sentence. The file goes once
    // the first frame has its record; round 2 is due a second later.
    ASSERT_TRUE(WriteTestCapture(File("gone.pcap"), 2, 60));
    fs::remove(File("Debuglog.txt"));
    auto pGone = Start({ "-i", vtest::CNetns::SendIf(), "--pps", "2", "--loop", "2", "--records",
                           "0-1", "gone.pcap" },
        ns.Name());
    for (int i = 0; i < 500; ++i) {
        if (vtest::ReadFile(File("Debuglog.txt")).find("[000]") != std::string::npos)
            break;
        std::this_thread::sleep_for(10ms);
    }
    fs::remove(File("gone.pcap"));
    EXPECT_EQ(pGone->Wait(), 3);
    EXPECT_NE(pGone->Err().find("Failed: round 2 could not read gone.pcap again, after 2 packets"),
        std::string::npos)
        << pGone->Err();
}

// A capture taken on the sending host: its NIC was left to fill in the
// checksums. A default Send sends every byte as captured and says how many a
// device will drop; listening or an aim mends them (not --keep-checksums);
// --decode marks them.
TEST_F(CommandTest, ChecksumsLeftToTheNic)
{
    vtest::CNetns ns("clisum");
    VTEST_REQUIRE_NETNS(ns);
    const vtest::Bytes rp = vtest::Hex("01 04 00 05 05 0c 0c 02000001 19 55");
    const vtest::Bytes good = vtest::Checksummed(vtest::BacnetIp(0x0a, rp));
    vtest::Bytes udpWrong = good, ipWrong = good;
    udpWrong[14 + 20 + 6] ^= 0x33;
    ipWrong[14 + 10] ^= 0x44;
    // Not BACnet: never counted, never mended.
    vtest::Bytes other
        = vtest::Checksummed(vtest::Ipv4Frame(17, vtest::Udp(5000, 6000, vtest::Hex("0001"))));
    other[14 + 20 + 6] ^= 0x55;
    const std::vector<vtest::Bytes> capture { good, udpWrong, ipWrong, other };
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(File("nic.pcap")));
        for (const vtest::Bytes& f : capture)
            ASSERT_TRUE(writer.Write(f));
        ASSERT_TRUE(writer.Close());
    }
    // The aim puts in the destination MAC the capture already has.
    const std::vector<std::string> aim { "--dst-mac", "02:76:6d:0a:00:02" };
    const std::vector<vtest::Bytes> mended { good, good, good, other };
    struct SRow {
        std::vector<std::string> args;
        std::vector<vtest::Bytes> wire;
        std::string csLine; // on standard error; "" for none
    };
    const std::string csDrop = " (a capture taken on the sending host?): a device will drop";
    const SRow rows[] = {
        { {}, capture, "2 BACnet/IP frames carry wrong checksums" + csDrop + " them" },
        { { "--records", "0,2,3" }, { good, ipWrong, other },
            "1 BACnet/IP frame carries a wrong checksum" + csDrop + " it" },
        { { "--records", "0" }, { good }, "" },
        { { "-q" }, capture, "" },
        { aim, mended,
            "2 requests carried checksums left to the NIC (a capture taken on the sending "
            "host?): mended" },
        { { "--dst-mac", "02:76:6d:0a:00:02", "--keep-checksums" }, capture,
            "2 requests carried checksums left to the NIC (a capture taken on the sending "
            "host?): sent as captured; a device will drop them" },
    };
    for (const SRow& row : rows) {
        std::string csTrace;
        for (const std::string& cs : row.args)
            csTrace += cs + " ";
        SCOPED_TRACE(csTrace);
        vtest::CEnterNetns enter(ns);
        ASSERT_TRUE(enter.Ok());
        vtest::CPeerCapture peer(vtest::CNetns::PeerIf(), 65535);
        ASSERT_TRUE(peer.Ok());
        std::vector<std::string> args { "-i", vtest::CNetns::SendIf() };
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back("nic.pcap");
        auto pChild = Start(args, ns.Name());
        EXPECT_EQ(pChild->Wait(), 0) << pChild->Err();
        const vtest::Frames got = peer.Collect(row.wire.size() + 1, 300);
        EXPECT_EQ(got, row.wire);
        const std::string csErr = pChild->Err();
        if (row.csLine.empty()) {
            EXPECT_EQ(csErr.find("checksum"), std::string::npos) << csErr;
        } else {
            EXPECT_NE(csErr.find("velmora-replay: " + row.csLine + "\n"), std::string::npos)
                << csErr;
        }
    }

    auto pDecode = Start({ "--decode", "nic.pcap" });
    EXPECT_EQ(pDecode->Wait(), 0);
    const std::string csOut = pDecode->Out();
    std::vector<std::string> lines;
    for (size_t nAt = 0, nEnd; (nEnd = csOut.find('\n', nAt)) != std::string::npos; nAt = nEnd + 1)
        lines.push_back(csOut.substr(nAt, nEnd - nAt));
    ASSERT_EQ(lines.size(), 4u) << csOut;
    EXPECT_EQ(lines[0].find("[bad"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("readProperty[ 5] device,1 present-value [bad UDP checksum]"),
        std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("present-value [bad IPv4 checksum]"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("5000 -> 6000 len 2 [bad UDP checksum]"), std::string::npos)
        << lines[3];
}

// SIGINT and SIGTERM stop a long send after the frame in flight: the peer's
// counter stops within 50 ms, and the status, the count on standard error,
// the stop record, the last record number and the peer agree.
TEST_F(CommandTest, SignalStopsALongSendFullyAccounted)
{
    vtest::CNetns ns("clistop");
    VTEST_REQUIRE_NETNS(ns);
    constexpr uint64_t kFrames = 2500000;
    ASSERT_TRUE(WriteTestCapture(File("long.pcap"), kFrames, 60));
    vtest::WriteFile(File("settings.ini"), "[Velmora]\r\nNicDevice=vm0\r\n");
    using Clock = vtest::CRxWatch::Clock;
    struct Row {
        int iSignal;
        const char* szName;
        int iExit;
    };
    const Row rows[] = { { SIGINT, "SIGINT", 130 }, { SIGTERM, "SIGTERM", 143 } };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        for (const char* sz : { "log.txt", "Debuglog.txt" })
            fs::remove(File(sz));
        vtest::CRxWatch watch(ns, vtest::CNetns::PeerIf());
        ASSERT_TRUE(vtest::WaitUntil([&] { return watch.Now() >= 0; }, 2s));
        const long long llBefore = watch.Now();
        auto pChild = Start({ "-i", "vm0", "long.pcap" }, ns.Name());
        // About a second into the send, from outside, as a user or a service manager would.
        ASSERT_TRUE(vtest::WaitUntil([&] { return watch.Now() > llBefore; }, 5s))
            << "nothing went out: " << pChild->Err();
        std::this_thread::sleep_for(1s);
        const long long llAtRequest = watch.Now();
        const Clock::time_point tRequest = Clock::now();
        pChild->Signal(row.iSignal);
        const int iExit = pChild->Wait(10s);
        std::this_thread::sleep_for(200ms);
        watch.Stop();
        const long long llPeer = watch.Samples().back().llRx - llBefore;
        const double dStopMs
            = std::chrono::duration<double, std::milli>(watch.SettledAt() - tRequest).count();
        std::printf("[ stop     ] %s: %lld frames, %.1f ms from the signal to the last frame\n",
            row.szName, llPeer, dStopMs);

        EXPECT_EQ(iExit, row.iExit);
        EXPECT_GT(llAtRequest, llBefore);
        EXPECT_LE(dStopMs, 50.0);
        ASSERT_GT(llPeer, 0);
        ASSERT_LT(llPeer, static_cast<long long>(kFrames));
        const std::string csCount = std::to_string(llPeer);
        const std::string csErr = pChild->Err();
        EXPECT_EQ(csErr,
            "velmora-replay: stopped by " + std::string(row.szName) + ": " + csCount
                + " Packets have been sent\n");
        const auto messages = vtest::LogTexts(File("log.txt"));
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(
            messages[0], "MessageAndLog iType=[0] msg=[" + csCount + " Packets have been sent]");
        EXPECT_EQ(messages[1], "MessageAndLog return = [ 1]");
        const auto texts = vtest::LogTexts(File("Debuglog.txt"));
        const auto itStop = std::find(
            texts.begin(), texts.end(), "Replay stopped by the user after " + csCount + " packets");
        ASSERT_NE(itStop, texts.end());
        ASSERT_NE(itStop, texts.begin());
        char szLast[32];
        std::snprintf(szLast, sizeof szLast, "[%03lld]  ", llPeer - 1);
        EXPECT_EQ(std::prev(itStop)->rfind(szLast, 0), 0u) << *std::prev(itStop);
        EXPECT_EQ(texts.back(), "Program shutting down");
    }
}

// A rig runs the command again and again, maybe next to an open window: each
// run adds its records and none empties what was there.
TEST_F(CommandTest, RunsAddToTheLogsAndNeverEmptyThem)
{
    vtest::CNetns ns("clilogs");
    VTEST_REQUIRE_NETNS(ns);
    ASSERT_TRUE(WriteTestCapture(File("c.pcap"), 2, 60));
    const std::string csWindows = "\n[07-12-2026 10:00:00] the window's record";
    vtest::WriteFile(File("log.txt"), csWindows);
    vtest::WriteFile(File("Debuglog.txt"), csWindows);
    for (int iRun = 0; iRun < 2; ++iRun) {
        auto pChild = Start({ "-i", "vm0", "--offset", "1", "c.pcap" }, ns.Name());
        EXPECT_EQ(pChild->Wait(), 0) << pChild->Err();
    }
    const std::string csBox = "MessageAndLog iType=[0] msg=[1 Packets have been sent]";
    const std::string csAnswer = "MessageAndLog return = [ 1]";
    EXPECT_EQ(vtest::LogTexts(File("log.txt")),
        std::vector<std::string>({ "the window's record", csBox, csAnswer, csBox, csAnswer }));
    const auto texts = vtest::LogTexts(File("Debuglog.txt"));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "the window's record");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Program starting up"), 2);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                  [](const std::string& cs) { return cs.rfind("[001]  ", 0) == 0; }),
        2);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Program shutting down"), 2);
    EXPECT_EQ(texts.back(), "Program shutting down");
}

} // namespace
