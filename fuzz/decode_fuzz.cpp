// Any bytes as an Ethernet frame, decoded to a row and to a field tree: no
// crash, no read outside the frame, the same row both ways, and every field
// inside the frame. Then the same bytes as a capture file, indexed and every
// record read back and decoded; and as the blocks of a pcapng file.

#include "decode_pcapng.h"

#include "decode/CaptureIndex.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace velmora::vdecode;

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
