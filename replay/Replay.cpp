#include "replay/Replay.h"

#include "decode/Frame.h"
#include "decode/FrameEdit.h"
#include "log/Log.h"
#include "replay/Gate.h"
#include "replay/SendSocket.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velmora {

namespace {

    constexpr uint32_t kShortestFrame = 6;

    // "[%03ld]  %ld:%ld (%ld)", made by hand: printf's parsing costs as much as
    // the write, and this record is made once per packet. sz must hold 96 bytes.
    std::string_view PacketRecord(char* sz, long lIndex, long lSec, long lUsec, long lWireLen)
    {
        char* p = sz;
        char* const end = sz + 96;
        *p++ = '[';
        char szIndex[24];
        const auto index = std::to_chars(szIndex, szIndex + sizeof szIndex, lIndex);
        for (long lDigits = index.ptr - szIndex; lIndex >= 0 && lDigits < 3; ++lDigits)
            *p++ = '0';
        p = std::copy(szIndex, index.ptr, p);
        *p++ = ']';
        *p++ = ' ';
        *p++ = ' ';
        p = std::to_chars(p, end, lSec).ptr;
        *p++ = ':';
        p = std::to_chars(p, end, lUsec).ptr;
        *p++ = ' ';
        *p++ = '(';
        p = std::to_chars(p, end, lWireLen).ptr;
        *p++ = ')';
        return std::string_view(sz, static_cast<size_t>(p - sz));
    }

    void LogPacketRecord(long lIndex, long lSec, long lUsec, long lWireLen)
    {
        char sz[96];
        DebugLogPlain(PacketRecord(sz, lIndex, lSec, lUsec, lWireLen));
    }

    // Closes the sink however the Send ends.
    class CSinkCloser {
    public:
        explicit CSinkCloser(IPacketSink& sink)
            : m_sink(sink)
        {
        }
        ~CSinkCloser() { m_sink.Close(); }
        CSinkCloser(const CSinkCloser&) = delete;
        CSinkCloser& operator=(const CSinkCloser&) = delete;

    private:
        IPacketSink& m_sink;
    };

    // The display's pace needs no better than a few milliseconds, and this clock
    // costs a fraction of steady_clock.
    struct CCoarseClock {
        using duration = std::chrono::nanoseconds;
        using rep = duration::rep;
        using period = duration::period;
        using time_point = std::chrono::time_point<CCoarseClock>;
        static constexpr bool is_steady = true;
        static time_point now()
        {
            timespec ts {};
            clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
            return time_point(
                std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
        }
    };

    std::string SendErrorRecord(uint32_t uLength, const std::string& csError)
    {
        return "Err. Can not send BACnet Eth packet iPacketSize=[" + std::to_string(uLength)
            + "] Error=[" + csError + "]";
    }

    void LogSendError(uint32_t uLength, const std::string& csError)
    {
        DebugLogPlain(SendErrorRecord(uLength, csError));
    }

    std::string NotAimedRecord(long lIndex, EAimOutcome e)
    {
        char sz[24];
        std::snprintf(sz, sizeof sz, "%03ld", lIndex);
        return std::string("FYI. Record [") + sz + "] not aimed: " + AimOutcomeText(e)
            + "; sent as captured";
    }

    void LogNotAimed(long lIndex, EAimOutcome e)
    {
        DebugLogPlain(NotAimedRecord(lIndex, e));
    }

    // The aim of a Send. Each chosen frame is copied out of libpcap's buffer
    // (which the reader may still use) and rewritten in the copy; without an
    // aim the frames go straight from the reader's buffer, as always. A
    // listening Send without an aim copies only the BACnet/IP frames whose
    // checksums it mends. A default Send never looks.
    class CFrameAimer {
    public:
        CFrameAimer(const SAimPlan* pPlan, bool bEthernet, bool bListening, bool bKeep)
            : m_pPlan(pPlan && pPlan->Active() ? pPlan : nullptr)
            , m_bEthernet(bEthernet)
            , m_bCheck(bListening && bEthernet)
            , m_bKeep(bKeep)
        {
            if (m_pPlan || m_bCheck)
                m_buffer.resize(kSendBufferSize);
        }

        // The bytes to send for one record of uLength bytes (at most the send
        // buffer's size), what the aim did with them, and whether a checksum
        // was wrong as read.
        const u_char* Aim(
            const u_char* pData, uint32_t& uLength, EAimOutcome& eOutcome, bool& bWrongChecksums)
        {
            eOutcome = EAimOutcome::Unchanged;
            bWrongChecksums = false;
            if (!pData)
                return pData;
            if (!m_pPlan) {
                if (!m_bCheck)
                    return pData;
                const frame::SFrameLayout layout = frame::LocateFrame(pData, uLength);
                if (!frame::HasWrongChecksums(pData, uLength, layout))
                    return pData;
                bWrongChecksums = true;
                if (m_bKeep)
                    return pData;
                std::memcpy(m_buffer.data(), pData, uLength);
                frame::MendChecksums(m_buffer.data(), uLength, layout);
                return m_buffer.data();
            }
            if (!m_bEthernet) {
                eOutcome = EAimOutcome::NotEthernet;
            } else {
                std::memcpy(m_buffer.data(), pData, uLength);
                eOutcome = AimFrame(
                    *m_pPlan, m_buffer.data(), uLength, kSendBufferSize, &bWrongChecksums);
            }
            if (IsNotAimed(eOutcome)) {
                if (m_iNotAimed < INT_MAX)
                    ++m_iNotAimed;
                return pData; // byte for byte as captured
            }
            return m_buffer.data();
        }
        int NotAimed() const { return m_iNotAimed; }

    private:
        const SAimPlan* m_pPlan;
        bool m_bEthernet;
        bool m_bCheck;
        bool m_bKeep;
        std::vector<u_char> m_buffer;
        int m_iNotAimed = 0;
    };

    // "Send requests only" and the requests kept for the judge ask the
    // classifier here, and nowhere else in replay/.
    bool IsRequest(const u_char* pData, uint32_t uLength)
    {
        return frame::ClassifyRequest(pData, uLength) != frame::ERequestKind::Skipped;
    }

    // The requests a listening Send put on the wire, each with its place
    // among the frames whose send time the sink was asked for. A capture of
    // nothing but requests keeps every frame: their bytes go into blocks of a
    // megabyte, never moved once written.
    class CSentLog {
    public:
        // A frame about to be handed to the sink; kept when it asks, and
        // then its send time is wanted (true).
        // iInvokeAt: where a conversation gave the frame a fresh invoke ID
        // (-1: as captured), uCapturedId the captured one.
        bool Candidate(long lIndex, const u_char* pData, uint32_t uLength, uint32_t uRound,
            int iInvokeAt = -1, uint8_t uCapturedId = 0)
        {
            if (!IsRequest(pData, uLength))
                return false;
            if (m_blocks.empty() || m_blocks.back().size() + uLength > kBlock) {
                m_blocks.emplace_back();
                m_blocks.back().reserve(std::max<size_t>(kBlock, uLength));
            }
            std::vector<uint8_t>& b = m_blocks.back();
            m_kept.push_back({ static_cast<uint64_t>(lIndex),
                static_cast<uint32_t>(m_blocks.size() - 1), static_cast<uint32_t>(b.size()),
                uLength, uRound, false, iInvokeAt, uCapturedId });
            b.insert(b.end(), pData, pData + uLength);
            return true;
        }
        // Every frame handed over, in order: whether it went on the wire.
        void Handed(long lIndex, bool bOnWire)
        {
            if (m_nHanded < m_kept.size()
                && m_kept[m_nHanded].uRecord == static_cast<uint64_t>(lIndex))
                m_kept[m_nHanded++].bOnWire = bOnWire;
        }
        // The requests that went on the wire with their send times (one per
        // kept frame, 0 where none came) and the earliest each can have left,
        // and how many found no time.
        std::vector<SSentRequest> Requests(const std::vector<int64_t>& times,
            const std::vector<int64_t>& earliest, size_t& nMissing) const
        {
            nMissing = 0;
            std::vector<SSentRequest> requests;
            for (size_t i = 0; i < m_nHanded; ++i) {
                const SKept& k = m_kept[i];
                if (!k.bOnWire)
                    continue;
                const uint8_t* p = m_blocks[k.uBlock].data() + k.uOffset;
                SSentRequest r;
                r.uRecord = k.uRecord;
                r.llNs = i < times.size() ? times[i] : 0;
                r.bytes.assign(p, p + k.uLength);
                r.llEarliestNs = i < earliest.size() ? earliest[i] : 0;
                r.uRound = k.uRound;
                r.iInvokeAt = k.iInvokeAt;
                r.uCapturedInvokeId = k.uCapturedId;
                nMissing += r.llNs == 0 ? 1 : 0;
                requests.push_back(std::move(r));
            }
            return requests;
        }

        // Forgets the requests kept (all of them handed over by now); the
        // first block stays for the next ones.
        void Clear()
        {
            if (m_blocks.size() > 1)
                m_blocks.resize(1);
            if (!m_blocks.empty())
                m_blocks.front().clear();
            m_kept.clear();
            m_nHanded = 0;
        }

    private:
        static constexpr size_t kBlock = 1 << 20;
        struct SKept {
            uint64_t uRecord;
            uint32_t uBlock;
            uint32_t uOffset;
            uint32_t uLength;
            uint32_t uRound;
            bool bOnWire;
            int iInvokeAt;
            uint8_t uCapturedId;
        };
        std::vector<std::vector<uint8_t>> m_blocks;
        std::vector<SKept> m_kept; // in the order handed, which is the order of the send times
        size_t m_nHanded = 0;
    };

    // All and Selection hand frames to the sink in batches. A batch's debug
    // records are made once the kernel has taken or refused its frames, each
    // refused frame's record right after its packet's, and reach the file in one
    // write before the next record is read. Single mode (bBatches false) and a
    // sink without batches send every frame alone, its record written first.
    class CBatchSender {
    public:
        CBatchSender(IPacketSink& sink, CSentLog* pSent, bool bBatches)
            : m_sink(sink)
            , m_pSent(pSent)
            , m_bBatches(bBatches)
        {
            m_records.reserve(kMaxRecords);
        }
        CBatchSender(const CBatchSender&) = delete;
        CBatchSender& operator=(const CBatchSender&) = delete;

        // pData: the record's bytes as they go out (the reader's, or the aim's
        // copy); eAim: what the aim did, for the debug record.
        // bInPlace: pData stays valid until the next Drain, and is staged
        // without a copy.
        void Add(long lIndex, const pcap_pkthdr& header, const u_char* pData, EAimOutcome eAim,
            bool bInPlace, uint32_t uRound, int iInvokeAt = -1, uint8_t uCapturedId = 0)
        {
            // The reader stores both time stamp fields as signed 32-bit values.
            // Straight from the reader's buffer: the bytes are the same as after a
            // copy into the send buffer, and a longer record is cut to it.
            SRecord record { lIndex, static_cast<int32_t>(header.ts.tv_sec),
                static_cast<int32_t>(header.ts.tv_usec), static_cast<long>(header.len),
                header.caplen < kSendBufferSize ? header.caplen : kSendBufferSize, -1, eAim };
            if (m_sink.IsOpen() && pData && record.uLength >= kShortestFrame) {
                if (m_pSent
                    && m_pSent->Candidate(
                        lIndex, pData, record.uLength, uRound, iInvokeAt, uCapturedId))
                    m_sink.StampNext();
                if (!m_bBatches) {
                    SendAlone(record, pData);
                    return;
                }
                auto stage = [&] {
                    return bInPlace ? m_sink.StageInPlace(pData, record.uLength)
                                    : m_sink.Stage(pData, record.uLength);
                };
                if (!stage()) {
                    Drain();
                    if (!stage()) {
                        SendAlone(record, pData);
                        return;
                    }
                }
                record.iStaged = m_iStaged++;
            } else if (!m_bBatches) {
                SendAlone(record, pData);
                return;
            }
            m_records.push_back(record);
            if (m_records.size() >= kMaxRecords)
                Drain();
        }

        // Waits until the kernel has taken or refused every staged frame, then
        // writes the batch's records; the frames count from here on.
        void Drain()
        {
            if (m_records.empty())
                return;
            m_refused.clear();
            if (m_iStaged > 0)
                m_sink.Flush(m_refused);
            size_t nRefused = 0;
            for (const SRecord& r : m_records) {
                if (g_bDebug) {
                    char sz[96];
                    m_log.Add(PacketRecord(sz, r.lIndex, r.iSec, r.iUsec, r.lWireLen));
                    if (IsNotAimed(r.eAim))
                        m_log.Add(NotAimedRecord(r.lIndex, r.eAim));
                }
                bool bOnWire = false;
                if (r.iStaged < 0) {
                    CountRefused(r.uLength);
                } else if (nRefused < m_refused.size()
                    && m_refused[nRefused].nIndex == static_cast<size_t>(r.iStaged)) {
                    CountRefused(r.uLength);
                    if (g_bDebug)
                        m_log.Add(SendErrorRecord(r.uLength, m_refused[nRefused].csError));
                    ++nRefused;
                } else {
                    bOnWire = true;
                }
                if (m_pSent && r.iStaged >= 0)
                    m_pSent->Handed(r.lIndex, bOnWire);
            }
            if (g_bDebug)
                m_log.Flush();
            m_llCount += static_cast<long long>(m_records.size());
            m_records.clear();
            m_iStaged = 0;
        }

        // Frames the kernel has taken or refused, and records too short to send.
        int Count() const { return m_llCount < INT_MAX ? static_cast<int>(m_llCount) : INT_MAX; }
        // Of those, not put on the wire; and refused by the adapter.
        int Refused() const { return m_iRefused; }
        int Failed() const { return m_iFailed; }

    private:
        struct SRecord {
            long lIndex;
            int32_t iSec;
            int32_t iUsec;
            long lWireLen;
            uint32_t uLength;
            int iStaged; // place among the staged frames; -1 when not handed over
            EAimOutcome eAim;
        };
        static constexpr size_t kMaxRecords = 1024;

        void SendAlone(const SRecord& r, const u_char* pData)
        {
            // As in single mode, the record is in the file before the frame goes out.
            if (g_bDebug) {
                LogPacketRecord(r.lIndex, r.iSec, r.iUsec, r.lWireLen);
                if (IsNotAimed(r.eAim))
                    LogNotAimed(r.lIndex, r.eAim);
            }
            const bool bOnWire = SendPacket(m_sink, pData, r.uLength);
            if (!bOnWire)
                CountRefused(r.uLength);
            if (m_pSent)
                m_pSent->Handed(r.lIndex, bOnWire);
            ++m_llCount;
        }

        void CountRefused(uint32_t uLength)
        {
            if (m_iRefused < INT_MAX)
                ++m_iRefused;
            if (uLength >= kShortestFrame && m_iFailed < INT_MAX)
                ++m_iFailed;
        }

        IPacketSink& m_sink;
        CSentLog* m_pSent;
        bool m_bBatches;
        CDebugLogBatch m_log;
        std::vector<SRecord> m_records;
        std::vector<IPacketSink::SRefused> m_refused;
        int m_iStaged = 0;
        long long m_llCount = 0;
        int m_iRefused = 0;
        int m_iFailed = 0;
    };

    // While it lives, the reader's refills first hand the staged frames to the
    // kernel, since some of them may lie in the reader's buffer.
    class CRefillGuard {
    public:
        CRefillGuard(CLocalCapture& capture, CBatchSender* pBatch)
            : m_capture(capture)
            , m_pBatch(pBatch)
        {
            if (m_pBatch)
                m_capture.SetBeforeRefill([pBatch] { pBatch->Drain(); });
        }
        ~CRefillGuard()
        {
            if (m_pBatch) {
                m_pBatch->Drain();
                m_capture.SetBeforeRefill(nullptr);
            }
        }
        CRefillGuard(const CRefillGuard&) = delete;
        CRefillGuard& operator=(const CRefillGuard&) = delete;

    private:
        CLocalCapture& m_capture;
        CBatchSender* m_pBatch;
    };

} // namespace

bool OpenSendDevice(IPacketSink& sink, const std::string& csSelectedDeviceName)
{
    std::string csError;
    if (sink.Open(csSelectedDeviceName, csError))
        return true;
    DebugLog("Err #849. pcap_open() csSelectedDeviceName=[%s] errbuf=[%s] ",
        csSelectedDeviceName.c_str(), csError.c_str());
    return false;
}

bool SendPacket(IPacketSink& sink, const unsigned char* pData, uint32_t uLength)
{
    if (!sink.IsOpen() || !pData || uLength < kShortestFrame)
        return false;
    if (sink.Transmit(pData, uLength))
        return true;
    LogSendError(uLength, sink.ErrorText());
    return false;
}

namespace {

    // The requests sent so far with their send times, and the frames heard
    // since the last hand-over, into chunk; the sent log starts afresh.
    void TakeListened(SReplayResult& result, CListener& listener, CSentLog& sent, IPacketSink& sink,
        SListenChunk& chunk, bool bStop)
    {
        chunk.heard = bStop ? listener.Stop() : listener.Take();
        // A segmented answer is judged whole, at its last segment's time.
        for (; result.listen.nWholeHanded < result.listen.conversed.size();
             ++result.listen.nWholeHanded) {
            const SConverseResult& r = result.listen.conversed[result.listen.nWholeHanded];
            if (r.iSegments == 0 || r.answer.empty())
                continue;
            SHeardFrame whole;
            whole.llNs = r.llAnsweredNs;
            whole.uWireLength = static_cast<uint32_t>(r.answer.size());
            whole.bytes = r.answer;
            whole.iSegments = r.iSegments;
            const auto at = std::upper_bound(chunk.heard.begin(), chunk.heard.end(), whole.llNs,
                [](int64_t ll, const SHeardFrame& f) { return ll < f.llNs; });
            chunk.heard.insert(at, std::move(whole));
        }
        // Handed over: a Send that runs until stopped keeps none of them.
        result.listen.conversed.clear();
        result.listen.nWholeHanded = 0;
        std::vector<int64_t> times;
        std::vector<int64_t> earliest;
        sink.TakeSendTimes(times, earliest);
        size_t nUnstamped = 0;
        chunk.requests = sent.Requests(times, earliest, nUnstamped);
        sent.Clear();
        result.listen.nUnstamped += nUnstamped;
        result.listen.llRequests += static_cast<long long>(chunk.requests.size());
        result.listen.llHeard += static_cast<long long>(chunk.heard.size());
    }

    // After the last frame: hears on for the wait (unless stopped), then
    // hands over the requests sent with their send times and what was heard.
    void Listen(const SReplayRequest& request, SReplayResult& result, IReplayObserver& observer,
        CListener& listener, CSentLog& sent, IPacketSink& sink)
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + request.listen.wait;
        const std::chrono::milliseconds interval
            = std::max(observer.ProgressInterval(), std::chrono::milliseconds(kStatusIntervalMs));
        // A device that stopped answering is not waited for.
        bool bStopped = result.bStopped || !result.listen.csGaveUp.empty();
        while (!bStopped) {
            const Clock::time_point now = Clock::now();
            if (now >= end)
                break;
            SListenCounts counts;
            counts.iHeard = listener.Heard();
            counts.left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            observer.OnListening(counts);
            if (observer.StopRequested()) {
                bStopped = true;
                result.bStopped = true;
                DebugLog("Listening stopped by the user");
                break;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(interval, end - now));
        }
        SListenChunk chunk;
        TakeListened(result, listener, sent, sink, chunk, true);
        SListenResult& out = result.listen;
        DebugLog("Listened: %d requests, %d frames heard", static_cast<int>(out.llRequests),
            static_cast<int>(out.llHeard));
        if (observer.TakesListening()) {
            chunk.bLast = true;
            chunk.bStopped = result.bStopped;
            chunk.llStopNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                                 .count();
            observer.OnListened(chunk);
        } else {
            out.requests = std::move(chunk.requests);
            out.heard = std::move(chunk.heard);
        }
    }

    // What the one send loop walks: the chosen records of a Send, in rounds.
    struct SLoopPlan {
        const SReplayRequest& request;
        const CRecordSelection* pSelection; // sorted, no repeats; null: by mode
        const SAimPlan& aim;
        CSentLog* pSent; // listening: the requests are kept here
        // Conversing: the conversation, and the listener that feeds it.
        CConversation* pConv = nullptr;
        CListener* pListener = nullptr;
        // Called as each round after the first begins (its pause is over).
        std::function<void()> onNextRound;
        // Listening: the ports the requests come from are held here.
        CPortHolder* pPorts = nullptr;
        // Later rounds read the file as the Send opened it.
        const CCaptureReopener* pReopen = nullptr;
    };

    // The rate a Send paced by packets or megabits reached: frames and bits
    // over the time between the first frame and the last, less the pauses.
    class CReachedRate {
    public:
        explicit CReachedRate(const SPaceOptions& pace)
            : m_bOn(pace.ePace == EPace::PacketsPerSecond || pace.ePace == EPace::MegabitsPerSecond)
            , m_bBits(pace.ePace == EPace::MegabitsPerSecond)
            , m_llPauseNs(pace.llLoopPauseMs * 1'000'000)
        {
        }
        void Round(bool bFirst)
        {
            if (m_bOn && !bFirst && m_llFrames > 0)
                m_llPausedNs += m_llPauseNs;
        }
        void Went(int64_t llGoNs, uint32_t uLength)
        {
            if (!m_bOn)
                return;
            if (m_llFrames++ == 0)
                m_llFirstNs = llGoNs;
            else
                m_ldBitsBefore += m_ldLastBits;
            m_llLastNs = llGoNs;
            m_ldLastBits = static_cast<long double>(uLength) * 8;
        }
        // Packets or megabits a second; 0 when fewer than two frames went.
        double Reached() const
        {
            const int64_t llSpan = m_llLastNs - m_llFirstNs - m_llPausedNs;
            if (m_llFrames < 2 || llSpan <= 0)
                return 0;
            const long double ldSeconds = static_cast<long double>(llSpan) / 1e9L;
            return static_cast<double>(m_bBits
                    ? m_ldBitsBefore / 1e6L / ldSeconds
                    : static_cast<long double>(m_llFrames - 1) / ldSeconds);
        }

    private:
        bool m_bOn;
        bool m_bBits;
        int64_t m_llPauseNs;
        int64_t m_llPausedNs = 0;
        int64_t m_llFrames = 0;
        int64_t m_llFirstNs = 0;
        int64_t m_llLastNs = 0;
        long double m_ldBitsBefore = 0;
        long double m_ldLastBits = 0;
    };

    // The record iterator: the records one round of a Send chooses, in file
    // order (the selection, or Single's one record, or all), each marked when
    // "requests only" leaves it out. It reads no further than the choice.
    class CChosenRecords {
    public:
        struct SChosen {
            long lIndex = 0; // the record's number, 0 first
            const pcap_pkthdr* pHeader = nullptr;
            const u_char* pData = nullptr;
            uint32_t uLength = 0; // at most the send buffer's size
            bool bSkip = false; // no request, and the Send sends requests only
        };

        CChosenRecords(CLocalCapture& capture, const CRecordSelection* pSelection, bool bSingle,
            long lOffset, bool bRequestsOnly, long long& llRecordsRead)
            : m_capture(capture)
            , m_pSelection(pSelection)
            , m_bSingle(bSingle)
            , m_lOffset(lOffset)
            , m_bRequestsOnly(bRequestsOnly)
            , m_llRecordsRead(llRecordsRead)
            , m_bFound(!bSingle)
        {
        }

        // The next chosen record; false when the choice is done or the file ended.
        bool Next(SChosen& chosen)
        {
            for (;;) {
                if (m_pSelection && m_nNextChosen == m_pSelection->size())
                    return false;
                const pcap_pkthdr* pHeader = nullptr;
                const u_char* pData = nullptr;
                if (m_capture.Next(pHeader, pData) < 0) {
                    m_bReadToEnd = true;
                    return false;
                }
                ++m_llRecordsRead;
                const long lIndex = m_lIndex++;
                const bool bChosen = m_pSelection
                    ? (*m_pSelection)[m_nNextChosen] == static_cast<uint64_t>(lIndex)
                    : !m_bSingle || lIndex == m_lOffset;
                if (!bChosen) {
                    // A single record before this one (a negative offset) is none at all.
                    if (m_bSingle && !m_pSelection && lIndex > m_lOffset)
                        return false;
                    continue; // before the offset, or left out of the selection
                }
                if (m_pSelection)
                    ++m_nNextChosen;
                m_bFound = true;
                chosen.lIndex = lIndex;
                chosen.pHeader = pHeader;
                chosen.pData = pData;
                chosen.uLength
                    = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
                chosen.bSkip = m_bRequestsOnly && !IsRequest(pData, chosen.uLength);
                return true;
            }
        }

        // Chosen records the file does not hold, once it was read to its end.
        size_t Missing() const
        {
            if (!m_bReadToEnd)
                return 0;
            return m_pSelection ? m_pSelection->size() - m_nNextChosen : m_bFound ? 0 : 1;
        }

    private:
        CLocalCapture& m_capture;
        const CRecordSelection* m_pSelection;
        bool m_bSingle;
        long m_lOffset;
        bool m_bRequestsOnly;
        long long& m_llRecordsRead;
        long m_lIndex = 0;
        size_t m_nNextChosen = 0; // in *m_pSelection
        bool m_bFound; // Single: the offset was reached
        bool m_bReadToEnd = false;
    };

    // The one send loop, in steps. Each round walks the file once through the
    // record iterator (selection, requests only); each record then takes the
    // pace step (when it goes), the aim (its bytes), the gate (a conversing
    // Send waits there for room in the device's window) and the batch (the
    // kernel, the debug records and the counts). Single mode is a selection
    // of one that does not ask for a stop; back to back is a pace that never
    // reads the clock.
    // An untimed Send (one round back to back, no duration) reads pFirst with
    // microsecond time stamps and looks at the coarse clock every 32nd frame;
    // a timed one reads the file afresh each round with nanosecond stamps.
    void SendLoop(const SLoopPlan& plan, std::unique_ptr<CLocalCapture> pFirst, IPacketSink& sink,
        IReplayObserver& observer, IClock& clock, SReplayResult& result)
    {
        using Clock = CCoarseClock;
        const SReplayRequest& request = plan.request;
        const bool bSingle = request.eMode == EReplayMode::Single;
        const SPaceOptions pace = bSingle ? SPaceOptions() : request.pace;
        const bool bTimed = !pace.IsDefault();
        CConversation* const pConv = plan.pConv;
        // A conversing Send sends requests only, whatever the filter says.
        const bool bRequestsOnly = request.listen.bRequestsOnly || pConv;
        // One open descriptor for the per-packet records instead of an open and close each.
        CDebugLogHold hold;
        CBatchSender batch(sink, plan.pSent, !bSingle);
        CPaceRun run(pace, clock);
        run.SetBeforeWait([&batch] { batch.Drain(); });
        CReachedRate reached(pace);
        // The first packet shows at once, then the status follows the display's pace.
        Clock::time_point nextShow = Clock::time_point::min();
        const std::chrono::milliseconds interval
            = std::max(observer.ProgressInterval(), std::chrono::milliseconds::zero());
        const bool bEveryPacket = bTimed || interval.count() == 0;
        bool bShowPending = false;
        bool bStopped = false;
        unsigned uHandled = 0;
        // The status shows only frames the kernel has dealt with.
        auto show = [&](const SPaceWait* pWait) {
            batch.Drain();
            SReplayCounts counts;
            counts.iHandled = batch.Count();
            if (pConv) {
                counts.bConversing = true;
                counts.converse = pConv->Progress();
            }
            if (bTimed) {
                counts.llRound = pWait ? pWait->llRound : run.Round();
                if (pWait && pWait->bCountdown) {
                    counts.llWaitLeftMs = pWait->llLeftNs / 1'000'000;
                    counts.bPause = pWait->bPause;
                }
            }
            observer.OnProgress(counts);
            nextShow = Clock::now() + interval;
            bShowPending = false;
        };
        // Long waits report and ask for a stop at every slice (the display's pace).
        const FPacePoll poll = [&](const SPaceWait& wait) {
            show(&wait);
            return observer.StopRequested();
        };
        // Even a coarse clock read is a few percent of a small frame's send:
        // an untimed Send looks at it every 32nd packet (tens of microseconds apart).
        auto progress = [&] {
            bShowPending = true;
            if (!bEveryPacket && (++uHandled & 31) != 1)
                return;
            if (Clock::now() < nextShow)
                return;
            show(nullptr);
            // Single mode has nothing left to send after its one record.
            if (!bSingle && observer.StopRequested())
                bStopped = true;
        };
        // The gate: the frames heard go in, the conversation's timers run, and
        // what it makes (retries, Segment-ACKs, Aborts) goes out at once. A
        // wait shows the status at the display's pace (a window pumps its
        // messages there) and ends at a stop.
        std::optional<CListenerEar> ear;
        std::optional<CConverseGate> gate;
        std::vector<uint8_t> conversed;
        if (pConv) {
            ear.emplace(*plan.pListener);
            gate.emplace(*pConv, sink, *ear, clock,
                std::max<int64_t>(
                    std::chrono::nanoseconds(interval).count(), kStatusIntervalMs * 1'000'000LL));
            gate->SetBeforeSlice([&] {
                if (Clock::now() < nextShow)
                    return false;
                show(nullptr);
                return observer.StopRequested();
            });
            gate->SetOnResult(
                [&](SConverseResult&& r) { result.listen.conversed.push_back(std::move(r)); });
            conversed.resize(kSendBufferSize);
        }
        bool bGaveUp = false;
        EPaceStep eStep = EPaceStep::Go;
        while (!bStopped && !bGaveUp && (eStep = run.BeginRound(poll)) == EPaceStep::Go) {
            reached.Round(run.Round() == 1);
            if (run.Round() > 1 && plan.onNextRound)
                plan.onNextRound();
            const uint32_t uRound
                = run.Round() < UINT32_MAX ? static_cast<uint32_t>(run.Round()) : UINT32_MAX;
            std::unique_ptr<CLocalCapture> pCapture
                = bTimed ? plan.pReopen->Open(true, kPacedReadBuffer) : std::move(pFirst);
            if (!pCapture) {
                DebugLog("Error. Unable to open the file %s for round %lld.",
                    request.csPath.c_str(), static_cast<long long>(run.Round()));
                result.llUnreadRound = run.Round();
                break;
            }
            CFrameAimer aimer(&plan.aim, pCapture->DataLink() == DLT_EN10MB, request.listen.bListen,
                request.bKeepChecksums);
            // Records staged where the reader holds them go out before it reads on.
            CRefillGuard refill(*pCapture, &batch);
            const bool bInPlaceReader = pCapture->InPlace();
            CChosenRecords records(*pCapture, plan.pSelection, bSingle, request.iOffset,
                bRequestsOnly, result.llRecordsRead);
            CChosenRecords::SChosen rec;
            while (records.Next(rec)) {
                // After a give-up the rest of the round is read to count the
                // requests never sent.
                if (bGaveUp) {
                    if (!rec.bSkip)
                        ++result.listen.llNotSent;
                    continue;
                }
                // Records that do not ask are read and counted, and take no time.
                if (rec.bSkip) {
                    ++result.listen.llSkipped;
                    progress();
                    if (bSingle || bStopped)
                        break;
                    continue;
                }
                // The pace step.
                eStep = run.Next(StampNs(rec.pHeader->ts.tv_sec, rec.pHeader->ts.tv_usec, bTimed),
                    rec.uLength, poll);
                if (eStep != EPaceStep::Go)
                    break;
                if (run.LastWasBackwards())
                    DebugLog("Record %ld goes back in time: sent at once", rec.lIndex);
                const pcap_pkthdr* pRecordHeader = rec.pHeader;
                pcap_pkthdr header;
                if (bTimed) {
                    // The packet's record gives microseconds, as libpcap scales them.
                    header = *rec.pHeader;
                    header.ts.tv_usec /= 1000;
                    pRecordHeader = &header;
                }
                // The aim.
                uint32_t uLength = rec.uLength;
                EAimOutcome eAim = EAimOutcome::Unchanged;
                bool bWrongChecksums = false;
                const u_char* pOut = aimer.Aim(rec.pData, uLength, eAim, bWrongChecksums);
                bool bInPlace = bInPlaceReader && pOut == rec.pData;
                // A route may have made the frame longer or shorter.
                if (uLength != pRecordHeader->caplen) {
                    header = *pRecordHeader;
                    header.caplen = uLength;
                    pRecordHeader = &header;
                }
                // The gate, on a copy: the fresh invoke ID never goes into the reader's buffer.
                SConverseOffered offered;
                if (gate) {
                    std::memcpy(conversed.data(), pOut, uLength);
                    const EConverseGate eGate = gate->Pass(
                        static_cast<uint64_t>(rec.lIndex), conversed.data(), uLength, offered);
                    if (gate->Stopped()) {
                        bStopped = true;
                        break;
                    }
                    if (eGate == EConverseGate::GaveUp) {
                        bGaveUp = true;
                        ++result.listen.llNotSent;
                        if (bSingle)
                            break;
                        continue;
                    }
                    if (eGate == EConverseGate::Skip) {
                        ++result.listen.llSkipped;
                        progress();
                        if (bSingle || bStopped)
                            break;
                        continue;
                    }
                    pOut = conversed.data();
                    bInPlace = false;
                }
                // The port the answer comes back to is held before the request goes.
                if (plan.pPorts)
                    plan.pPorts->Hold(pOut, uLength);
                if (bWrongChecksums) {
                    ++result.llWrongChecksums;
                    if (IsRequest(pOut, uLength))
                        ++result.llWrongRequests;
                }
                // The batch. The gate said where it put the fresh invoke ID:
                // the judge names the request as captured.
                batch.Add(rec.lIndex, *pRecordHeader, pOut, eAim, bInPlace, uRound,
                    offered.iInvokeAt, offered.uCapturedInvokeId);
                // A conversing Send's request goes now: its time-out has begun.
                if (gate)
                    batch.Drain();
                if (pace.Paced()) {
                    if (run.RecordsInRound() == 1) {
                        const int64_t llHanded = clock.Now();
                        batch.Drain();
                        run.FirstSent(llHanded);
                        reached.Went(llHanded, uLength);
                    } else {
                        reached.Went(run.LastGo(), uLength);
                        if (run.SendNow())
                            batch.Drain();
                    }
                }
                progress();
                // Single mode ends with its one record: nothing after it is read.
                if (bSingle || bStopped)
                    break;
            }
            // Each round's frames the aim sent as captured count again.
            result.iNotAimed = aimer.NotAimed() > INT_MAX - result.iNotAimed
                ? INT_MAX
                : result.iNotAimed + aimer.NotAimed();
            // Chosen records the file does not hold (a stop or the duration
            // cutting a round short leaves nothing missing).
            if (eStep == EPaceStep::Go)
                result.llMissing
                    = std::max(result.llMissing, static_cast<int64_t>(records.Missing()));
            if (eStep != EPaceStep::Go)
                break;
        }
        batch.Drain();
        if (pConv) {
            // The answers still owed come before the listening wait, unless
            // the user stopped.
            if (!bStopped && eStep != EPaceStep::Stopped && gate->Finish())
                bStopped = true;
            if (bStopped || eStep == EPaceStep::Stopped)
                pConv->StopAll();
            bGaveUp = bGaveUp || pConv->GaveUp();
            if (bGaveUp) {
                result.listen.csGaveUp = pConv->GiveUpText();
                DebugLog("Replay ended: %s", result.listen.csGaveUp.c_str());
            }
            for (SConverseResult& r : pConv->TakeResults())
                result.listen.conversed.push_back(std::move(r));
        }
        if (result.llWrongChecksums > 0)
            DebugLog("FYI. %lld BACnet/IP frames carried wrong IPv4 or UDP checksums (left to "
                     "the NIC?): %s",
                result.llWrongChecksums, request.bKeepChecksums ? "sent as captured" : "mended");
        result.iCount = batch.Count();
        result.iRefused = batch.Refused();
        result.iFailed = batch.Failed();
        if (eStep == EPaceStep::Stopped)
            bStopped = true;
        if (bTimed) {
            result.llRounds = run.Round();
            result.llRoundFrames = run.RecordsInRound();
            result.bTimeUp = eStep == EPaceStep::TimeUp;
        }
        result.dReachedRate = reached.Reached();
        result.bStopped = bStopped || result.bTimeUp;
        // The status always ends on the exact count.
        if (bShowPending || (bTimed && result.bStopped))
            show(nullptr);
        if (!bTimed) {
            if (bStopped)
                DebugLog("Replay stopped by the user after %d packets", result.iCount);
        } else if (bStopped) {
            DebugLog("Replay stopped by the user after %d packets (round %lld, frame %lld)",
                result.iCount, static_cast<long long>(result.llRounds),
                static_cast<long long>(result.llRoundFrames));
        } else if (result.bTimeUp) {
            DebugLog("Replay stopped after its duration (%g s) after %d packets (round %lld, "
                     "frame %lld)",
                pace.dDurationSeconds, result.iCount, static_cast<long long>(result.llRounds),
                static_cast<long long>(result.llRoundFrames));
        }
    }

    // Each record one round of a Send chooses, in file order, until fn says
    // stop (false). False when the file cannot be opened.
    // pReopen: the Send's own opening, read again.
    template <class F>
    bool ForEachChosen(const SReplayRequest& request, const CRecordSelection* pSelection, F fn,
        const CCaptureReopener* pReopen = nullptr)
    {
        const std::unique_ptr<CLocalCapture> pCapture = pReopen
            ? pReopen->Open(true, kPacedReadBuffer, kSendMapWindow)
            : OpenCaptureStream(request.csPath, true, kPacedReadBuffer, kSendMapWindow);
        if (!pCapture)
            return false;
        const bool bEthernet = pCapture->DataLink() == DLT_EN10MB;
        const pcap_pkthdr* pHeader = nullptr;
        const u_char* pData = nullptr;
        size_t nNext = 0;
        for (uint64_t u = 0; pCapture->Next(pHeader, pData) >= 0; ++u) {
            if (pSelection) {
                if (nNext == pSelection->size())
                    break;
                if ((*pSelection)[nNext] != u)
                    continue;
                ++nNext;
            } else if (request.eMode == EReplayMode::Single) {
                if (u < static_cast<uint64_t>(std::max(request.iOffset, 0)))
                    continue;
                if (u > static_cast<uint64_t>(std::max(request.iOffset, 0)) || request.iOffset < 0)
                    break;
            }
            const uint32_t uLength
                = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
            if (!fn(pData, uLength, bEthernet))
                break;
        }
        return true;
    }

    // The requests one round of a Send offers, for a conversation's progress.
    uint64_t CountRequests(const SReplayRequest& request, const CRecordSelection* pSelection,
        const CCaptureReopener& reopen)
    {
        uint64_t uRequests = 0;
        ForEachChosen(
            request, pSelection,
            [&](const u_char* pData, uint32_t uLength, bool) {
                if (IsRequest(pData, uLength))
                    ++uRequests;
                return true;
            },
            &reopen);
        return uRequests;
    }

} // namespace

SReplayResult Replay(
    const SReplayRequest& request, IPacketSink& sink, IReplayObserver& observer, IClock& clock)
{
    SReplayResult result;
    const std::string& csPath = request.csPath;
    if (::access(csPath.c_str(), F_OK) != 0) {
        // A folder on the way that this user may not enter hides the file.
        result.eNotSent = errno == EACCES ? ENotSent::NoAccess : ENotSent::NoFile;
        DebugLog("Error. Could not open file=[%s]", csPath.c_str());
        return result;
    }
    CSinkCloser closer(sink);
    if (!OpenSendDevice(sink, request.csAdapter)) {
        result.eNotSent = ENotSent::NoAdapter;
        result.eOpenError = sink.OpenError();
        DebugLog("Error. Could not open send device");
        return result;
    }
    // The adapter's own addresses, when the aim asks for them, before a record is read.
    SAimPlan plan;
    if (!request.aim.IsDefault()) {
        SAdapterAddresses addresses;
        std::string csError;
        if (request.aim.eSrcMac == EAimSource::Adapter || request.aim.eSrcIp == EAimSource::Adapter)
            ReadAdapterAddresses(request.csAdapter, addresses, csError);
        if (!PlanAim(request.aim, request.csAdapter, addresses, plan, csError)) {
            result.eNotSent = request.aim.eSrcMac == EAimSource::Adapter && !addresses.bHasMac
                ? ENotSent::NoAimMac
                : ENotSent::NoAimIpv4;
            DebugLog("Error. Could not aim: %s", csError.c_str());
            return result;
        }
        plan.bKeepChecksums = request.bKeepChecksums;
    }
    std::unique_ptr<CLocalCapture> pCapture
        = OpenCaptureFile(csPath, request.eMode != EReplayMode::Single);
    if (!pCapture) {
        result.eNotSent
            = ::access(csPath.c_str(), R_OK) != 0 ? ENotSent::NoAccess : ENotSent::NotCapture;
        DebugLog("Error. Could not open local device");
        return result;
    }
    // The one opening of the capture: later passes read it again.
    const CCaptureReopener reopen(csPath, *pCapture);
    CRecordSelection sorted;
    if (request.eMode == EReplayMode::Selection) {
        sorted = request.selection;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    }
    const SListenOptions& listen = request.listen;
    CListener listener;
    CSentLog sent;
    listener.SetTap(listen.Conversing());
    if (listen.bListen) {
        if (!listener.Start(request.csAdapter, result.listen.csError)) {
            result.eNotSent = ENotSent::NoEar;
            DebugLog("Error. Could not listen: %s", result.listen.csError.c_str());
            return result;
        }
        result.listen.bListened = true;
        sink.StampFrames(true);
    }
    observer.OnStart();
    // A timed Send opens the file afresh each round.
    if (request.eMode != EReplayMode::Single && !request.pace.IsDefault())
        pCapture.reset();
    SLoopPlan loop { request, request.eMode == EReplayMode::Selection ? &sorted : nullptr, plan,
        listen.bListen ? &sent : nullptr, nullptr, nullptr, nullptr };
    loop.pReopen = &reopen;
    CPortHolder ports;
    if (listen.bListen)
        loop.pPorts = &ports;
    // A listening Send in rounds hands each round over as the next begins,
    // so that one that runs until stopped keeps no more than a round or two.
    if (listen.bListen && observer.TakesListening())
        loop.onNextRound = [&] {
            SListenChunk chunk;
            TakeListened(result, listener, sent, sink, chunk, false);
            observer.OnListened(chunk);
        };
    std::unique_ptr<CConversation> pConv;
    if (listen.Conversing()) {
        pConv = std::make_unique<CConversation>(listen.converse, clock);
        pConv->SetHeardClock(EarClockNs);
        pConv->KeepChecksums(request.bKeepChecksums);
        pConv->SetTotal(CountRequests(
            request, request.eMode == EReplayMode::Selection ? &sorted : nullptr, reopen));
        loop.pConv = pConv.get();
        loop.pListener = &listener;
    }
    SendLoop(loop, std::move(pCapture), sink, observer, clock, result);
    result.listen.portsTaken = ports.Taken();
    if (listen.bListen)
        Listen(request, result, observer, listener, sent, sink);
    return result;
}

bool CountWrongChecksums(
    const SReplayRequest& request, const std::atomic<bool>& bStop, uint64_t& uWrong)
{
    uWrong = 0;
    CRecordSelection sorted;
    if (request.eMode == EReplayMode::Selection) {
        sorted = request.selection;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    }
    bool bDone = true;
    const bool bRead
        = ForEachChosen(request, request.eMode == EReplayMode::Selection ? &sorted : nullptr,
            [&](const u_char* pData, uint32_t uLength, bool bEthernet) {
                if (bStop.load(std::memory_order_relaxed)) {
                    bDone = false;
                    return false;
                }
                if (bEthernet
                    && frame::HasWrongChecksums(pData, uLength, frame::LocateFrame(pData, uLength)))
                    ++uWrong;
                return true;
            });
    return bDone && bRead;
}

SReplayResult Replay(const SReplayRequest& request, IPacketSink& sink, IReplayObserver& observer)
{
    CMonotonicClock clock;
    return Replay(request, sink, observer, clock);
}
SReplayResult Replay(const SReplayRequest& request, IReplayObserver& observer)
{
    CSocketSink sink;
    return Replay(request, sink, observer);
}

} // namespace velmora
