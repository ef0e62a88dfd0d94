#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"

// Each service's parameters: one function per service, one table that lists
// them. The text a function returns goes after the service name in Info.

namespace velmora::vdecode::internal {

namespace {

    bool ObjectPropertyRef(CApdu& a, SOut& out, std::string& cs, SValueContext& ctx)
    {
        uint32_t uType, uInst;
        if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
            return false;
        cs = " " + ObjectText(uType, uInst);
        ctx.uObjectType = uType;
        const uint32_t uPropAt = a.Reader().Pos();
        uint64_t uProp;
        if (!a.ContextUnsigned(1, "Property Identifier", uProp))
            return false;
        ctx.uProperty = static_cast<uint32_t>(uProp);
        cs += " " + PropertyText(ctx.uProperty);
        TREE_ADD(out, a.Node(), "Property Identifier",
            PropertyText(ctx.uProperty) + " (" + Num(uProp) + ")", uPropAt,
            a.Reader().Pos() - uPropAt);
        const uint32_t uIndexAt = a.Reader().Pos();
        uint64_t uIndex;
        if (a.ContextUnsigned(2, "Property Array Index", uIndex, true)) {
            cs += "[" + Num(uIndex) + "]";
            TREE_ADD(out, a.Node(), "Property Array Index", Num(uIndex), uIndexAt,
                a.Reader().Pos() - uIndexAt);
        }
        return true;
    }

    // Device instance limits of Who-Is and Who-Has: " 100-200", or nothing.
    bool Limits(CApdu& a, SOut& out, std::string& cs)
    {
        STag t;
        if (!a.PeekTag(t) || !t.bContext || t.uNumber != 0)
            return true;
        const uint32_t uAt = a.Reader().Pos();
        uint64_t uLow, uHigh;
        if (!a.ContextUnsigned(0, "Low Limit", uLow) || !a.ContextUnsigned(1, "High Limit", uHigh))
            return false;
        cs += " " + Num(uLow) + "-" + Num(uHigh);
        TREE_ADD(out, a.Node(), "Device Instance Range", Num(uLow) + "-" + Num(uHigh), uAt,
            a.Reader().Pos() - uAt);
        return true;
    }

    // ReadPropertyMultiple's request: " analog-input,1 present-value, status-flags; device,5 ...".
    std::string ReadAccessSpecs(CApdu& a, SOut& out)
    {
        std::string cs;
        while (!a.AtEnd()) {
            uint32_t uType, uInst;
            if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
                return cs;
            cs += (cs.empty() ? " " : "; ") + ObjectText(uType, uInst);
            STag t;
            if (!a.PeekTag(t) || !t.bOpening || t.uNumber != 1) {
                a.Missing("list of properties");
                return cs;
            }
            ReadTag(a.Reader(), t);
            bool bFirst = true;
            for (;;) {
                if (a.PeekTag(t) && t.bClosing && t.uNumber == 1) {
                    ReadTag(a.Reader(), t);
                    break;
                }
                if (a.AtEnd()) {
                    out.Malformed("the list of properties ends before its closing tag");
                    return cs;
                }
                const uint32_t uAt = a.Reader().Pos();
                uint64_t uProp, uIndex;
                if (!a.ContextUnsigned(0, "Property Identifier", uProp))
                    return cs;
                std::string csProp = PropertyText(static_cast<uint32_t>(uProp));
                if (a.ContextUnsigned(1, "Property Array Index", uIndex, true))
                    csProp += "[" + Num(uIndex) + "]";
                TREE_ADD(out, a.Node(), "Property Reference", csProp, uAt, a.Reader().Pos() - uAt);
                cs += (bFirst ? " " : ", ") + csProp;
                bFirst = false;
            }
            if (bFirst)
                out.Malformed("an empty list of properties");
        }
        if (cs.empty())
            a.Missing("Object Identifier");
        return cs;
    }

    // SubscribeCOV: " analog-input,1 lifetime 300 s", or " analog-input,1 cancel".
    std::string SubscribeCov(CApdu& a, SOut& out)
    {
        std::string cs;
        uint32_t uAt = a.Reader().Pos();
        uint64_t uProcess, uConfirmed, uLifetime;
        if (!a.ContextUnsigned(0, "Subscriber Process Identifier", uProcess))
            return cs;
        TREE_ADD(out, a.Node(), "Subscriber Process Identifier", Num(uProcess), uAt,
            a.Reader().Pos() - uAt);
        uint32_t uType, uInst;
        if (!a.ContextObjectId(1, "Monitored Object Identifier", uType, uInst))
            return cs;
        cs = " " + ObjectText(uType, uInst);
        uAt = a.Reader().Pos();
        const bool bConfirmed
            = a.ContextUnsigned(2, "Issue Confirmed Notifications", uConfirmed, true);
        if (bConfirmed)
            TREE_ADD(out, a.Node(), "Issue Confirmed Notifications", uConfirmed ? "true" : "false",
                uAt, a.Reader().Pos() - uAt);
        uAt = a.Reader().Pos();
        const bool bLifetime = a.ContextUnsigned(3, "Lifetime", uLifetime, true);
        if (bLifetime) {
            const std::string csLife = uLifetime ? Num(uLifetime) + " s" : "indefinite";
            TREE_ADD(out, a.Node(), "Lifetime", csLife, uAt, a.Reader().Pos() - uAt);
            cs += " lifetime " + csLife;
        }
        if (!bConfirmed && !bLifetime)
            cs += " cancel";
        a.ExpectEnd();
        return cs;
    }

    using FnService = std::string (*)(CApdu& a, SOut& out, bool bAck);

    // Parameters nobody decodes yet: one field over them.
    std::string Undecoded(CApdu& a, SOut&, bool)
    {
        a.Rest("Service Parameters");
        return {};
    }

    // ---------------------------------------------------------------------------
    // Unconfirmed services.

    std::string WhoIs(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        if (Limits(a, out, cs))
            a.ExpectEnd();
        return cs;
    }

    std::string IAm(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        uint32_t uType, uInst;
        if (!a.AppObjectId("I-Am Device Identifier", uType, uInst))
            return cs;
        cs = " " + ObjectText(uType, uInst);
        std::string csMax, csSeg, csVendor;
        uint64_t uSeg = 0;
        if (a.AppPrimitive(kUnsigned, "Max APDU Length Accepted", csMax)
            && a.AppPrimitive(kEnumerated, "Segmentation Supported", csSeg, &uSeg)
            && a.AppPrimitive(kUnsigned, "Vendor ID", csVendor)) {
            if (out.Tree() && SegmentationName(static_cast<uint32_t>(uSeg)))
                a.Node()->children[a.Node()->children.size() - 2].csValue
                    = std::string(SegmentationName(static_cast<uint32_t>(uSeg))) + " (" + csSeg
                    + ")";
            a.ExpectEnd();
        }
        return cs;
    }

    std::string WhoHas(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        if (!Limits(a, out, cs))
            return cs;
        STag t;
        if (a.PeekTag(t) && t.bContext && t.uNumber == 2) {
            uint32_t uType, uInst;
            if (a.ContextObjectId(2, "Object Identifier", uType, uInst))
                cs += " " + ObjectText(uType, uInst);
        } else if (a.PeekTag(t) && t.bContext && t.uNumber == 3) {
            CReader& r = a.Reader();
            CReader s = r;
            ReadTag(s, t);
            std::string csName;
            bool bBad = false;
            if (s.Has(t.uLength) && !t.bOpening && !t.bClosing) {
                csName = CharString(s.Here(), t.uLength, bBad);
                s.Skip(t.uLength);
            } else {
                bBad = true;
            }
            if (bBad) {
                out.Malformed("broken Object Name");
                return cs;
            }
            TREE_ADD(out, a.Node(), "Object Name", csName, t.uOffset, s.Pos() - t.uOffset);
            r = s;
            cs += " " + Shorten(csName, 48);
        } else {
            a.Missing("Object");
            return cs;
        }
        a.ExpectEnd();
        return cs;
    }

    std::string IHave(CApdu& a, SOut&, bool)
    {
        std::string cs;
        uint32_t uDevType, uDevInst, uType, uInst;
        std::string csName;
        if (a.AppObjectId("Device Identifier", uDevType, uDevInst)) {
            cs = " " + ObjectText(uDevType, uDevInst);
            if (a.AppObjectId("Object Identifier", uType, uInst)) {
                cs += " " + ObjectText(uType, uInst);
                if (a.AppPrimitive(kCharacterString, "Object Name", csName)) {
                    cs += " " + Shorten(csName, 48);
                    a.ExpectEnd();
                }
            }
        }
        return cs;
    }

    // ---------------------------------------------------------------------------
    // Confirmed services: bAck for the parameters of their ComplexACK.

    std::string ReadProperty(CApdu& a, SOut& out, bool bAck)
    {
        std::string cs;
        SValueContext ctx;
        if (!ObjectPropertyRef(a, out, cs, ctx))
            return cs;
        if (bAck) {
            std::string csValue;
            if (!a.ContextValues(3, ctx, csValue))
                return cs;
            cs += " = " + csValue;
        }
        a.ExpectEnd();
        return cs;
    }

    std::string ReadPropertyMultiple(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        return Shorten(ReadAccessSpecs(a, out), 120);
    }

    std::string SubscribeCovService(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        return SubscribeCov(a, out);
    }

    std::string WriteProperty(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        std::string cs;
        SValueContext ctx;
        if (!ObjectPropertyRef(a, out, cs, ctx))
            return cs;
        std::string csValue;
        if (!a.ContextValues(3, ctx, csValue))
            return cs;
        cs += " = " + csValue;
        const uint32_t uAt = a.Reader().Pos();
        uint64_t uPriority;
        if (a.ContextUnsigned(4, "Priority", uPriority, true)) {
            cs += " priority " + Num(uPriority);
            TREE_ADD(out, a.Node(), "Priority", Num(uPriority), uAt, a.Reader().Pos() - uAt);
            if (uPriority < 1 || uPriority > 16)
                out.Malformed("priority " + Num(uPriority) + " outside 1-16");
        }
        a.ExpectEnd();
        return cs;
    }

    // ---------------------------------------------------------------------------
    // The services decoded in depth. Adding one: its function above, a row
    // here, and a row in the decoder's table test.

    struct SService {
        bool bConfirmed;
        uint8_t uChoice;
        FnService pfnParameters;
    };

    const SService kServices[] = {
        { false, 0, IAm },
        { false, 1, IHave },
        { false, 7, WhoHas },
        { false, 8, WhoIs },
        { true, 5, SubscribeCovService },
        { true, 12, ReadProperty },
        { true, 14, ReadPropertyMultiple },
        { true, 15, WriteProperty },
    };

} // namespace

std::string ServiceName(bool bConfirmed, uint32_t u)
{
    const char* sz = bConfirmed ? ConfirmedServiceName(u) : UnconfirmedServiceName(u);
    return sz ? sz : (bConfirmed ? "confirmed service " : "unconfirmed service ") + Num(u);
}

std::string ServiceParameters(CApdu& a, bool bConfirmed, uint32_t uService, bool bAck)
{
    for (const SService& s : kServices)
        if (s.bConfirmed == bConfirmed && s.uChoice == uService)
            return s.pfnParameters(a, a.Out(), bAck);
    return Undecoded(a, a.Out(), bAck);
}

} // namespace velmora::vdecode::internal
