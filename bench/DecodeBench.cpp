// The packet list's benchmark: a capture of 1,000,000 records of 60-byte
// BACnet/Ethernet frames, indexed in a worker thread as the Packets window
// does. Prints figures; nothing here passes or fails.
//   velmora-decode-bench [--records N] [--keep PATH]

#include "decode/CaptureIndex.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

bool WriteCapture(const std::string& csPath, uint64_t uRecords)
{
    const auto frames = MakeBacnetSampleFrames(); // four frames, 60 bytes each
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
    vdecode::CCaptureIndex index;
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
    while (index.Count() < kScreenRows && index.State() == vdecode::CCaptureIndex::EState::Reading)
        std::this_thread::yield();
    std::vector<vdecode::SRow> screen;
    for (uint64_t i = 0; i < kScreenRows && i < index.Count(); ++i)
        screen.push_back(vdecode::DecodeRecord(index, i));
    run.dFirstScreen = Seconds(Clock::now() - t0);
    worker.join();
    run.dIndexed = Seconds(tDone - t0);
    run.uRecords = index.Count();
    run.dBytesPerRecord
        = static_cast<double>(index.IndexBytes()) / static_cast<double>(run.uRecords);

    const auto t1 = Clock::now();
    screen.clear();
    for (uint64_t i = run.uRecords - kScreenRows; i < run.uRecords; ++i)
        screen.push_back(vdecode::DecodeRecord(index, i));
    run.dLastScreen = Seconds(Clock::now() - t1);
    run.uDecoded = screen.size();
    if (index.State() != vdecode::CCaptureIndex::EState::Done || screen.back().bMalformed) {
        std::fprintf(stderr, "decode-bench: index %s, last row \"%s\"\n", index.Error().c_str(),
            screen.back().csInfo.c_str());
        std::exit(1);
    }
    return run;
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
    const std::string csPath = csKeep.empty() ? (std::filesystem::temp_directory_path()
                                   / ("velmora-decode-bench-" + std::to_string(getpid()) + ".pcap"))
                                                    .string()
                                              : csKeep;
    std::printf("Writing %llu records of 60-byte BACnet/Ethernet frames to %s\n",
        static_cast<unsigned long long>(uRecords), csPath.c_str());
    if (!WriteCapture(csPath, uRecords)) {
        std::fprintf(stderr, "decode-bench: cannot write %s\n", csPath.c_str());
        return 1;
    }
    const long lRssBefore = PeakRssKb();

    std::vector<double> first, total, last;
    SRun run {};
    for (int i = 0; i < kRepeats; ++i) {
        run = OneRun(csPath);
        first.push_back(run.dFirstScreen);
        total.push_back(run.dIndexed);
        last.push_back(run.dLastScreen);
    }

    // What a filter over every row costs, and where its time goes: reading
    // each record, decoding it, matching its columns.
    vdecode::CCaptureIndex index;
    index.Open(csPath);
    index.Step(~size_t { 0 });
    const uint64_t uCount = index.Count();
    vdecode::SRecord rec;
    auto t = Clock::now();
    for (uint64_t i = 0; i < uCount; ++i)
        index.Read(i, rec);
    const double dRead = Seconds(Clock::now() - t);
    t = Clock::now();
    uint64_t uMalformed = 0;
    for (uint64_t i = 0; i < uCount; ++i)
        uMalformed += vdecode::DecodeRecord(index, i).bMalformed;
    const double dDecode = Seconds(Clock::now() - t);
    const vdecode::CRowFilter filter("readProperty-ACK");
    t = Clock::now();
    uint64_t uMatches = 0;
    for (uint64_t i = 0; i < uCount; ++i)
        uMatches += filter.Matches(vdecode::DecodeRecord(index, i));
    const double dFilter = Seconds(Clock::now() - t);
    const double dMatch = dFilter > dDecode ? dFilter - dDecode : 0;
    if (uMalformed) {
        std::fprintf(stderr, "decode-bench: %llu malformed rows\n",
            static_cast<unsigned long long>(uMalformed));
        return 1;
    }

    std::printf("Records indexed:                          %llu\n",
        static_cast<unsigned long long>(run.uRecords));
    std::printf("First screenful (%llu rows) decoded after:   %.4f s  (target <= 0.5 s)\n",
        static_cast<unsigned long long>(kScreenRows), Median(first));
    std::printf("Whole file indexed after:                  %.3f s\n", Median(total));
    std::printf(
        "Index bytes per record:                    %.2f  (target <= 16)\n", run.dBytesPerRecord);
    std::printf("Last screenful decoded (%llu rows only):   %.6f s\n",
        static_cast<unsigned long long>(run.uDecoded), Median(last));
    const double dPerRow = 1e6 / static_cast<double>(uCount);
    std::printf("Filter over every row (%llu matches):   %.3f s  (%.2f us a row: read %.2f, "
                "read+decode %.2f, match %.2f)\n",
        static_cast<unsigned long long>(uMatches), dFilter, dFilter * dPerRow, dRead * dPerRow,
        dDecode * dPerRow, dMatch * dPerRow);
    std::printf("Peak RSS: %ld KiB after writing, %ld KiB after indexing and decoding\n",
        lRssBefore, PeakRssKb());
    std::printf(
        "(medians of %d runs; the capture sits in the page cache after writing)\n", kRepeats);
    if (csKeep.empty())
        std::remove(csPath.c_str());
    return 0;
}
