// Any bytes as an Ethernet frame, decoded to a row and to a field tree: no
// crash, no read outside the frame, the same row both ways, and every field
// inside the frame. Then the same bytes as a capture file, indexed and every
// record read back and decoded; as the blocks of a pcapng file; and as the
// APDUs of several BACnet/IP frames, put through the segment assembler.

#include "decode_pcapng.h"

#include "capture/IndexRows.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "decode/Segments.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace velmora::dissect;

namespace {

void CheckFields(const std::vector<SField>& fields, uint32_t uCapLen)
{
    for (const SField& f : fields) {
        if (uint64_t { f.uOffset } + f.uLength > uCapLen)
            __builtin_trap();
        CheckFields(f.children, uCapLen);
    }
}

void CheckFrame(const SFrame& frame)
{
    const SRow row = DecodeRow(frame);
    std::vector<SField> tree;
    const SRow same = DecodeTree(frame, &tree);
    if (row.csInfo != same.csInfo || row.csProtocol != same.csProtocol
        || row.csSource != same.csSource || row.bMalformed != same.bMalformed)
        __builtin_trap();
    if (row.bMalformed != (row.csInfo.find("[malformed]") != std::string::npos))
        __builtin_trap();
    CheckFields(tree, frame.header.uCapLen);
    for (int i = 0; i < kColumnCount; ++i)
        ColumnText(row, static_cast<EColumn>(i));
    CRowFilter("who-Is").Matches(row);
}

// The input as length-prefixed APDUs, each in a BACnet/IP frame (two peers,
// taken in turn by the low bit of the length), added to an assembler, then each
// decoded: no crash, the same row both ways, every field inside its frame.
void CheckSegments(const uint8_t* pData, size_t nSize)
{
    static const uint8_t kPrefix[48] = { 2, 0x76, 0x6d, 0, 0, 2, 2, 0x76, 0x6d, 0, 0, 1, 0x08, 0,
        0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2, 0xba, 0xc0, 0xba, 0xc0,
        0, 0, 0, 0, 0x81, 0x0a, 0, 0, 1, 0 };
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < nSize && frames.size() < 16;) {
        const size_t n = pData[i] < nSize - i - 1 ? pData[i] : nSize - i - 1;
        std::vector<uint8_t> f(kPrefix, kPrefix + sizeof kPrefix);
        f.insert(f.end(), pData + i + 1, pData + i + 1 + n);
        const size_t nIp = f.size() - 14, nUdp = nIp - 20, nBvlc = nUdp - 8;
        f[16] = static_cast<uint8_t>(nIp >> 8);
        f[17] = static_cast<uint8_t>(nIp);
        f[34] = pData[i] & 1 ? 0xba : 0xbb; // the other peer
        f[38] = static_cast<uint8_t>(nUdp >> 8);
        f[39] = static_cast<uint8_t>(nUdp);
        f[44] = static_cast<uint8_t>(nBvlc >> 8);
        f[45] = static_cast<uint8_t>(nBvlc);
        frames.push_back(std::move(f));
        i += n + 1;
    }
    auto Frame = [&frames](size_t i) {
        SFrame frame;
        frame.pData = frames[i].data();
        frame.header.uCapLen = frame.header.uWireLen = static_cast<uint32_t>(frames[i].size());
        frame.uNumber = i;
        return frame;
    };
    CSegmentAssembler assembler;
    for (size_t i = 0; i < frames.size(); ++i)
        assembler.Add(Frame(i));
    if (nSize % 2)
        assembler.Finish();
    const CSegmentAssembler::ReadFn read = [&frames](uint64_t u, std::vector<uint8_t>& bytes) {
        if (u >= frames.size() || u % 5 == 4) // now and then a record that cannot be read
            return false;
        bytes = frames[u];
        return true;
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        const SRow row = assembler.Decode(Frame(i), nullptr, read);
        std::vector<SField> tree;
        const SRow same = assembler.Decode(Frame(i), &tree, read);
        if (row.csInfo != same.csInfo || row.bMalformed != same.bMalformed
            || row.bMalformed != (row.csInfo.find("[malformed]") != std::string::npos))
            __builtin_trap();
        CheckFields(tree, static_cast<uint32_t>(frames[i].size()));
    }
}

const std::string& CapturePath(int& fd)
{
    static int s_fd = memfd_create("decode_fuzz", MFD_CLOEXEC);
    static const std::string s_csPath = "/proc/self/fd/" + std::to_string(s_fd);
    fd = s_fd;
    return s_csPath;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > 1 << 20)
        return 0;
    SFrame frame;
    frame.pData = nSize ? pData : nullptr;
    frame.header.uCapLen = static_cast<uint32_t>(nSize);
    frame.header.uWireLen = static_cast<uint32_t>(nSize) + (nSize % 3 == 0 ? 100 : 0);
    frame.header.llTimeNs = static_cast<int64_t>(nSize) * 1000;
    CheckFrame(frame);
    frame.uLinkType = static_cast<uint32_t>(nSize % 300);
    CheckFrame(frame);
    CheckSegments(pData, nSize);

    // The same bytes as a capture file.
    int fd = -1;
    const std::string& csPath = CapturePath(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0)
        return 0;
    if (nSize > 0 && pwrite(fd, pData, nSize, 0) != static_cast<ssize_t>(nSize))
        return 0;
    CCaptureIndex index;
    if (!index.Open(csPath)) {
        if (index.Error().empty())
            __builtin_trap();
        FuzzPcapng(pData, nSize);
        return 0;
    }
    const auto eState = index.Step(size_t(nSize % 7) + 1);
    if (eState == CCaptureIndex::EState::Reading)
        index.Step();
    if (index.State() == CCaptureIndex::EState::Failed && index.Error().empty())
        __builtin_trap();
    if (index.BytesDone() > index.FileSize())
        __builtin_trap();
    std::vector<SField> tree;
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < index.Count() && i < 64; ++i) {
        const SRow row = DecodeRecord(index, i, &tree, &bytes);
        if (row.uNumber != i
            || row.bMalformed != (row.csInfo.find("[malformed]") != std::string::npos))
            __builtin_trap();
        CheckFields(tree, static_cast<uint32_t>(bytes.size()));
    }
    SRecord rec;
    if (index.Read(index.Count(), rec))
        __builtin_trap();
    FuzzPcapng(pData, nSize);
    return 0;
}
