// One Send's outcome, as both shells take it: the exit status by the one
// rule and its words, the sentences that go with it, and how often a Send
// opens its capture.

#include "TestSupport.h"
#include "capture/LocalCapture.h"
#include "replay/Replay.h"
#include "session/Report.h"
#include "session/Send.h"
#include "session/Sha256.h"
#include "tools/CaptureWriter.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>

using namespace velmora;
using namespace vtest;

namespace {

// Takes frames instead of an adapter; onTransmit sees each.
class CSinkStub final : public IPacketSink {
public:
    bool Open(const std::string&, std::string&) override { return bOpen = true; }
    ESendOpenError OpenError() const override { return ESendOpenError::None; }
    bool IsOpen() const override { return bOpen; }
    bool Transmit(const unsigned char* pData, uint32_t uLength) override
    {
        if (onTransmit)
            onTransmit();
        ++iFrames;
        frames.emplace_back(pData, pData + uLength);
        return true;
    }
    std::string ErrorText() override { return std::string(); }
    void Close() override { bOpen = false; }

    bool bOpen = false;
    int iFrames = 0;
    std::vector<std::vector<uint8_t>> frames;
    std::function<void()> onTransmit;
};

// A shell that asks for a stop once it has seen a frame go, when told to.
class CShellStub final : public IReplayObserver {
public:
    void OnProgress(const SReplayCounts& counts) override { iHandled = counts.iHandled; }
    bool StopRequested() override { return bStop && iHandled > 0; }
    std::chrono::milliseconds ProgressInterval() const override
    {
        return std::chrono::milliseconds(0);
    }
    bool bStop = false;
    int iHandled = 0;
};

SReplayResult Listened()
{
    SReplayResult result;
    result.iCount = 4;
    result.listen.bListened = true;
    return result;
}

} // namespace

// Each cause of an exit status, with its words: the rule the command exits
// by and the window shows "as velmora-replay would exit". The order between
// causes is part of the rule.
TEST(SendOutcomeTest, OneRuleForTheExitStatus)
{
    judge::SJudgement passed;
    passed.nRequests = 3;
    judge::SJudgement failed;
    failed.nRequests = 3;
    failed.bConfirmedFailed = true;
    const judge::SJudgement nothing; // no request judged
    struct SRow {
        const char* szCase;
        std::function<SReplayResult()> result;
        const judge::SJudgement* pJudgement;
        int iSignal;
        bool bWritten;
        int iExit;
        const char* szWords;
    };
    const char* const k0
        = "0 (every chosen record sent; no confirmed request unanswered or differing)";
    const char* const k1
        = "1 (some records not sent, a file not written, or nothing tested: no request judged)";
    const char* const k3 = "3 (the capture or the adapter could not be opened)";
    const char* const k4 = "4 (a confirmed request unanswered or answered otherwise)";
    const std::vector<SRow> rows {
        { "sent, every request answered as recorded", Listened, &passed, 0, true, 0, k0 },
        { "sent without listening", [] { return SReplayResult(); }, &passed, 0, true, 0, k0 },
        { "the capture could not be opened",
            [] {
                SReplayResult r;
                r.eNotSent = ENotSent::NoFile;
                return r;
            },
            &passed, 0, true, 3, k3 },
        { "a later round could not read the file, even when stopped",
            [] {
                SReplayResult r = Listened();
                r.llUnreadRound = 2;
                return r;
            },
            &failed, SIGINT, false, 3, k3 },
        { "stopped by Ctrl-C (or the window's Stop)", Listened, &failed, SIGINT, true, 130,
            "130 (stopped by signal 2)" },
        { "stopped by SIGTERM", Listened, &passed, SIGTERM, true, 143,
            "143 (stopped by signal 15)" },
        { "frames refused say more than answers missing",
            [] {
                SReplayResult r = Listened();
                r.iRefused = 1;
                return r;
            },
            &failed, 0, true, 1, k1 },
        // The window once showed 0 here: its rule left the missing records out.
        { "chosen records missing",
            [] {
                SReplayResult r = Listened();
                r.llMissing = 2;
                return r;
            },
            &passed, 0, true, 1, k1 },
        { "a confirmed request unanswered or differing", Listened, &failed, 0, true, 4, k4 },
        { "the same, and a file not written: the device's verdict shows", Listened, &failed, 0,
            false, 4, k4 },
        // The window once showed 0 here too: a device that stopped answering.
        { "a device gave up",
            [] {
                SReplayResult r = Listened();
                r.listen.csGaveUp = "the device at 192.168.10.2:47808 stopped answering";
                return r;
            },
            &passed, 0, true, 4, k4 },
        { "a file not written fails a run the device passed", Listened, &passed, 0, false, 1, k1 },
        // A rig that sent nothing that asks tested nothing: no pass.
        { "listening, nothing tested", Listened, &nothing, 0, true, 1, k1 },
        { "not listening, nothing judged is no failure", [] { return SReplayResult(); }, &nothing,
            0, true, 0, k0 },
        { "nothing tested, yet a device gave up: 4 goes first",
            [] {
                SReplayResult r = Listened();
                r.listen.csGaveUp = "the device at 192.168.10.2:47808 stopped answering";
                return r;
            },
            &nothing, 0, true, 4, k4 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szCase);
        const int iExit = SendExitStatus(row.result(), *row.pJudgement, row.iSignal, row.bWritten);
        EXPECT_EQ(iExit, row.iExit);
        EXPECT_EQ(ExitStatusWords(iExit), row.szWords);
    }
}

// Sends through a stub adapter, ended as both shells end one (Finish with
// the stop as a signal): the outcome's status and sentences, and the
// capture opened once however many rounds.
TEST(SendOutcomeTest, TheOutcomeBothShellsShow)
{
    CSandbox sandbox;
    const std::string csCapture = sandbox.File("c.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, 3, 60));
    SPaceOptions rounds;
    rounds.ePace = EPace::Captured;
    rounds.dMultiplier = 1000;
    rounds.llLoops = 3;
    struct SRow {
        const char* szCase;
        EReplayMode eMode;
        CRecordSelection selection;
        SPaceOptions pace;
        bool bStop; // the shell asks for a stop after the first frame
        bool bRemove; // the file goes after the first frame
        int iExit;
        std::string csMissing;
        int iFrames;
        int iOpens; // of the capture, the record count's included
    };
    const std::vector<SRow> rows {
        { "every record", EReplayMode::All, {}, SPaceOptions(), false, false, 0, "", 3, 2 },
        { "three rounds read one opening", EReplayMode::All, {}, rounds, false, false, 0, "", 9,
            2 },
        { "chosen records missing", EReplayMode::Selection, { 2, 7, 9 }, SPaceOptions(), false,
            false, 1, "2 of the chosen records are not in " + csCapture, 1, 1 },
        { "a stop is the command's Ctrl-C", EReplayMode::All, {}, rounds, true, false, 130, "", 1,
            2 },
        // Round 2 looks for the file by its path again, and finds none.
        { "a round whose file is gone fails as the first would", EReplayMode::All, {}, rounds,
            false, true, 3, "", 3, 3 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szCase);
        if (!std::filesystem::exists(csCapture))
            ASSERT_TRUE(WriteTestCapture(csCapture, 3, 60));
        const uint64_t uOpenedBefore = CaptureOpenings();
        SReplayRequest request;
        request.csPath = csCapture;
        request.csAdapter = "stub0";
        request.eMode = row.eMode;
        request.selection = row.selection;
        request.pace = row.pace;
        CSend send(request, SSendOutputs(), 0);
        send.CountRecords(true);
        CSinkStub sink;
        if (row.bRemove)
            sink.onTransmit = [&] { std::filesystem::remove(csCapture); };
        CShellStub shell;
        shell.bStop = row.bStop;
        send.Run(shell, &sink);
        const SSendOutcome outcome = send.Finish(row.bStop ? SIGINT : 0);
        EXPECT_EQ(outcome.iExit, row.iExit);
        EXPECT_EQ(outcome.csMissing, row.csMissing);
        EXPECT_FALSE(outcome.bListened);
        EXPECT_EQ(sink.iFrames, row.iFrames);
        EXPECT_EQ(CaptureOpenings() - uOpenedBefore, static_cast<uint64_t>(row.iOpens));
    }
}

// The index a Send reads its capture through: count, digest and the
// recorded BACnet frames by record number, one opening for all.
TEST(SendOutcomeTest, TheIndexReadsTheCaptureOnce)
{
    CSandbox sandbox;
    const std::string csCapture = sandbox.File("b.pcap");
    ASSERT_TRUE(WriteBacnetSample(csCapture));
    const uint64_t uOpenedBefore = CaptureOpenings();
    CSendIndex index;
    index.Start(csCapture, true, true);
    ASSERT_TRUE(index.Wait());
    EXPECT_EQ(index.Records(), 4u);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(index.ReadRecord(3, bytes));
    EXPECT_FALSE(index.ReadRecord(4, bytes));
    EXPECT_EQ(CaptureOpenings() - uOpenedBefore, 1u);
    std::string csError;
    EXPECT_EQ(index.Sha256(), FileSha256(csCapture, csError));
    // bacnet-sample.pcap's frames are BACnet on 802.3: every one is kept.
    std::vector<uint64_t> records;
    for (const judge::SJudgedFrame& f : index.Frames())
        records.push_back(f.uRecord);
    EXPECT_EQ(records, (std::vector<uint64_t> { 0, 1, 2, 3 }));
    ASSERT_TRUE(index.ReadRecord(3, bytes));
    EXPECT_EQ(bytes, index.Frames()[3].bytes);
}

// Later rounds read the Send's own opening again: each round sends what the
// first sent, libpcap's reader (pcapng) as well as ours, and a file put in
// the capture's place between rounds is read anew, as a new opening finds it.
TEST(SendOutcomeTest, EveryRoundReadsTheFileAsTheFirst)
{
    CSandbox sandbox;
    SPaceOptions rounds; // back to back, three times: the samples' times lie years apart
    rounds.llLoops = 3;
    auto send = [&](const std::string& csPath, CSinkStub& sink) {
        SReplayRequest request;
        request.csPath = csPath;
        request.csAdapter = "stub0";
        request.pace = rounds;
        CSend one(request, SSendOutputs(), 0);
        CShellStub shell;
        one.Run(shell, &sink);
        return one.Finish(0).iExit;
    };
    const std::vector<SPcapngSample> samples = WritePcapngSamples(sandbox.m_dir.Path().string());
    ASSERT_FALSE(samples.empty());
    for (const SPcapngSample& sample : samples) {
        SCOPED_TRACE(sample.csName);
        const uint64_t uOpenedBefore = CaptureOpenings();
        CSinkStub sink;
        const int iExit = send(sample.csPath, sink);
        EXPECT_EQ(CaptureOpenings() - uOpenedBefore, 1u);
        // A file libpcap stops in is sent up to there, each round.
        EXPECT_EQ(iExit, 0);
        ASSERT_EQ(sink.frames.size(), 3 * sample.nLibpcap);
        for (size_t i = sample.nLibpcap; i < sink.frames.size(); ++i)
            EXPECT_EQ(sink.frames[i], sink.frames[i % sample.nLibpcap]) << "frame " << i;
    }

    const std::string csCapture = sandbox.File("swap.pcap");
    const std::string csOther = sandbox.File("other.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, 2, 60));
    ASSERT_TRUE(WriteTestCapture(csOther, 4, 70));
    CSinkStub sink;
    sink.onTransmit = [&] {
        if (sink.iFrames == 1)
            std::filesystem::rename(csOther, csCapture);
    };
    const uint64_t uOpenedBefore = CaptureOpenings();
    EXPECT_EQ(send(csCapture, sink), 0);
    // Rounds 2 and 3 find another file by the path: each opens it.
    EXPECT_EQ(CaptureOpenings() - uOpenedBefore, 3u);
    ASSERT_EQ(sink.frames.size(), 2u + 4u + 4u);
    EXPECT_EQ(sink.frames[1].size(), 60u);
    EXPECT_EQ(sink.frames[2].size(), 70u);
}
