// The packet list's benchmark: a capture of 1,000,000 records of 60-byte
// BACnet/Ethernet frames, stored as pcap and as pcapng, each indexed in a
// worker thread as the Packets window does, and filtered as its filter does.
// Prints the two side by side; nothing here passes or fails.
//   velmora-decode-bench [--records N] [--keep PATH]

#include "capture/IndexRows.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "decode/Segments.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;

namespace {

using Clock = std::chrono::steady_clock;

// Rows a packet list shows at once.
constexpr uint64_t kScreenRows = 40;
constexpr int kRepeats = 5;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long PeakRssKb()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

bool WriteCapture(const std::string& csPath, uint64_t uRecords, bool bPcapng)
{
    const auto frames = MakeBacnetSampleFrames(); // four frames, 60 bytes each
    if (bPcapng) {
        CPcapngWriter writer;
        if (!writer.Open(csPath))
            return false;
        writer.Section();
        writer.Interface(1, 65535);
        for (uint64_t i = 0; i < uRecords; ++i)
            writer.Enhanced(0, frames[i % frames.size()], 1154683953000000ULL + i);
        return writer.Close();
    }
    CCaptureWriter writer;
    bool bOk = writer.Open(csPath, 65535);
    for (uint64_t i = 0; bOk && i < uRecords; ++i)
        bOk = writer.Write(frames[i % frames.size()],
            static_cast<uint32_t>(1154683953 + i / 1000000), static_cast<uint32_t>(i % 1000000));
    return writer.Close() && bOk;
}

struct SRun {
    double dFirstScreen; // open to the first screenful decoded
    double dIndexed; // open to the whole file indexed
    double dLastScreen; // decoding the last screenful only
    double dBytesPerRecord;
    uint64_t uRecords;
    uint64_t uDecoded; // rows decoded for the last screenful
};

SRun OneRun(const std::string& csPath)
{
    SRun run {};
    const auto t0 = Clock::now();
    dissect::CCaptureIndex index;
    if (!index.Open(csPath)) {
        std::fprintf(stderr, "decode-bench: %s\n", index.Error().c_str());
        std::exit(1);
    }
    std::atomic<bool> bStop { false };
    Clock::time_point tDone;
    std::thread worker([&] {
        index.Run(bStop);
        tDone = Clock::now();
    });
    // The window's side: wait for a screenful, decode it.
    while (index.Count() < kScreenRows && index.State() == dissect::CCaptureIndex::EState::Reading)
        std::this_thread::yield();
    std::vector<dissect::SRow> screen;
    for (uint64_t i = 0; i < kScreenRows && i < index.Count(); ++i)
        screen.push_back(dissect::DecodeRecord(index, i));
    run.dFirstScreen = Seconds(Clock::now() - t0);
    worker.join();
    run.dIndexed = Seconds(tDone - t0);
    run.uRecords = index.Count();
    run.dBytesPerRecord
        = static_cast<double>(index.IndexBytes()) / static_cast<double>(run.uRecords);

    const auto t1 = Clock::now();
    screen.clear();
    for (uint64_t i = run.uRecords - kScreenRows; i < run.uRecords; ++i)
        screen.push_back(dissect::DecodeRecord(index, i));
    run.dLastScreen = Seconds(Clock::now() - t1);
    run.uDecoded = screen.size();
    if (index.State() != dissect::CCaptureIndex::EState::Done || screen.back().bMalformed) {
        std::fprintf(stderr, "decode-bench: index %s, last row \"%s\"\n", index.Error().c_str(),
            screen.back().csInfo.c_str());
        std::exit(1);
    }
    return run;
}

// Indexing as the Packets window does it: the reading thread also adds each
// record to the segment assembler, and rows show as far as it has seen.
double AssembledIndexRun(const std::string& csPath)
{
    const auto t0 = Clock::now();
    dissect::CCaptureIndex index;
    index.Open(csPath);
    dissect::CSegmentAssembler assembler;
    dissect::CCaptureIndex::SReadWindow window;
    uint64_t uAdded = 0;
    auto Assemble = [&](uint64_t uTo) {
        while (uAdded < uTo)
            uAdded
                = std::max(uAdded + 1, dissect::AddRecords(assembler, index, uAdded, uTo, window));
    };
    std::atomic<bool> bStop { false };
    index.Run(bStop, [&](uint64_t uRecords, uint64_t, uint64_t) { Assemble(uRecords); });
    Assemble(index.Count());
    assembler.Finish();
    return Seconds(Clock::now() - t0);
}

// Where a filter's time goes: reading each record (one read a record, as the
// list does, or through a window, as the filter does), decoding it, and the
// whole filter as the window runs it.
struct SFilterRun {
    double dRead, dReadWindow, dDecode, dFilter, dFilterCpu, dFilterThreads;
    // The same filter through a segment assembler that has seen every record.
    double dAsmFilter, dAsmFilterCpu, dAsmFilterThreads;
    uint64_t uMatches, uMalformed;
};

double ThreadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

SFilterRun FilterRun(const std::string& csPath, const char* szFilter, unsigned nThreads)
{
    SFilterRun f {};
    dissect::CCaptureIndex index;
    index.Open(csPath);
    index.Step(~size_t { 0 });
    const uint64_t uCount = index.Count();
    dissect::SRecord rec;
    auto t = Clock::now();
    for (uint64_t i = 0; i < uCount; ++i)
        index.Read(i, rec);
    f.dRead = Seconds(Clock::now() - t);
    dissect::CCaptureIndex::SReadWindow window;
    t = Clock::now();
    for (uint64_t i = 0; i < uCount; ++i)
        index.Read(i, rec, window);
    f.dReadWindow = Seconds(Clock::now() - t);
    t = Clock::now();
    for (uint64_t i = 0; i < uCount; ++i)
        f.uMalformed += dissect::DecodeRecord(index, i, window).bMalformed;
    f.dDecode = Seconds(Clock::now() - t);
    // As the window runs it: batches of 16,384, one thread, then every core.
    const dissect::CRowFilter filter(szFilter);
    std::vector<uint64_t> found;
    for (unsigned n : { 1u, nThreads }) {
        found.clear();
        t = Clock::now();
        const double dCpu = ThreadCpuSeconds();
        for (uint64_t u = 0; u < uCount; u += 16384)
            dissect::FindMatches(index, filter, u, std::min(uCount, u + 16384), found, n);
        (n == 1 ? f.dFilter : f.dFilterThreads) = Seconds(Clock::now() - t);
        if (n == 1)
            f.dFilterCpu = ThreadCpuSeconds() - dCpu;
    }
    f.uMatches = found.size();
    dissect::CSegmentAssembler assembler;
    dissect::CCaptureIndex::SReadWindow asmWindow;
    dissect::AddRecords(assembler, index, 0, uCount, asmWindow);
    assembler.Finish();
    for (unsigned n : { 1u, nThreads }) {
        found.clear();
        t = Clock::now();
        const double dCpu = ThreadCpuSeconds();
        for (uint64_t u = 0; u < uCount; u += 16384)
            dissect::FindMatches(
                index, filter, u, std::min(uCount, u + 16384), found, n, &assembler);
        (n == 1 ? f.dAsmFilter : f.dAsmFilterThreads) = Seconds(Clock::now() - t);
        if (n == 1)
            f.dAsmFilterCpu = ThreadCpuSeconds() - dCpu;
    }
    if (found.size() != f.uMatches) {
        std::fprintf(stderr, "decode-bench: %zu matches through the assembler, %llu without\n",
            found.size(), static_cast<unsigned long long>(f.uMatches));
        std::exit(1);
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t uRecords = 1000000;
    std::string csKeep;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
            uRecords = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc)
            csKeep = argv[++i];
        else {
            std::fprintf(stderr, "usage: velmora-decode-bench [--records N] [--keep PATH]\n");
            return 2;
        }
    }
    if (uRecords < kScreenRows)
        uRecords = kScreenRows;
    const std::string csBase = csKeep.empty() ? (std::filesystem::temp_directory_path()
                                   / ("velmora-decode-bench-" + std::to_string(getpid())))
                                                    .string()
                                              : csKeep;
    const std::string csPaths[2] = { csBase + ".pcap", csBase + ".pcapng" };
    std::printf("Writing %llu records of 60-byte BACnet/Ethernet frames to %s.pcap and .pcapng\n",
        static_cast<unsigned long long>(uRecords), csBase.c_str());
    for (int k = 0; k < 2; ++k) {
        if (!WriteCapture(csPaths[k], uRecords, k == 1)) {
            std::fprintf(stderr, "decode-bench: cannot write %s\n", csPaths[k].c_str());
            return 1;
        }
    }
    const long lRssBefore = PeakRssKb();
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);

    SRun runs[2] {};
    double dFirst[2], dTotal[2], dLast[2], dAssembled[2];
    SFilterRun filters[2] {}, misses[2] {};
    for (int k = 0; k < 2; ++k) {
        std::vector<double> first, total, last, assembled;
        for (int i = 0; i < kRepeats; ++i) {
            assembled.push_back(AssembledIndexRun(csPaths[k]));
            runs[k] = OneRun(csPaths[k]);
            first.push_back(runs[k].dFirstScreen);
            total.push_back(runs[k].dIndexed);
            last.push_back(runs[k].dLastScreen);
        }
        dFirst[k] = Median(first);
        dTotal[k] = Median(total);
        dLast[k] = Median(last);
        dAssembled[k] = Median(assembled);
        filters[k] = FilterRun(csPaths[k], "readProperty-ACK", nThreads);
        misses[k] = FilterRun(csPaths[k], "no such text", nThreads);
        if (filters[k].uMalformed) {
            std::fprintf(stderr, "decode-bench: %llu malformed rows\n",
                static_cast<unsigned long long>(filters[k].uMalformed));
            return 1;
        }
    }

    const double dPerRow = 1e6 / static_cast<double>(runs[0].uRecords);
    std::printf("%-48s %12s %12s\n", "", "pcap", "pcapng");
    std::printf("%-48s %12llu %12llu\n", "Records indexed",
        static_cast<unsigned long long>(runs[0].uRecords),
        static_cast<unsigned long long>(runs[1].uRecords));
    std::printf("%-48s %10.4f s %10.4f s  (target <= 0.5 s)\n", "First screenful (40 rows) after",
        dFirst[0], dFirst[1]);
    std::printf("%-48s %10.3f s %10.3f s\n", "Whole file indexed after", dTotal[0], dTotal[1]);
    std::printf("%-48s %10.3f s %10.3f s\n", "  indexed and every record assembled after",
        dAssembled[0], dAssembled[1]);
    std::printf("%-48s %12.2f %12.2f  (target <= 16)\n", "Index bytes per record",
        runs[0].dBytesPerRecord, runs[1].dBytesPerRecord);
    std::printf(
        "%-48s %10.6f s %10.6f s\n", "Last screenful decoded (40 rows only)", dLast[0], dLast[1]);
    std::printf("%-48s %9.2f us %9.2f us\n", "  read, one read a record",
        filters[0].dRead * dPerRow, filters[1].dRead * dPerRow);
    std::printf("%-48s %9.2f us %9.2f us\n", "  read through a window",
        filters[0].dReadWindow * dPerRow, filters[1].dReadWindow * dPerRow);
    std::printf("%-48s %9.2f us %9.2f us\n", "  read through a window and decode",
        filters[0].dDecode * dPerRow, filters[1].dDecode * dPerRow);
    for (const auto& [pRuns, szText] :
        { std::pair { filters, "readProperty-ACK" }, std::pair { misses, "no such text" } }) {
        char szLabel[64];
        std::snprintf(szLabel, sizeof szLabel, "Filter \"%s\" over every row", szText);
        std::printf("%-48s %10.3f s %10.3f s  (one thread; %llu matches)\n", szLabel,
            pRuns[0].dFilter, pRuns[1].dFilter, static_cast<unsigned long long>(pRuns[0].uMatches));
        std::printf("%-48s %10.3f s %10.3f s  (its CPU time)\n", "", pRuns[0].dFilterCpu,
            pRuns[1].dFilterCpu);
        std::printf("%-48s %10.3f s %10.3f s  (%u threads, as the window; target <= 1 s)\n", "",
            pRuns[0].dFilterThreads, pRuns[1].dFilterThreads, nThreads);
        std::printf("%-48s %10.3f s %10.3f s  (one thread)\n", "  the same through the assembler",
            pRuns[0].dAsmFilter, pRuns[1].dAsmFilter);
        std::printf("%-48s %10.3f s %10.3f s  (its CPU time)\n", "", pRuns[0].dAsmFilterCpu,
            pRuns[1].dAsmFilterCpu);
        std::printf("%-48s %10.3f s %10.3f s  (%u threads)\n", "", pRuns[0].dAsmFilterThreads,
            pRuns[1].dAsmFilterThreads, nThreads);
    }
    double dLoad[3] = {};
    if (getloadavg(dLoad, 3) > 0)
        std::printf("Load average at the end: %.2f (other work on this machine slows wall times)\n",
            dLoad[0]);
    std::printf("Peak RSS: %ld KiB after writing, %ld KiB after indexing and decoding\n",
        lRssBefore, PeakRssKb());
    std::printf(
        "(medians of %d runs; the captures sit in the page cache after writing)\n", kRepeats);
    if (csKeep.empty()) {
        std::remove(csPaths[0].c_str());
        std::remove(csPaths[1].c_str());
    }
    return 0;
}
