#include "decode/BacnetFields.h"

#include "decode/Frame.h"

namespace velmora::frame {

namespace {

    // Bytes [p, end): every read checks what is left.
    struct SCursor {
        const uint8_t* p;
        const uint8_t* end;

        size_t Left() const { return static_cast<size_t>(end - p); }
        bool Take(size_t n, const uint8_t*& pOut)
        {
            if (Left() < n)
                return false;
            pOut = p;
            p += n;
            return true;
        }
        bool U8(uint8_t& u)
        {
            if (Left() < 1)
                return false;
            u = *p++;
            return true;
        }
        bool U16(uint16_t& u)
        {
            if (Left() < 2)
                return false;
            u = static_cast<uint16_t>(p[0] << 8 | p[1]);
            p += 2;
            return true;
        }
    };

    bool Station(SCursor& c, size_t nLength, SStation& station)
    {
        const uint8_t* p = nullptr;
        if (nLength > station.bytes.size() || !c.Take(nLength, p))
            return false;
        station.uLength = static_cast<uint8_t>(nLength);
        for (size_t i = 0; i < nLength; ++i)
            station.bytes[i] = p[i];
        return true;
    }

    // One tag header: its number, whether it is a context tag, and the length
    // (or 6/7 for an opening/closing tag, marked by bOpenClose).
    struct STag {
        uint32_t uNumber = 0;
        bool bContext = false;
        bool bOpenClose = false;
        uint32_t uLength = 0;
    };

    bool Tag(SCursor& c, STag& tag)
    {
        uint8_t u = 0;
        if (!c.U8(u))
            return false;
        tag.uNumber = u >> 4;
        tag.bContext = (u & 0x08) != 0;
        tag.uLength = u & 0x07;
        tag.bOpenClose = tag.bContext && (tag.uLength == 6 || tag.uLength == 7);
        if (tag.uNumber == 15) {
            uint8_t uExt = 0;
            if (!c.U8(uExt))
                return false;
            tag.uNumber = uExt;
        }
        if (!tag.bOpenClose && tag.uLength == 5) {
            uint8_t uExt = 0;
            if (!c.U8(uExt))
                return false;
            tag.uLength = uExt;
            if (uExt == 254) {
                uint16_t u16 = 0;
                if (!c.U16(u16))
                    return false;
                tag.uLength = u16;
            } else if (uExt == 255) {
                return false; // four-byte lengths: never in the parameters we read
            }
        }
        return true;
    }

    bool Unsigned(SCursor& c, uint32_t uLength, uint32_t& u)
    {
        const uint8_t* p = nullptr;
        if (uLength < 1 || uLength > 4 || !c.Take(uLength, p))
            return false;
        u = 0;
        for (uint32_t i = 0; i < uLength; ++i)
            u = u << 8 | p[i];
        return true;
    }

    // An application-tagged value of tag number uNumber, read as unsigned.
    bool AppUnsigned(SCursor& c, uint32_t uNumber, uint32_t& u)
    {
        STag tag;
        return Tag(c, tag) && !tag.bContext && tag.uNumber == uNumber
            && Unsigned(c, tag.uLength, u);
    }

    // Optional context tags [0] low and [1] high, as Who-Is and Who-Has begin.
    void Limits(SCursor c, SBacnetFrame& f)
    {
        STag low;
        STag high;
        uint32_t uLow = 0;
        uint32_t uHigh = 0;
        if (Tag(c, low) && low.bContext && !low.bOpenClose && low.uNumber == 0
            && Unsigned(c, low.uLength, uLow) && Tag(c, high) && high.bContext && !high.bOpenClose
            && high.uNumber == 1 && Unsigned(c, high.uLength, uHigh)) {
            f.bHasLimits = true;
            f.uLowLimit = uLow;
            f.uHighLimit = uHigh;
        }
    }

    void Device(SCursor c, SBacnetFrame& f)
    {
        uint32_t uId = 0;
        if (AppUnsigned(c, 12, uId) && (uId >> 22) == 8) {
            f.bHasDevice = true;
            f.uDeviceInstance = uId & 0x3fffff;
        }
    }

    void ErrorCodes(SCursor c, SBacnetFrame& f)
    {
        // Some services wrap the error in a constructed [0]; step into it.
        if (c.Left() > 0 && (*c.p & 0x0f) == 0x0e) {
            STag open;
            if (!Tag(c, open))
                return;
        }
        uint32_t uClass = 0;
        uint32_t uCode = 0;
        if (AppUnsigned(c, 9, uClass) && AppUnsigned(c, 9, uCode)) {
            f.uErrorClass = uClass;
            f.uErrorCode = uCode;
            f.bHasErrorCodes = true;
        }
    }

    bool Apdu(SCursor c, SBacnetFrame& f)
    {
        uint8_t u0 = 0;
        if (!c.U8(u0))
            return false;
        switch (u0 >> 4) {
        case 0: {
            uint8_t uMax = 0;
            f.bSegmented = (u0 & 0x08) != 0;
            if (!c.U8(uMax) || !c.U8(f.uInvokeId))
                return false;
            if (f.bSegmented) {
                uint8_t uWindow = 0;
                if (!c.U8(f.uSequence) || !c.U8(uWindow))
                    return false;
            }
            if (!c.U8(f.uService))
                return false;
            f.eApdu = EApdu::ConfirmedRequest;
            return true;
        }
        case 1:
            if (!c.U8(f.uService))
                return false;
            f.eApdu = EApdu::UnconfirmedRequest;
            if (f.uService == kWhoIs || f.uService == kWhoHas)
                Limits(c, f);
            else if (f.uService == kIAm || f.uService == kIHave)
                Device(c, f);
            return true;
        case 2:
            f.eApdu = EApdu::SimpleAck;
            return c.U8(f.uInvokeId) && c.U8(f.uService);
        case 3:
            f.bSegmented = (u0 & 0x08) != 0;
            if (!c.U8(f.uInvokeId))
                return false;
            if (f.bSegmented) {
                uint8_t uWindow = 0;
                if (!c.U8(f.uSequence) || !c.U8(uWindow))
                    return false;
            }
            f.eApdu = EApdu::ComplexAck;
            return c.U8(f.uService);
        case 4: {
            uint8_t uWindow = 0;
            f.bServer = (u0 & 0x01) != 0;
            f.eApdu = EApdu::SegmentAck;
            return c.U8(f.uInvokeId) && c.U8(f.uSequence) && c.U8(uWindow);
        }
        case 5:
            if (!c.U8(f.uInvokeId) || !c.U8(f.uService))
                return false;
            f.eApdu = EApdu::Error;
            ErrorCodes(c, f);
            return true;
        case 6:
            f.eApdu = EApdu::Reject;
            return c.U8(f.uInvokeId) && c.U8(f.uReason);
        case 7:
            f.bServer = (u0 & 0x01) != 0;
            f.eApdu = EApdu::Abort;
            return c.U8(f.uInvokeId) && c.U8(f.uReason);
        default:
            return false;
        }
    }

    bool Npdu(SCursor c, SBacnetFrame& f)
    {
        uint8_t uVersion = 0;
        uint8_t uControl = 0;
        if (!c.U8(uVersion) || uVersion != 0x01 || !c.U8(uControl))
            return false;
        if (uControl & 0x20) {
            uint8_t uLength = 0;
            if (!c.U16(f.uDnet) || !c.U8(uLength) || !Station(c, uLength, f.dadr))
                return false;
            f.bHasDnet = true;
        }
        if (uControl & 0x08) {
            uint8_t uLength = 0;
            // A source address of length 0 is not allowed: SNET needs a station.
            if (!c.U16(f.uSnet) || !c.U8(uLength) || uLength == 0 || !Station(c, uLength, f.sadr))
                return false;
            f.bHasSnet = true;
        }
        if (uControl & 0x20) {
            uint8_t uHops = 0;
            if (!c.U8(uHops))
                return false;
        }
        if (uControl & 0x80) {
            if (!c.U8(f.uNetworkMessage))
                return false;
            f.eApdu = EApdu::NetworkMessage;
            return true;
        }
        return Apdu(c, f);
    }

} // namespace

SBacnetFrame ParseBacnet(const uint8_t* pData, size_t nLength)
{
    const frame::SFrameLayout layout = frame::LocateFrame(pData, nLength);
    if (!layout.IsBacnet())
        return SBacnetFrame();
    SBacnetFrame f;
    f.linkDestination.uLength = 6;
    f.linkSource.uLength = 6;
    if (layout.eKind == frame::EFrameKind::BacnetIp) {
        // A B/IP address as BACnet writes it: IPv4 address, then port.
        const uint8_t* pIp = pData + layout.uIpAt;
        const uint8_t* pUdp = pData + layout.uUdpAt;
        f.bIp = true;
        for (int i = 0; i < 4; ++i) {
            f.linkSource.bytes[i] = pIp[12 + i];
            f.linkDestination.bytes[i] = pIp[16 + i];
        }
        f.linkSource.bytes[4] = pUdp[0];
        f.linkSource.bytes[5] = pUdp[1];
        f.linkDestination.bytes[4] = pUdp[2];
        f.linkDestination.bytes[5] = pUdp[3];
        f.uBvlcFunction = layout.uBvlcFunction;
        if (!layout.bBvlcFits)
            return SBacnetFrame();
        if (!frame::BvlcCarriesNpdu(layout.uBvlcFunction)) {
            f.eApdu = EApdu::BvlcOnly;
            return f;
        }
        if (layout.uBvlcFunction == frame::kBvlcForwardedNpdu) {
            SCursor c { pData + layout.uBvlcAt + 4, pData + layout.uEnd };
            if (!Station(c, 6, f.origin))
                return SBacnetFrame();
            f.bForwarded = true;
        }
    } else {
        for (int i = 0; i < 6; ++i) {
            f.linkDestination.bytes[i] = pData[i];
            f.linkSource.bytes[i] = pData[6 + i];
        }
    }
    if (!layout.uNpduAt || !Npdu(SCursor { pData + layout.uNpduAt, pData + layout.uEnd }, f)
        || f.eApdu == EApdu::NotBacnet)
        return SBacnetFrame();
    return f;
}

SStation BacnetSource(const SBacnetFrame& frame)
{
    return frame.bForwarded ? frame.origin : frame.linkSource;
}

bool IsAnswer(const SBacnetFrame& a)
{
    switch (a.eApdu) {
    case EApdu::SimpleAck:
    case EApdu::ComplexAck:
    case EApdu::Error:
    case EApdu::Reject:
        return true;
    case EApdu::Abort:
        return a.bServer;
    default:
        return false;
    }
}

bool AnswersConfirmed(const SBacnetFrame& r, const SBacnetFrame& a)
{
    if (!IsAnswer(a) || a.uInvokeId != r.uInvokeId || a.bIp != r.bIp)
        return false;
    const bool bNamesService
        = a.eApdu == EApdu::SimpleAck || a.eApdu == EApdu::ComplexAck || a.eApdu == EApdu::Error;
    if (bNamesService && a.uService != r.uService)
        return false;
    if (r.bHasSnet) {
        const bool bRoutedBack = a.bHasDnet && a.uDnet == r.uSnet && a.dadr == r.sadr;
        if (!bRoutedBack && BacnetSource(r) != a.linkDestination)
            return false;
    } else if (BacnetSource(r) != a.linkDestination) {
        return false;
    }
    if (r.bHasDnet)
        return a.bHasSnet && a.uSnet == r.uDnet && a.sadr == r.dadr;
    return BacnetSource(a) == r.linkDestination;
}

ERequestKind ClassifyRequest(const SBacnetFrame& f)
{
    switch (f.eApdu) {
    case EApdu::ConfirmedRequest:
        return ERequestKind::Confirmed;
    case EApdu::UnconfirmedRequest:
        return f.uService == kIAm || f.uService == kIHave ? ERequestKind::Skipped
                                                          : ERequestKind::Unconfirmed;
    case EApdu::NetworkMessage:
        return f.uNetworkMessage == kWhoIsRouterToNetwork ? ERequestKind::RouterQuery
                                                          : ERequestKind::Skipped;
    default:
        return ERequestKind::Skipped;
    }
}

} // namespace velmora::frame
