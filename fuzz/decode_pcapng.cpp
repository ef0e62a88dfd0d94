// The decode target's pcapng half: the fuzz input drives a well-formed pcapng
// writer (sections, interfaces with options, the three packet blocks, other
// blocks), with a few bytes that may break a length, a trailer or a byte
// order, so the fuzzer reaches deep into the index instead of stopping at the
// first block. Every record the index lists must read back whole.

#include "decode_pcapng.h"

#include "capture/IndexRows.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace velmora::dissect;

namespace {

class CBlocks {
public:
    explicit CBlocks(bool bBig)
        : m_bBig(bBig)
    {
    }
    void U16(std::vector<uint8_t>& v, uint16_t u) const
    {
        v.push_back(static_cast<uint8_t>(m_bBig ? u >> 8 : u));
        v.push_back(static_cast<uint8_t>(m_bBig ? u : u >> 8));
    }
    void U32(std::vector<uint8_t>& v, uint32_t u) const
    {
        for (int i = 0; i < 4; ++i)
            v.push_back(static_cast<uint8_t>(m_bBig ? u >> (24 - 8 * i) : u >> (8 * i)));
    }
    // uDamage: 0 none, 1 trailer off by 4, 2 length not a multiple of 4, 3 cut.
    void Block(uint32_t uType, std::vector<uint8_t> body, uint8_t uDamage)
    {
        body.resize((body.size() + 3) / 4 * 4, 0);
        const uint32_t uLength = static_cast<uint32_t>(body.size() + 12);
        U32(m_out, uType);
        U32(m_out, uDamage == 2 ? uLength + 1 : uLength);
        m_out.insert(m_out.end(), body.begin(), body.end());
        U32(m_out, uDamage == 1 ? uLength + 4 : uLength);
        if (uDamage == 3)
            m_out.resize(m_out.size() - 1 - body.size() / 2);
    }
    void SetBig(bool b) { m_bBig = b; }
    std::vector<uint8_t> m_out;

private:
    bool m_bBig;
};

int MemFd()
{
    static const int s_fd = memfd_create("decode_pcapng", MFD_CLOEXEC);
    return s_fd;
}

} // namespace

void FuzzPcapng(const uint8_t* pData, size_t nSize)
{
    size_t n = 0;
    auto Byte = [&]() -> uint8_t { return n < nSize ? pData[n++] : 0; };
    CBlocks b(Byte() & 1);
    auto Section = [&](uint8_t uFlags) {
        b.SetBig(uFlags & 1);
        std::vector<uint8_t> body;
        b.U32(body, 0x1a2b3c4d);
        b.U16(body, uFlags & 2 ? 2 : 1);
        b.U16(body, uFlags & 4 ? 2 : 0);
        b.U32(body, 0xffffffff);
        b.U32(body, 0xffffffff);
        b.Block(0x0a0d0d0a, body, uFlags >> 6);
    };
    Section(Byte() & 0x3e);
    while (n < nSize && b.m_out.size() < (1 << 16)) {
        const uint8_t uOp = Byte();
        const uint8_t uDamage = (uOp & 0xe0) == 0xe0 ? (uOp >> 3) & 3 : 0;
        const size_t nData = Byte() % 80;
        std::vector<uint8_t> data(pData + n, pData + std::min(nSize, n + nData));
        n += data.size();
        std::vector<uint8_t> body;
        switch (uOp & 7) {
        case 0:
            Section(Byte());
            break;
        case 1: { // interface: link type, snapshot length, options from the data
            b.U16(body, Byte() & 1 ? 101 : 1);
            b.U16(body, 0);
            b.U32(body, Byte() * 4u);
            if (!data.empty()) {
                b.U16(body, data[0] % 16); // option code: if_tsresol is 9, if_tsoffset 14
                b.U16(body, static_cast<uint16_t>(data.size() - 1));
                body.insert(body.end(), data.begin() + 1, data.end());
            }
            b.Block(1, body, uDamage);
            break;
        }
        case 2:
        case 3: { // Enhanced Packet Block
            b.U32(body, Byte() % 3);
            b.U32(body, Byte());
            b.U32(body, Byte() * 0x01010101u);
            b.U32(body, static_cast<uint32_t>(data.size() + (uOp & 0x10 ? Byte() : 0)));
            b.U32(body, static_cast<uint32_t>(data.size()));
            body.insert(body.end(), data.begin(), data.end());
            b.Block(6, body, uDamage);
            break;
        }
        case 4: // Simple Packet Block
            b.U32(body, static_cast<uint32_t>(data.size() + Byte() % 4));
            body.insert(body.end(), data.begin(), data.end());
            b.Block(3, body, uDamage);
            break;
        case 5: // obsolete Packet Block
            b.U16(body, Byte() % 2);
            b.U16(body, 0);
            b.U32(body, 0);
            b.U32(body, Byte());
            b.U32(body, static_cast<uint32_t>(data.size()));
            b.U32(body, static_cast<uint32_t>(data.size()));
            body.insert(body.end(), data.begin(), data.end());
            b.Block(2, body, uDamage);
            break;
        default: // anything else, raw: custom, statistics, unknown
            b.Block(Byte() | 0x100u * (uOp & 0x10), data, uDamage);
            break;
        }
    }

    const int fd = MemFd();
    if (fd < 0 || ftruncate(fd, 0) != 0
        || pwrite(fd, b.m_out.data(), b.m_out.size(), 0) != static_cast<ssize_t>(b.m_out.size()))
        return;
    CCaptureIndex index;
    if (!index.Open("/proc/self/fd/" + std::to_string(fd))) {
        if (index.Error().empty())
            __builtin_trap();
        return;
    }
    std::atomic<bool> bStop { false };
    index.Run(bStop);
    if (index.State() == CCaptureIndex::EState::Failed && index.Error().empty())
        __builtin_trap();
    if (index.SendLimit() != UINT64_MAX
        && (index.SendLimit() > index.Count() || index.SendLimitNote().empty()))
        __builtin_trap();
    // The file did not change: every listed record reads back, from a known interface.
    SRecord rec;
    for (uint64_t i = 0; i < index.Count(); ++i) {
        if (!index.Read(i, rec) || rec.bytes.size() != rec.header.uCapLen
            || index.InterfaceOf(i) >= index.InterfaceCount())
            __builtin_trap();
        const SRow row = DecodeRecord(index, i);
        if (row.uNumber != i
            || row.bMalformed != (row.csInfo.find("[malformed]") != std::string::npos))
            __builtin_trap();
        index.InterfaceLabel(index.InterfaceOf(i));
    }
}
