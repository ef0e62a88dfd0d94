// Our capture reader against libpcap's, file by file: what each reads, record
// for record, and which files ours leaves to libpcap.

#include "../../fuzz/capture_compare.h"
#include "capture/CaptureReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace velmora;

namespace {

using Bytes = std::vector<uint8_t>;

struct SFile {
    bool bBig = false; // written in the other byte order
    Bytes bytes;

    void U32(uint32_t u)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(bBig ? u >> (24 - 8 * i) : u >> (8 * i)));
    }
    void U16(uint16_t u)
    {
        for (int i = 0; i < 2; ++i)
            bytes.push_back(uint8_t(bBig ? u >> (8 - 8 * i) : u >> (8 * i)));
    }
};

SFile Header(uint32_t uMagic, uint16_t uMajor = 2, uint16_t uMinor = 4, uint32_t uSnap = 65535,
    uint32_t uLink = 1, bool bBig = false)
{
    SFile f;
    f.bBig = bBig;
    f.U32(uMagic);
    f.U16(uMajor);
    f.U16(uMinor);
    f.U32(0);
    f.U32(0);
    f.U32(uSnap);
    f.U32(uLink);
    return f;
}

// A record whose bytes count up from uSeed; uStored bytes follow the header.
SFile& Record(SFile& f, uint32_t uSec, uint32_t uFraction, uint32_t uCap, uint32_t uLen,
    uint32_t uStored, uint8_t uSeed = 0)
{
    f.U32(uSec);
    f.U32(uFraction);
    f.U32(uCap);
    f.U32(uLen);
    for (uint32_t i = 0; i < uStored; ++i)
        f.bytes.push_back(uint8_t(uSeed + i));
    return f;
}

SFile& Records(SFile& f, int iCount, uint32_t uLength)
{
    for (int i = 0; i < iCount; ++i)
        Record(f, 1700000000 + i, 999999 - i, uLength, uLength, uLength, uint8_t(i));
    return f;
}

Bytes WithRecords(SFile f, int iCount, uint32_t uLength)
{
    return Records(f, iCount, uLength).bytes;
}

constexpr uint32_t kMicro = 0xa1b2c3d4;
constexpr uint32_t kNano = 0xa1b23c4d;

TEST(CaptureReaderTest, ReadsWhatLibpcapReads)
{
    struct SRow {
        const char* szName;
        SFile file;
        size_t nRecords; // read alike
        int iLast; // -2 the end, -1 broken
    };
    auto make = [](SFile f, auto&& fill) {
        fill(f);
        return f;
    };
    const std::vector<SRow> rows {
        { "microseconds", make(Header(kMicro), [](SFile& f) { Records(f, 3, 60); }), 3, -2 },
        { "nanoseconds", make(Header(kNano), [](SFile& f) { Records(f, 3, 1514); }), 3, -2 },
        { "other byte order",
            make(Header(kMicro, 2, 4, 65535, 1, true),
                [](SFile& f) {
                    Records(f, 2, 60);
                    Record(f, 0xfffffff0, 0xffffff0c, 60, 60, 60); // unsigned when swapped
                }),
            3, -2 },
        { "other byte order, nanoseconds",
            make(Header(kNano, 2, 4, 65535, 1, true), [](SFile& f) { Records(f, 2, 60); }), 2, -2 },
        { "negative time stamps",
            make(Header(kNano), [](SFile& f) { Record(f, 0xffffffff, 0xfffffc18, 60, 60, 60); }), 1,
            -2 },
        { "no records", Header(kMicro), 0, -2 },
        { "version 2.3, lengths either way",
            make(Header(kMicro, 2, 3),
                [](SFile& f) {
                    Record(f, 1, 2, 60, 100, 60);
                    Record(f, 1, 2, 100, 60, 60);
                }),
            2, -2 },
        { "version 2.2, lengths swapped",
            make(Header(kMicro, 2, 2), [](SFile& f) { Record(f, 1, 2, 100, 60, 60); }), 1, -2 },
        { "version 543.0",
            make(Header(kMicro, 543, 0), [](SFile& f) { Record(f, 1, 2, 90, 60, 60); }), 1, -2 },
        { "longer than the snapshot: cut",
            make(Header(kMicro, 2, 4, 100),
                [](SFile& f) {
                    Record(f, 1, 2, 200, 200, 200);
                    Records(f, 1, 60);
                }),
            2, -2 },
        { "snapshot 0 is the longest",
            make(Header(kMicro, 2, 4, 0), [](SFile& f) { Record(f, 1, 2, 70000, 70000, 70000); }),
            1, -2 },
        { "snapshot past a signed int",
            make(Header(kMicro, 2, 4, 0x80000000u),
                [](SFile& f) { Record(f, 1, 2, 300, 300, 300); }),
            1, -2 },
        { "the longest record",
            make(
                Header(kMicro, 2, 4, 0), [](SFile& f) { Record(f, 1, 2, 262144, 262144, 262144); }),
            1, -2 },
        { "one byte longer: broken",
            make(Header(kMicro, 2, 4, 0),
                [](SFile& f) {
                    Records(f, 1, 60);
                    Record(f, 1, 2, 262145, 262145, 262145);
                }),
            1, -1 },
        { "record header cut",
            make(Header(kMicro),
                [](SFile& f) {
                    Records(f, 2, 60);
                    f.bytes.insert(f.bytes.end(), 7, 0);
                }),
            2, -1 },
        { "record cut",
            make(Header(kMicro),
                [](SFile& f) {
                    Records(f, 1, 60);
                    Record(f, 1, 2, 60, 60, 59);
                }),
            1, -1 },
        { "cut inside what the snapshot drops",
            make(Header(kMicro, 2, 4, 100), [](SFile& f) { Record(f, 1, 2, 200, 200, 150); }), 0,
            -1 },
        { "many records across reads", make(Header(kMicro), [](SFile& f) { Records(f, 40, 1514); }),
            40, -2 },
        // 24 + 16 + 4,056 bytes: the record ends on the first page's edge,
        // and the next one's header starts the next window.
        { "a record ending on a window's edge",
            make(Header(kMicro),
                [](SFile& f) {
                    Records(f, 1, 4056);
                    Records(f, 2, 60);
                }),
            3, -2 },
        { "the last record ends the file on a window's edge",
            make(Header(kMicro), [](SFile& f) { Records(f, 1, 4056); }), 1, -2 },
        { "the last record cut on a window's edge",
            make(Header(kMicro), [](SFile& f) { Record(f, 1, 2, 5000, 5000, 4056); }), 0, -1 },
        { "a record header across a window's edge",
            make(Header(kMicro),
                [](SFile& f) {
                    Records(f, 1, 4050);
                    Records(f, 1, 60);
                }),
            2, -2 },
    };
    for (const SRow& row : rows) {
        for (const bool bNano : { false, true }) {
            // A small buffer cuts records at every read; a larger one too.
            // Mapped: windows of one page (any smaller is a page too) slide
            // on at nearly every record.
            for (const size_t uBuffer : { size_t(16), size_t(4096), size_t(1) << 20 }) {
                for (const size_t uWindow : { size_t(0), uBuffer }) {
                    SCOPED_TRACE(std::string(row.szName) + (bNano ? ", nano" : ", micro")
                        + ", buffer " + std::to_string(uBuffer) + ", window "
                        + std::to_string(uWindow));
                    const SCaptureComparison c = CompareWithLibpcap(
                        row.file.bytes.data(), row.file.bytes.size(), bNano, uBuffer, uWindow);
                    EXPECT_TRUE(c.bOurs && c.bLibpcap);
                    EXPECT_EQ(c.csDifference, "");
                    EXPECT_EQ(c.nRecords, row.nRecords);
                    EXPECT_EQ(c.iLast, row.iLast);
                    // A file of its header alone has nothing to map.
                    EXPECT_EQ(c.bMapped, uWindow > 0 && row.file.bytes.size() > 24);
                }
            }
        }
    }
}

TEST(CaptureReaderTest, LeavesOtherFilesToLibpcap)
{
    struct SRow {
        const char* szName;
        Bytes bytes;
    };
    const std::vector<SRow> rows {
        { "another link type", WithRecords(Header(kMicro, 2, 4, 65535, 105), 1, 60) },
        { "the patched format", WithRecords(Header(0xa1b2cd34), 1, 60) },
        { "version 2.5", WithRecords(Header(kMicro, 2, 5), 1, 60) },
        { "version 1.0", Header(kMicro, 1, 0).bytes },
        { "pcapng",
            { 0x0a, 0x0d, 0x0d, 0x0a, 0x1c, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0, 0xff, 0xff,
                0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x1c, 0, 0, 0 } },
        { "header cut", WithRecords(Header(kMicro), 0, 0) },
        { "empty", {} },
    };
    for (SRow row : rows) {
        SCOPED_TRACE(row.szName);
        if (std::string(row.szName) == "header cut")
            row.bytes.resize(20);
        const SCaptureComparison c
            = CompareWithLibpcap(row.bytes.data(), row.bytes.size(), false, 4096);
        EXPECT_FALSE(c.bOurs);
        EXPECT_EQ(c.csDifference, "");
    }
}

// A pipe is never mapped, nor read by ours (it cannot read a file twice
// from its start): libpcap's reader takes it. A regular file is mapped.
TEST(CaptureReaderTest, OnlyAFileIsMapped)
{
    const Bytes bytes = WithRecords(Header(kMicro), 3, 60);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fds[1]);
    EXPECT_FALSE(CPcapReader::Open(fds[0], false, 4096, 4096));
    ::close(fds[0]);
    const int fd = memfd_create("reader", MFD_CLOEXEC);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::unique_ptr<CPcapReader> pReader = CPcapReader::Open(fd, false, 4096, 4096);
    ASSERT_TRUE(pReader);
    EXPECT_TRUE(pReader->Mapped());
    SCaptureRecord r;
    int i = 0;
    while (pReader->Next(r) == CPcapReader::kRecord)
        ++i;
    EXPECT_EQ(i, 3);
}

// A record stays where Next put it until the reader says it will refill.
TEST(CaptureReaderTest, RecordsStayPutUntilTheRefillIsAnnounced)
{
    SFile file = Header(kMicro);
    std::vector<uint32_t> lengths;
    for (int i = 0; i < 300; ++i) {
        lengths.push_back(14 + static_cast<uint32_t>(i * 53 % 1500));
        Record(file, 1, 2, lengths.back(), lengths.back(), lengths.back(), uint8_t(i));
    }
    // Mapped too: a window's pages stay mapped until it slides on.
    for (const auto& [uBuffer, uWindow] : std::vector<std::pair<size_t, size_t>> { { 16, 0 },
             { 1000, 0 }, { 4096, 0 }, { 65536, 0 }, { 4096, 4096 }, { 65536, 65536 } }) {
        SCOPED_TRACE(std::to_string(uBuffer) + ", window " + std::to_string(uWindow));
        const int fd = memfd_create("reader", MFD_CLOEXEC);
        ASSERT_EQ(::write(fd, file.bytes.data(), file.bytes.size()),
            static_cast<ssize_t>(file.bytes.size()));
        std::unique_ptr<CPcapReader> pReader = CPcapReader::Open(fd, false, uBuffer, uWindow);
        ASSERT_TRUE(pReader);
        struct SHeld {
            const uint8_t* p;
            uint32_t u;
            int i;
        };
        std::vector<SHeld> held;
        int iRefills = 0;
        auto check = [&] {
            for (const SHeld& h : held) {
                for (uint32_t k = 0; k < h.u; ++k)
                    ASSERT_EQ(h.p[k], uint8_t(h.i + k)) << "record " << h.i;
            }
            held.clear();
        };
        pReader->SetBeforeRefill([&] {
            check();
            ++iRefills;
        });
        SCaptureRecord r;
        int i = 0;
        for (; pReader->Next(r) == CPcapReader::kRecord; ++i) {
            ASSERT_EQ(r.uCaptured, lengths[i]);
            held.push_back({ r.pData, r.uCaptured, i });
        }
        check();
        EXPECT_EQ(i, 300);
        EXPECT_GT(iRefills, uBuffer < 65536 ? 10 : 2);
    }
}

} // namespace
