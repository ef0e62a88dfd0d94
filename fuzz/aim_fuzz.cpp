// Any bytes as an Ethernet frame through the aim, with a plan taken from the
// first bytes: no read or write outside the frame, a frame not aimed keeps
// every byte (a BACnet/IP one has its wrong checksums mended, unless kept),
// an untagged IPv4 header whose checksum was right stays right, and after any
// edit of a BACnet/IP frame a verifier finds both checksums right.
// The frame locator on the same bytes: its offsets stay inside the frame, and
// its request classes are the judge's. With a route and a device map, a frame
// whose length changed is still BACnet by the rule, whole, and no longer than
// its buffer.

#include "decode/Frame.h"
#include "decode/FrameEdit.h"
#include "judge/Judge.h"
#include "replay/Aim.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace velmora;

namespace {

uint32_t HeaderSum(const uint8_t* p, size_t n)
{
    uint32_t u = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        u += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return u;
}

bool RightIpHeader(const std::vector<uint8_t>& f)
{
    if (f.size() < 34 || f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4)
        return false;
    const size_t nHeader = (f[14] & 0x0fu) * 4;
    return nHeader >= 20 && f.size() >= 14 + nHeader && HeaderSum(&f[14], nHeader) == 0xffff;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 2)
        return 0;
    const uint8_t uFlags = pData[0];
    const uint8_t uSeed = pData[1];
    SAimPlan plan;
    plan.bDstMac = uFlags & 1;
    plan.bSrcMac = uFlags & 2;
    plan.bDstIp = uFlags & 4;
    plan.bSrcIp = uFlags & 8;
    plan.bDstPort = uFlags & 16;
    plan.bSrcPort = uFlags & 32;
    plan.bAlsoBroadcasts = uFlags & 64;
    plan.dstMac = { 0x02, 0, 0, 0, 0, uSeed };
    plan.srcMac = { 0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(~uSeed) };
    plan.dstIp = { 192, 168, uSeed, 42 };
    plan.srcIp = { static_cast<uint8_t>(uSeed | 1), 168, 7, 5 };
    plan.uDstPort = static_cast<uint16_t>(47808 + uSeed);
    plan.uSrcPort = static_cast<uint16_t>(uSeed * 257);
    // The high flag turns on a route (from the seed's low bits) and a device map.
    if (uFlags & 128) {
        plan.route.eRoute = static_cast<ERoute>(uSeed % 3);
        plan.route.uNet = static_cast<uint16_t>(uSeed + 1);
        plan.route.uAddrLength = static_cast<uint8_t>(1 + uSeed % 6);
        plan.route.addr = { uSeed, 1, 2, 3, 4, 5 };
        plan.devices = { { uSeed, 70000u + uSeed }, { 207, 1234 } };
        plan.uMtu = 1500;
    }
    // An exact-size heap copy, so that AddressSanitizer sees any byte past the end.
    const std::vector<uint8_t> in(pData + 2, pData + nSize);
    std::vector<uint8_t> f(in);
    const frame::SFrameLayout layout = frame::LocateFrame(in.data(), in.size());
    if (layout.IsBacnet()
        && (layout.uEnd > in.size() || layout.uNpduAt >= layout.uEnd + (layout.uNpduAt == 0)
            || (layout.uApduAt && layout.uApduAt >= layout.uEnd)))
        __builtin_trap();
    if (frame::ClassifyRequest(in.data(), layout)
        != judge::ClassifyRequest(judge::ParseBacnet(in.data(), in.size())))
        __builtin_trap();
    plan.bKeepChecksums = (uSeed & 0x80) != 0;
    const EAimOutcome e = AimFrame(plan, f);
    std::vector<uint8_t> mended(in);
    if (plan.Active() && !plan.bKeepChecksums)
        frame::MendChecksums(mended.data(), mended.size(), layout);
    const bool bEdited
        = e == EAimOutcome::Aimed || e == EAimOutcome::Unchanged || e == EAimOutcome::Broadcast;
    if (e != EAimOutcome::Aimed && f != (bEdited ? mended : in))
        __builtin_trap();
    if (bEdited && plan.Active() && !plan.bKeepChecksums
        && layout.eKind == frame::EFrameKind::BacnetIp
        && frame::CheckIpv4(f.data(), f.size(), layout.uIpAt).AnyWrong())
        __builtin_trap();
    // In place with no room to grow: never a byte past the buffer, and a new
    // length the rule still finds BACnet, its lengths ending where the frame's do.
    std::vector<uint8_t> exact(in);
    uint32_t uLength = static_cast<uint32_t>(exact.size());
    const EAimOutcome eExact
        = AimFrame(plan, exact.data(), uLength, static_cast<uint32_t>(exact.size()));
    if (uLength > exact.size() || (eExact == EAimOutcome::TooLong && uLength != 0)
        || (eExact != EAimOutcome::Aimed && eExact != EAimOutcome::TooLong && uLength != in.size()))
        __builtin_trap();
    // (New ports may leave the BACnet range: then the rule rightly says no.)
    if (eExact == EAimOutcome::Aimed && uLength != in.size() && !plan.bDstPort && !plan.bSrcPort) {
        const frame::SFrameLayout after = frame::LocateFrame(exact.data(), uLength);
        if (!after.IsBacnet() || after.bCut || (uLength > 60 && after.uEnd != uLength))
            __builtin_trap();
    }
    if (e == EAimOutcome::Aimed && RightIpHeader(in) && !RightIpHeader(f))
        __builtin_trap();
    return 0;
}
