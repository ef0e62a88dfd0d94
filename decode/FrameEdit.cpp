#include "decode/FrameEdit.h"

#include <algorithm>
#include <cstring>

namespace velmora::frame {

namespace {

    inline uint16_t Get16(const uint8_t* p)
    {
        return static_cast<uint16_t>(p[0] << 8 | p[1]);
    }
    inline void Set16(uint8_t* p, uint32_t u)
    {
        p[0] = static_cast<uint8_t>(u >> 8);
        p[1] = static_cast<uint8_t>(u);
    }

    // The IPv4 header's sum with its checksum field taken as 0.
    uint16_t IpHeaderSum(const uint8_t* pIp, uint32_t uHeader)
    {
        return OnesSum(pIp + 12, uHeader - 12, OnesSum(pIp, 10));
    }

    // The UDP sum over the pseudo-header and uUdpLength bytes of the
    // datagram, its checksum field taken as 0.
    uint16_t UdpSum(const uint8_t* pIp, const uint8_t* pUdp, uint32_t uUdpLength)
    {
        uint64_t u = OnesSum(pIp + 12, 8);
        u += kIpProtocolUdp + uUdpLength;
        u = OnesSum(pUdp, 6, u);
        return OnesSum(pUdp + 8, uUdpLength - 8, u);
    }

    uint16_t UdpChecksumOf(uint16_t uSum)
    {
        const uint16_t u = static_cast<uint16_t>(~uSum);
        // Zero says "no checksum": a sum that comes to it is sent as all ones (RFC 768).
        return u == 0 ? 0xffff : u;
    }

    uint16_t ApplyDelta(uint16_t uChecksum, uint64_t uDelta)
    {
        uint64_t u = static_cast<uint16_t>(~uChecksum) + uDelta;
        while (u >> 16)
            u = (u & 0xffff) + (u >> 16);
        return static_cast<uint16_t>(~u);
    }

} // namespace

uint16_t OnesSum(const uint8_t* p, size_t n, uint64_t uStart)
{
    uint64_t u = uStart;
    for (size_t i = 0; i + 1 < n; i += 2)
        u += Get16(p + i);
    if (n & 1)
        u += static_cast<uint32_t>(p[n - 1] << 8);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return static_cast<uint16_t>(u);
}

SChecksums CheckIpv4(const uint8_t* p, size_t n, uint32_t uIpAt)
{
    SChecksums s;
    if (n < uIpAt + 20ull || (p[uIpAt] >> 4) != 4)
        return s;
    const uint8_t* pIp = p + uIpAt;
    const uint32_t uHeader = (pIp[0] & 0x0fu) * 4;
    if (uHeader < 20 || n < uIpAt + uHeader)
        return s;
    const uint16_t uIpSum = IpHeaderSum(pIp, uHeader);
    s.eIp = OnesSum(pIp + 10, 2, uIpSum) == 0xffff ? ESum::Right : ESum::Wrong;
    s.uIpShould = static_cast<uint16_t>(~uIpSum);
    // A fragment's UDP checksum covers the whole datagram, in other frames too.
    const uint32_t uTotal = Get16(pIp + 2);
    if (pIp[9] != kIpProtocolUdp || (Get16(pIp + 6) & 0x3fff) != 0 || uTotal < uHeader + 8
        || n < uIpAt + uHeader + 8ull)
        return s;
    const uint8_t* pUdp = pIp + uHeader;
    const uint32_t uUdpLength = Get16(pUdp + 4);
    if (uUdpLength < 8 || uUdpLength > uTotal - uHeader || n < uIpAt + uHeader + uUdpLength)
        return s;
    const uint16_t uGiven = Get16(pUdp + 6);
    if (uGiven == 0) {
        s.eUdp = ESum::None;
        return s;
    }
    const uint16_t uSum = UdpSum(pIp, pUdp, uUdpLength);
    s.eUdp = OnesSum(pUdp + 6, 2, uSum) == 0xffff ? ESum::Right : ESum::Wrong;
    s.uUdpShould = UdpChecksumOf(uSum);
    return s;
}

SChecksums CheckFrame(const uint8_t* p, size_t n)
{
    uint32_t uType = 12;
    for (uint32_t i = 0; i <= kMaxVlanTags; ++i) {
        if (n < uType + 2ull)
            return SChecksums();
        const uint16_t u = Get16(p + uType);
        if (u == kEtherTypeIpv4)
            return CheckIpv4(p, n, uType + 2);
        if (!IsVlanTpid(u) || i == kMaxVlanTags)
            return SChecksums();
        uType += 4;
    }
    return SChecksums();
}

bool HasWrongChecksums(const uint8_t* p, size_t n, const SFrameLayout& layout)
{
    if (layout.eKind != EFrameKind::BacnetIp || layout.bFirstFragment)
        return false;
    return CheckIpv4(p, n, layout.uIpAt).AnyWrong();
}

bool MendChecksums(uint8_t* p, size_t n, const SFrameLayout& layout)
{
    if (layout.eKind != EFrameKind::BacnetIp || layout.bFirstFragment)
        return false;
    const uint32_t uLength = static_cast<uint32_t>(n);
    CFrameEdit edit(p, uLength, uLength, layout);
    if (!edit.Before().AnyWrong())
        return false;
    edit.Finish();
    return true;
}

CFrameEdit::CFrameEdit(uint8_t* pFrame, uint32_t uLength, uint32_t uCapacity,
    const SFrameLayout& layout, bool bKeepWrong)
    : m_p(pFrame)
    , m_uLength(uLength)
    , m_uCapacity(uCapacity)
    , m_layout(layout)
    , m_bKeepWrong(bKeepWrong)
    , m_bIp(layout.eKind == EFrameKind::BacnetIp && layout.uUdpAt > layout.uIpAt)
    , m_uNewEnd(layout.uEnd)
{
    if (!m_bIp)
        return;
    m_before = CheckIpv4(pFrame, uLength, layout.uIpAt);
    m_uIpEnd = layout.uUdpAt;
    m_uUdpEnd = layout.uUdpAt + Get16(pFrame + layout.uUdpAt + 4);
}

void CFrameEdit::Track(uint32_t uAt, uint32_t n, bool bAfter)
{
    // Words as the sums read them: aligned to the IPv4 header (whose length is
    // even, so to UDP's too), the UDP datagram's odd last byte padded with zero.
    const uint32_t uIp = m_layout.uIpAt;
    const uint32_t uFrom = uAt - ((uAt - uIp) & 1);
    const uint32_t uTo = std::min(uAt + n + ((uAt + n - uIp) & 1), m_uLength);
    auto word = [&](uint32_t w, uint32_t uLimit) -> uint16_t {
        const uint32_t uEnd = std::min(uLimit, m_uLength);
        const uint32_t uHigh = w < uEnd ? m_p[w] : 0;
        const uint32_t uLow = w + 1 < uEnd ? m_p[w + 1] : 0;
        return static_cast<uint16_t>(uHigh << 8 | uLow);
    };
    size_t i = 0;
    for (uint32_t w = uFrom; w < uTo; w += 2, i += 2) {
        const bool bInIp = w >= uIp && w < m_uIpEnd && w != uIp + 10;
        // The pseudo-header's addresses, then the datagram.
        const bool bInUdp = (w >= uIp + 12 && w < uIp + 20)
            || (w >= m_layout.uUdpAt && w < m_uUdpEnd && w != m_layout.uUdpAt + 6);
        if (!bAfter) {
            m_old.push_back(word(w, bInUdp && w >= m_layout.uUdpAt ? m_uUdpEnd : m_uLength));
            continue;
        }
        const uint16_t uOld = m_old[i / 2];
        const uint16_t uNew = word(w, bInUdp && w >= m_layout.uUdpAt ? m_uUdpEnd : m_uLength);
        const uint64_t uChange = static_cast<uint16_t>(~uOld) + static_cast<uint64_t>(uNew);
        if (bInIp)
            m_uIpDelta += uChange;
        if (bInUdp)
            m_uUdpDelta += uChange;
    }
}

void CFrameEdit::Put(uint32_t uAt, const uint8_t* pNew, uint32_t n)
{
    if (n == 0 || uAt + static_cast<uint64_t>(n) > m_uLength)
        return;
    m_bChanged = true;
    if (!m_bIp || m_bNewLength) {
        std::memmove(m_p + uAt, pNew, n);
        return;
    }
    m_old.clear();
    Track(uAt, n, false);
    std::memmove(m_p + uAt, pNew, n);
    Track(uAt, n, true);
}

void CFrameEdit::Put16(uint32_t uAt, uint16_t u)
{
    uint8_t b[2];
    Set16(b, u);
    Put(uAt, b, 2);
}

bool CFrameEdit::SetPayload(uint32_t uFrom, const uint8_t* pNew, size_t n)
{
    const uint64_t uEnd = uFrom + static_cast<uint64_t>(n);
    const uint64_t uLength = std::max<uint64_t>(uEnd, kMinFrameLength);
    if (uLength > m_uCapacity || uEnd > 0xffffu + m_layout.uIpAt)
        return false;
    std::memmove(m_p + uFrom, pNew, n);
    // Padding is zeros, never what the frame held there before.
    std::memset(m_p + uEnd, 0, static_cast<size_t>(uLength - uEnd));
    m_uNewEnd = static_cast<uint32_t>(uEnd);
    m_uLength = static_cast<uint32_t>(uLength);
    m_bNewLength = true;
    m_bChanged = true;
    return true;
}

uint32_t CFrameEdit::Finish()
{
    if (!m_bIp) {
        if (m_bNewLength && m_layout.uLlcAt)
            Set16(m_p + m_layout.uTypeAt,
                std::min<uint32_t>(m_uNewEnd - m_layout.uLlcAt, kMax8023Length));
        return m_uLength;
    }
    uint8_t* const pIp = m_p + m_layout.uIpAt;
    uint8_t* const pUdp = m_p + m_layout.uUdpAt;
    const uint32_t uHeader = m_layout.uUdpAt - m_layout.uIpAt;
    const bool bNone = Get16(pUdp + 6) == 0 && !m_bWantUdp;
    if (m_bNewLength) {
        // Every length from the new end, both checksums from the new content.
        Set16(m_p + m_layout.uBvlcAt + 2, m_uNewEnd - m_layout.uBvlcAt);
        const uint32_t uUdpLength = m_uNewEnd - m_layout.uUdpAt;
        Set16(pUdp + 4, uUdpLength);
        Set16(pIp + 2, m_uNewEnd - m_layout.uIpAt);
        Set16(pIp + 10, static_cast<uint16_t>(~IpHeaderSum(pIp, uHeader)));
        Set16(pUdp + 6, bNone ? 0 : UdpChecksumOf(UdpSum(pIp, pUdp, uUdpLength)));
        return m_uLength;
    }
    const bool bMend = !m_bKeepWrong;
    if (m_before.eIp == ESum::Wrong && bMend)
        Set16(pIp + 10, static_cast<uint16_t>(~IpHeaderSum(pIp, uHeader)));
    else if (m_uIpDelta)
        Set16(pIp + 10, ApplyDelta(Get16(pIp + 10), m_uIpDelta));
    if (bNone)
        return m_uLength;
    if ((m_before.eUdp == ESum::Wrong && bMend) || (m_before.eUdp == ESum::None && m_bWantUdp)) {
        const uint32_t uUdpLength = m_uUdpEnd - m_layout.uUdpAt;
        Set16(pUdp + 6, UdpChecksumOf(UdpSum(pIp, pUdp, uUdpLength)));
    } else if (m_uUdpDelta) {
        const uint16_t u = ApplyDelta(Get16(pUdp + 6), m_uUdpDelta);
        Set16(pUdp + 6, u == 0 ? 0xffff : u);
    }
    return m_uLength;
}

} // namespace velmora::frame
