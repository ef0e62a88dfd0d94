#include "replay/Replay.h"

#include "log/Log.h"
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

    constexpr size_t kCaptureStreamBuffer = 64 * 1024;
    // Our reader's: large enough to keep the batches full between two reads
    // (and no larger: the frames are sent from it while it is still in the
    // cache); single mode reads no further than it must, and a timed Send
    // little at a time, so that a read never holds a frame back.
    constexpr size_t kSendReadBuffer = 512 * 1024;
    constexpr size_t kPacedReadBuffer = 64 * 1024;
    constexpr uint32_t kShortestFrame = 6;

    void ShowCount(IReplayObserver& observer, int iCount)
    {
        SReplayCounts counts;
        counts.iHandled = iCount;
        observer.OnProgress(counts);
    }

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
    // aim the frames go straight from the reader's buffer, as always.
    class CFrameAimer {
    public:
        CFrameAimer(const SAimPlan* pPlan, bool bEthernet)
            : m_pPlan(pPlan && pPlan->Active() ? pPlan : nullptr)
            , m_bEthernet(bEthernet)
        {
            if (m_pPlan)
                m_buffer.resize(kSendBufferSize);
        }

        // The bytes to send for one record of uLength bytes (at most the send
        // buffer's size), and what the aim did with them.
        const u_char* Aim(const u_char* pData, uint32_t& uLength, EAimOutcome& eOutcome)
        {
            eOutcome = EAimOutcome::Unchanged;
            if (!m_pPlan || !pData)
                return pData;
            if (!m_bEthernet) {
                eOutcome = EAimOutcome::NotEthernet;
            } else {
                std::memcpy(m_buffer.data(), pData, uLength);
                eOutcome = AimFrame(*m_pPlan, m_buffer.data(), uLength, kSendBufferSize);
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
        std::vector<u_char> m_buffer;
        int m_iNotAimed = 0;
    };

    // The requests a listening Send put on the wire, each with its place
    // among the frames whose send time the sink was asked for. A capture of
    // nothing but requests keeps every frame: their bytes go into blocks of a
    // megabyte, never moved once written.
    class CSentLog {
    public:
        // A frame about to be handed to the sink; kept when it asks, and
        // then its send time is wanted (true).
        bool Candidate(long lIndex, const u_char* pData, uint32_t uLength)
        {
            if (judge::ClassifyRequest(pData, uLength) == judge::ERequestKind::Skipped)
                return false;
            if (m_blocks.empty() || m_blocks.back().size() + uLength > kBlock) {
                m_blocks.emplace_back();
                m_blocks.back().reserve(std::max<size_t>(kBlock, uLength));
            }
            std::vector<uint8_t>& b = m_blocks.back();
            m_kept.push_back(
                { static_cast<uint64_t>(lIndex), static_cast<uint32_t>(m_blocks.size() - 1),
                    static_cast<uint32_t>(b.size()), uLength, false });
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
        std::vector<judge::SJudgedFrame> Requests(const std::vector<int64_t>& times,
            const std::vector<int64_t>& earliest, size_t& nMissing) const
        {
            nMissing = 0;
            std::vector<judge::SJudgedFrame> requests;
            for (size_t i = 0; i < m_nHanded; ++i) {
                const SKept& k = m_kept[i];
                if (!k.bOnWire)
                    continue;
                const uint8_t* p = m_blocks[k.uBlock].data() + k.uOffset;
                requests.push_back({ k.uRecord, i < times.size() ? times[i] : 0,
                    { p, p + k.uLength }, i < earliest.size() ? earliest[i] : 0 });
                nMissing += requests.back().llNs == 0 ? 1 : 0;
            }
            return requests;
        }

    private:
        static constexpr size_t kBlock = 1 << 20;
        struct SKept {
            uint64_t uRecord;
            uint32_t uBlock;
            uint32_t uOffset;
            uint32_t uLength;
            bool bOnWire;
        };
        std::vector<std::vector<uint8_t>> m_blocks;
        std::vector<SKept> m_kept; // in the order handed, which is the order of the send times
        size_t m_nHanded = 0;
    };

    // All mode hands frames to the sink in batches. A batch's debug records are
    // made once the kernel has taken or refused its frames, each refused frame's
    // record right after its packet's, and reach the file in one write before the
    // next record is read. A sink without batches gets every frame alone, as in
    // single mode.
    class CBatchSender {
    public:
        CBatchSender(IPacketSink& sink, CSentLog* pSent)
            : m_sink(sink)
            , m_pSent(pSent)
        {
            m_records.reserve(kMaxRecords);
        }
        CBatchSender(const CBatchSender&) = delete;
        CBatchSender& operator=(const CBatchSender&) = delete;

        // pData: the record's bytes as they go out (the reader's, or the aim's
        // copy); eAim: what the aim did, for the debug record.
        // bInPlace: pData stays valid until the next Drain, and is staged
        // without a copy.
        void Add(long lIndex, const pcap_pkthdr& header, const u_char* pData,
            EAimOutcome eAim = EAimOutcome::Unchanged, bool bInPlace = false)
        {
            // The reader stores both time stamp fields as signed 32-bit values.
            // Straight from the reader's buffer: the bytes are the same as after a
            // copy into the send buffer, and a longer record is cut to it.
            SRecord record { lIndex, static_cast<int32_t>(header.ts.tv_sec),
                static_cast<int32_t>(header.ts.tv_usec), static_cast<long>(header.len),
                header.caplen < kSendBufferSize ? header.caplen : kSendBufferSize, -1, eAim };
            if (m_sink.IsOpen() && pData && record.uLength >= kShortestFrame) {
                if (m_pSent && m_pSent->Candidate(lIndex, pData, record.uLength))
                    m_sink.StampNext();
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

    // Reads the records and sends the chosen ones (by mode and offset, or the
    // sorted pSelection when there is one); gives the packet count and counts the
    // refused ones into result.
    // With pSent, the requests that went out (as aimed) are kept there; with
    // bRequestsOnly, the records that do not ask are read and counted, not sent.
    int SendRecords(IReplayObserver& observer, CLocalCapture& capture, bool bAll, int iOffset,
        const CRecordSelection* pSelection, const SAimPlan& plan, IPacketSink& sink,
        SReplayResult& result, CSentLog* pSent, bool bRequestsOnly)
    {
        CFrameAimer aimer(&plan, capture.DataLink() == DLT_EN10MB);
        const int iMode = bAll ? 1 : 0;
        using Clock = CCoarseClock;
        // One open descriptor for the per-packet records instead of an open and close each.
        CDebugLogHold hold;
        std::optional<CBatchSender> batch;
        if (iMode == 1)
            batch.emplace(sink, pSent);
        // Records staged where the reader holds them go out before it reads on.
        CRefillGuard refill(capture, batch ? &*batch : nullptr);
        long lIndex = 0;
        int iCount = 0;
        unsigned uHandled = 0;
        // The first packet shows at once, then the status follows the display's pace.
        Clock::time_point nextShow = Clock::time_point::min();
        const std::chrono::milliseconds interval
            = std::max(observer.ProgressInterval(), std::chrono::milliseconds::zero());
        const bool bEveryPacket = interval.count() == 0;
        bool bShowPending = false;
        bool bStopped = false;
        size_t nNextChosen = 0; // in *pSelection
        for (;;) {
            if (pSelection && nNextChosen == pSelection->size())
                break;
            const pcap_pkthdr* pHeader = nullptr;
            const u_char* pData = nullptr;
            if (capture.Next(pHeader, pData) < 0)
                break;
            ++result.llRecordsRead;
            const bool bChosen = pSelection
                ? (*pSelection)[nNextChosen] == static_cast<uint64_t>(lIndex)
                : iMode == 1 || lIndex == iOffset;
            if (!bChosen) {
                // A single record before this one (a negative offset) is none at all.
                if (!pSelection && iMode != 1 && lIndex > iOffset)
                    break;
                // Read past: before the offset, or left out of the selection.
                ++lIndex;
                continue;
            }
            if (pSelection)
                ++nNextChosen;
            uint32_t uLength
                = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
            const bool bSkip = bRequestsOnly
                && judge::ClassifyRequest(pData, uLength) == judge::ERequestKind::Skipped;
            EAimOutcome eAim = EAimOutcome::Unchanged;
            const u_char* const pOut = bSkip ? pData : aimer.Aim(pData, uLength, eAim);
            if (bSkip) {
                ++result.listen.llSkipped;
            } else if (batch) {
                batch->Add(lIndex, { pHeader->ts, uLength, pHeader->len }, pOut, eAim,
                    capture.InPlace() && pOut == pData);
            } else {
                if (g_bDebug) {
                    LogPacketRecord(lIndex, static_cast<int32_t>(pHeader->ts.tv_sec),
                        static_cast<int32_t>(pHeader->ts.tv_usec), static_cast<long>(pHeader->len));
                    if (IsNotAimed(eAim))
                        LogNotAimed(lIndex, eAim);
                }
                const bool bHanded = sink.IsOpen() && pOut && uLength >= kShortestFrame;
                if (pSent && bHanded && pSent->Candidate(lIndex, pOut, uLength))
                    sink.StampNext();
                const bool bOnWire = SendPacket(sink, pOut, uLength);
                if (!bOnWire) {
                    ++result.iRefused;
                    if (uLength >= kShortestFrame)
                        ++result.iFailed;
                }
                if (pSent && bHanded)
                    pSent->Handed(lIndex, bOnWire);
                iCount = 1;
            }
            // Even a coarse clock read is a few percent of a small frame's send:
            // look at it every 32nd packet (tens of microseconds apart).
            bShowPending = true;
            if (bEveryPacket || (++uHandled & 31) == 1) {
                const Clock::time_point now = Clock::now();
                if (now >= nextShow) {
                    // The status shows only frames the kernel has dealt with.
                    if (batch) {
                        batch->Drain();
                        iCount = batch->Count();
                    }
                    ShowCount(observer, iCount);
                    nextShow = now + interval;
                    bShowPending = false;
                    // Single mode has nothing left to send after its one record.
                    if (iMode == 1 && observer.StopRequested()) {
                        bStopped = true;
                        break;
                    }
                }
            }
            // Single mode ends with its one record: nothing after it is read.
            if (!pSelection && iMode != 1)
                break;
            ++lIndex;
        }
        if (batch) {
            batch->Drain();
            iCount = batch->Count();
            result.iRefused = batch->Refused();
            result.iFailed = batch->Failed();
        }
        // The status always ends on the exact count.
        if (bShowPending)
            ShowCount(observer, iCount);
        if (bStopped)
            DebugLog("Replay stopped by the user after %d packets", iCount);
        result.bStopped = bStopped;
        result.iNotAimed = aimer.NotAimed();
        return iCount;
    }

} // namespace

CLocalCapture::CLocalCapture(pcap* hCapture, std::unique_ptr<char[]> pStreamBuffer)
    : m_hCapture(hCapture)
    , m_pStreamBuffer(std::move(pStreamBuffer))
{
}

CLocalCapture::CLocalCapture(std::unique_ptr<CPcapReader> pReader)
    : m_pReader(std::move(pReader))
    , m_pHeader(std::make_unique<pcap_pkthdr>())
{
}

CLocalCapture::~CLocalCapture()
{
    if (m_hCapture)
        pcap_close(m_hCapture); // closes the stream, which used m_pStreamBuffer
}

int CLocalCapture::Next(const pcap_pkthdr*& pHeader, const unsigned char*& pData)
{
    if (!m_pReader) {
        pcap_pkthdr* pLibpcapHeader = nullptr;
        const int i = pcap_next_ex(m_hCapture, &pLibpcapHeader, &pData);
        pHeader = pLibpcapHeader;
        return i;
    }
    SCaptureRecord record;
    const int i = m_pReader->Next(record);
    if (i != CPcapReader::kRecord)
        return i;
    m_pHeader->ts.tv_sec = static_cast<time_t>(record.llSec);
    m_pHeader->ts.tv_usec = static_cast<suseconds_t>(record.llFraction);
    m_pHeader->caplen = record.uCaptured;
    m_pHeader->len = record.uWire;
    pHeader = m_pHeader.get();
    pData = record.pData;
    return 1;
}

int CLocalCapture::DataLink() const
{
    return m_pReader ? DLT_EN10MB : pcap_datalink(m_hCapture);
}

void CLocalCapture::SetBeforeRefill(std::function<void()> beforeRefill)
{
    if (m_pReader)
        m_pReader->SetBeforeRefill(std::move(beforeRefill));
}

bool OpenSendDevice(IPacketSink& sink, const std::string& csSelectedDeviceName)
{
    std::string csError;
    if (sink.Open(csSelectedDeviceName, csError))
        return true;
    DebugLog("Err #849. pcap_open() csSelectedDeviceName=[%s] errbuf=[%s] ",
        csSelectedDeviceName.c_str(), csError.c_str());
    return false;
}

namespace {

    // The capture through our reader (reading uBufferBytes at a time) or as a
    // stream with our own buffer for libpcap; time stamps in nanoseconds when
    // bNano (either kind of file is scaled). Nothing on failure.
    std::unique_ptr<CLocalCapture> OpenCaptureStream(
        const std::string& csPath, bool bNano, size_t uBufferBytes)
    {
        pcap_t* hCapture = nullptr;
        std::unique_ptr<char[]> pBuffer;
        // Non-blocking so that a FIFO or a device cannot hold the window; only a
        // regular file can be a capture.
        int fd = ::open(csPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st { };
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            const int iFlags = ::fcntl(fd, F_GETFL);
            if (iFlags != -1)
                ::fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK);
            if (std::unique_ptr<CPcapReader> pReader = CPcapReader::Open(fd, bNano, uBufferBytes))
                return std::make_unique<CLocalCapture>(std::move(pReader));
            if (FILE* pFile = ::fdopen(fd, "rb")) {
                fd = -1; // the stream owns it now
                // glibc's default 4 KiB costs one read per big record.
                pBuffer = std::make_unique<char[]>(kCaptureStreamBuffer);
                std::setvbuf(pFile, pBuffer.get(), _IOFBF, kCaptureStreamBuffer);
                char szErrBuf[PCAP_ERRBUF_SIZE] = "";
                hCapture = pcap_fopen_offline_with_tstamp_precision(pFile,
                    bNano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO, szErrBuf);
                if (!hCapture)
                    std::fclose(pFile);
            }
        }
        if (fd >= 0)
            ::close(fd);
        if (!hCapture)
            return nullptr;
        return std::make_unique<CLocalCapture>(hCapture, std::move(pBuffer));
    }

} // namespace

std::unique_ptr<CLocalCapture> OpenCaptureFile(const std::string& csPath, bool bWhole)
{
    DebugLog("OpenLocalDevice File=[%s]", csPath.c_str());
    std::unique_ptr<CLocalCapture> pCapture
        = OpenCaptureStream(csPath, false, bWhole ? kSendReadBuffer : kCaptureStreamBuffer);
    if (!pCapture)
        DebugLog("Error. Unable to open the file %s.", csPath.c_str());
    return pCapture;
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

    // After the last frame: hears on for the wait (unless stopped), then
    // pairs and judges what came.
    void Listen(const SReplayRequest& request, SReplayResult& result, IReplayObserver& observer,
        CListener& listener, CSentLog& sent, IPacketSink& sink)
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + request.listen.wait;
        const std::chrono::milliseconds interval
            = std::max(observer.ProgressInterval(), std::chrono::milliseconds(kStatusIntervalMs));
        bool bStopped = result.bStopped;
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
        SListenResult& out = result.listen;
        out.heard = listener.Stop();
        std::vector<int64_t> times;
        std::vector<int64_t> earliest;
        sink.TakeSendTimes(times, earliest);
        out.requests = sent.Requests(times, earliest, out.nUnstamped);
        std::vector<judge::SJudgedFrame> heard;
        heard.reserve(out.heard.size());
        for (const SHeardFrame& f : out.heard)
            heard.push_back({ 0, f.llNs, f.bytes });
        std::vector<judge::SJudgedFrame> capture;
        std::string csError;
        const bool bCapture = request.listen.bExpectCaptured
            && ReadCaptureForJudging(request.csPath, capture, csError);
        out.judgement
            = judge::Judge(out.requests, heard, bCapture ? &capture : nullptr, request.aim.devices);
        DebugLog("Listened: %d requests, %d frames heard", static_cast<int>(out.requests.size()),
            static_cast<int>(out.heard.size()));
    }

    // A timed Send (request.pace other than the default) in All or Selection
    // mode: rounds of the chosen records, each read afresh from the file with
    // nanosecond time stamps, every frame handed over when the scheduler says
    // it is due: at once when it came on time, before the next record is read.
    // When the Send is behind, frames already due wait in the batch until the
    // next wait begins (or the batch is full), so it catches up in batches.
    // The debug record of each packet is the same as for an untimed Send.
    int SendPaced(IReplayObserver& observer, const std::string& csPath,
        const CRecordSelection* pSelection, const SPaceOptions& pace, const SAimPlan& plan,
        IPacketSink& sink, SReplayResult& result, CSentLog* pSent, bool bRequestsOnly)
    {
        using Clock = CCoarseClock;
        CDebugLogHold hold;
        CBatchSender batch(sink, pSent);
        CMonotonicClock clock;
        CPaceRun run(pace, clock);
        run.SetBeforeWait([&batch] { batch.Drain(); });
        const std::chrono::milliseconds interval
            = std::max(observer.ProgressInterval(), std::chrono::milliseconds::zero());
        Clock::time_point nextShow = Clock::time_point::min();
        bool bShowPending = false;
        bool bStopped = false;
        auto show = [&](const SPaceWait* pWait) {
            batch.Drain();
            SReplayCounts counts;
            counts.iHandled = batch.Count();
            counts.llRound = pWait ? pWait->llRound : run.Round();
            if (pWait && pWait->bCountdown) {
                counts.llWaitLeftMs = pWait->llLeftNs / 1'000'000;
                counts.bPause = pWait->bPause;
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
        EPaceStep eStep = EPaceStep::Go;
        while (!bStopped && (eStep = run.BeginRound(poll)) == EPaceStep::Go) {
            std::unique_ptr<CLocalCapture> pCapture
                = OpenCaptureStream(csPath, true, kPacedReadBuffer);
            if (!pCapture) {
                DebugLog("Error. Unable to open the file %s for round %lld.", csPath.c_str(),
                    static_cast<long long>(run.Round()));
                break;
            }
            CFrameAimer aimer(&plan, pCapture->DataLink() == DLT_EN10MB);
            CRefillGuard refill(*pCapture, &batch);
            long lIndex = 0;
            size_t nNextChosen = 0;
            for (;;) {
                if (pSelection && nNextChosen == pSelection->size())
                    break;
                const pcap_pkthdr* pHeader = nullptr;
                const u_char* pData = nullptr;
                if (pCapture->Next(pHeader, pData) < 0)
                    break;
                ++result.llRecordsRead;
                if (pSelection && (*pSelection)[nNextChosen] != static_cast<uint64_t>(lIndex)) {
                    ++lIndex;
                    continue;
                }
                if (pSelection)
                    ++nNextChosen;
                uint32_t uLength
                    = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
                // Records that do not ask are read and counted, and take no time.
                if (bRequestsOnly
                    && judge::ClassifyRequest(pData, uLength) == judge::ERequestKind::Skipped) {
                    ++result.listen.llSkipped;
                    ++lIndex;
                    continue;
                }
                eStep = run.Next(
                    StampNs(pHeader->ts.tv_sec, pHeader->ts.tv_usec, true), uLength, poll);
                if (eStep != EPaceStep::Go)
                    break;
                if (run.LastWasBackwards())
                    DebugLog("Record %ld goes back in time: sent at once", lIndex);
                // The packet's record gives microseconds, as libpcap scales them.
                pcap_pkthdr header = *pHeader;
                header.ts.tv_usec /= 1000;
                EAimOutcome eAim = EAimOutcome::Unchanged;
                const u_char* const pOut = aimer.Aim(pData, uLength, eAim);
                header.caplen = uLength;
                batch.Add(lIndex, header, pOut, eAim, pCapture->InPlace() && pOut == pData);
                if (run.RecordsInRound() == 1 && pace.Paced()) {
                    const int64_t llHanded = clock.Now();
                    batch.Drain();
                    run.FirstSent(llHanded);
                } else if (run.SendNow()) {
                    batch.Drain();
                }
                bShowPending = true;
                if (Clock::now() >= nextShow) {
                    show(nullptr);
                    if (observer.StopRequested()) {
                        bStopped = true;
                        break;
                    }
                }
                ++lIndex;
            }
            // Each round's frames the aim sent as captured count again.
            result.iNotAimed = aimer.NotAimed() > INT_MAX - result.iNotAimed
                ? INT_MAX
                : result.iNotAimed + aimer.NotAimed();
            if (eStep != EPaceStep::Go)
                break;
        }
        batch.Drain();
        const int iCount = batch.Count();
        result.iRefused = batch.Refused();
        result.iFailed = batch.Failed();
        result.llRounds = run.Round();
        result.llRoundFrames = run.RecordsInRound();
        if (eStep == EPaceStep::Stopped)
            bStopped = true;
        result.bTimeUp = eStep == EPaceStep::TimeUp;
        result.bStopped = bStopped || result.bTimeUp;
        if (bShowPending || result.bStopped)
            show(nullptr);
        if (bStopped)
            DebugLog("Replay stopped by the user after %d packets (round %lld, frame %lld)", iCount,
                static_cast<long long>(result.llRounds),
                static_cast<long long>(result.llRoundFrames));
        else if (result.bTimeUp)
            DebugLog("Replay stopped after its duration (%g s) after %d packets (round %lld, "
                     "frame %lld)",
                pace.dDurationSeconds, iCount, static_cast<long long>(result.llRounds),
                static_cast<long long>(result.llRoundFrames));
        return iCount;
    }

} // namespace

SReplayResult Replay(const SReplayRequest& request, IPacketSink& sink, IReplayObserver& observer)
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
    }
    std::unique_ptr<CLocalCapture> pCapture
        = OpenCaptureFile(csPath, request.eMode != EReplayMode::Single);
    if (!pCapture) {
        result.eNotSent
            = ::access(csPath.c_str(), R_OK) != 0 ? ENotSent::NoAccess : ENotSent::NotCapture;
        DebugLog("Error. Could not open local device");
        return result;
    }
    CRecordSelection sorted;
    if (request.eMode == EReplayMode::Selection) {
        sorted = request.selection;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    }
    const SListenOptions& listen = request.listen;
    CListener listener;
    CSentLog sent;
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
    if (request.eMode != EReplayMode::Single && !request.pace.IsDefault()) {
        pCapture.reset(); // each round opens the file afresh
        result.iCount = SendPaced(observer, csPath,
            request.eMode == EReplayMode::Selection ? &sorted : nullptr, request.pace, plan, sink,
            result, listen.bListen ? &sent : nullptr, listen.bRequestsOnly);
        if (listen.bListen)
            Listen(request, result, observer, listener, sent, sink);
        return result;
    }
    result.iCount = SendRecords(observer, *pCapture, request.eMode != EReplayMode::Single,
        request.iOffset, request.eMode == EReplayMode::Selection ? &sorted : nullptr, plan, sink,
        result, listen.bListen ? &sent : nullptr, listen.bRequestsOnly);
    if (listen.bListen)
        Listen(request, result, observer, listener, sent, sink);
    return result;
}

SReplayResult Replay(const SReplayRequest& request, IReplayObserver& observer)
{
    CSocketSink sink;
    return Replay(request, sink, observer);
}

} // namespace velmora
