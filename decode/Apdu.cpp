#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"

// The APDU header: PDU type and flags, max segments and APDU, invoke ID,
// sequence number and window, service choice. The parameters after it are
// Services.cpp's; Error, Reject and Abort are whole here.

namespace velmora::dissect::internal {

namespace {

    const char* const kApduTypes[] = { "Confirmed-Request", "Unconfirmed-Request", "SimpleACK",
        "ComplexACK", "SegmentACK", "Error", "Reject", "Abort" };

    const char* const kMaxSegments[]
        = { "unspecified", "2", "4", "8", "16", "32", "64", "more than 64" };
    const uint32_t kMaxApdu[] = { 50, 128, 206, 480, 1024, 1476 };

    // Fields of the reassembled answer point into it; those in this record's own
    // segment are moved onto its bytes, the others cover no bytes of the frame.
    void MapToFrame(SField& f, const SSegmentHook& hook, uint32_t uAnchor)
    {
        const uint32_t uOwnEnd = hook.uOwnStart + hook.uDataLength;
        if (f.uOffset >= hook.uOwnStart && f.uOffset + f.uLength <= uOwnEnd) {
            f.uOffset = hook.uDataOffset + (f.uOffset - hook.uOwnStart);
        } else {
            f.uOffset = uAnchor;
            f.uLength = 0;
        }
        for (SField& child : f.children)
            MapToFrame(child, hook, uAnchor);
    }

    // The last segment of a segmented ComplexACK: the parameters of the whole answer.
    std::string ReassembledParameters(SOut& out, CApdu& a, const SSegmentHook& hook)
    {
        const std::vector<uint8_t>& whole = *hook.pWhole;
        SField* pWhole = TREE_ADD(out, a.Node(), "Reassembled Answer",
            Num(hook.uSegments) + " segments, " + Bytes(static_cast<uint32_t>(whole.size())),
            hook.uDataOffset, hook.uDataLength);
        CApdu all(out, CReader(whole.data(), 0, static_cast<uint32_t>(whole.size())), pWhole);
        const std::string cs = ServiceParameters(all, true, hook.uService, true);
        if (pWhole)
            for (SField& f : pWhole->children)
                MapToFrame(f, hook, hook.uDataOffset);
        a.Reader().Skip(a.Reader().Left());
        return cs + " (reassembled from " + Num(hook.uSegments) + " segments)";
    }

} // namespace

// The APDU: its Info text.
std::string DecodeApdu(SOut& out, CReader r)
{
    SField* pNode = TREE_ADD(out, nullptr, "APDU", "", r.Pos(), r.Left());
    CApdu a(out, r, pNode);
    CReader& rd = a.Reader();
    uint8_t b0;
    if (!rd.U8(b0)) {
        out.Malformed("no APDU");
        return "APDU missing";
    }
    const uint32_t uType = b0 >> 4;
    if (uType > 7) {
        TREE_ADD(out, pNode, "PDU Type", Num(uType) + " (unknown)", rd.Pos() - 1, 1);
        out.Malformed("unknown APDU type " + Num(uType));
        return "APDU type " + Num(uType);
    }
    TREE_ADD(out, pNode, "PDU Type", std::string(kApduTypes[uType]) + " (" + Num(uType) + ")",
        rd.Pos() - 1, 1);
    if (pNode)
        pNode->csValue = kApduTypes[uType];

    auto Short = [&](const char* szWhat) {
        out.Malformed(std::string("the APDU ends before its ") + szWhat);
    };
    const bool bSeg = (b0 & 0x08) != 0;
    const bool bMore = (b0 & 0x04) != 0;
    // The assembler looks at every record for segments: the rest of any other
    // APDU is of no use to it, and decoding it would be most of the cost.
    if (out.pSegment && out.pSegment->bSegmentsOnly && !out.Tree() && (uType != 3 || !bSeg))
        return "";
    std::string csInfo;
    switch (uType) {
    case 0: { // Confirmed-Request
        TREE_ADD(out, pNode, "Flags",
            std::string(bSeg ? "segmented" : "unsegmented") + (bMore ? ", more follows" : "")
                + ((b0 & 0x02) ? ", segmented response accepted" : ""),
            rd.Pos() - 1, 1);
        uint8_t uMax, uInvoke, uSeq = 0, uWin = 0, uService;
        if (!rd.U8(uMax)) {
            Short("max segments/max APDU");
            return "Confirmed-Request";
        }
        const uint32_t uApduCode = uMax & 0x0f;
        TREE_ADD(
            out, pNode, "Max Segments Accepted", kMaxSegments[(uMax >> 4) & 7], rd.Pos() - 1, 1);
        TREE_ADD(out, pNode, "Max APDU Length Accepted",
            uApduCode < 6 ? Num(kMaxApdu[uApduCode]) + " bytes" : "reserved " + Num(uApduCode),
            rd.Pos() - 1, 1);
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return "Confirmed-Request";
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (bSeg) {
            if (!rd.U8(uSeq) || !rd.U8(uWin)) {
                Short("sequence number");
                return "Confirmed-Request" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
            TREE_ADD(out, pNode, "Proposed Window Size", Num(uWin), rd.Pos() - 1, 1);
        }
        if (!rd.U8(uService)) {
            Short("service choice");
            return "Confirmed-Request" + InvokeId(uInvoke);
        }
        TREE_ADD(out, pNode, "Service Choice",
            ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
        csInfo = ServiceName(true, uService) + InvokeId(uInvoke);
        if (bSeg && (uSeq != 0 || bMore)) {
            // Only the first segment starts with the parameters.
            a.Rest("Segment");
            csInfo += " segment " + Num(uSeq) + (bMore ? ", more follows" : "");
            return csInfo;
        }
        return csInfo + ServiceParameters(a, true, uService, false);
    }
    case 1: { // Unconfirmed-Request
        uint8_t uService;
        if (!rd.U8(uService)) {
            Short("service choice");
            return "Unconfirmed-Request";
        }
        TREE_ADD(out, pNode, "Service Choice",
            ServiceName(false, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
        return ServiceName(false, uService) + ServiceParameters(a, false, uService, false);
    }
    case 2: { // SimpleACK
        uint8_t uInvoke, uService;
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return "SimpleACK";
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (!rd.U8(uService)) {
            Short("service choice");
            return "SimpleACK" + InvokeId(uInvoke);
        }
        TREE_ADD(out, pNode, "Service ACK Choice",
            ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
        a.ExpectEnd();
        return "SimpleACK" + InvokeId(uInvoke) + " " + ServiceName(true, uService);
    }
    case 3: { // ComplexACK
        TREE_ADD(out, pNode, "Flags",
            std::string(bSeg ? "segmented" : "unsegmented") + (bMore ? ", more follows" : ""),
            rd.Pos() - 1, 1);
        uint8_t uInvoke, uSeq = 0, uWin = 0, uService;
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return "ComplexACK";
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (bSeg) {
            if (!rd.U8(uSeq) || !rd.U8(uWin)) {
                Short("sequence number");
                return "ComplexACK" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
            TREE_ADD(out, pNode, "Proposed Window Size", Num(uWin), rd.Pos() - 1, 1);
        }
        if (!rd.U8(uService)) {
            Short("service choice");
            return "ComplexACK" + InvokeId(uInvoke);
        }
        TREE_ADD(out, pNode, "Service ACK Choice",
            ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
        csInfo = ServiceName(true, uService) + "-ACK" + InvokeId(uInvoke);
        SSegmentHook* pHook = bSeg ? out.pSegment : nullptr;
        if (pHook) {
            pHook->bSegment = true;
            pHook->uInvoke = uInvoke;
            pHook->uSeq = uSeq;
            pHook->uService = uService;
            pHook->bMore = bMore;
            pHook->uDataOffset = rd.Pos();
            pHook->uDataLength = rd.Left();
        }
        if (pHook && pHook->pWhole)
            return csInfo + ReassembledParameters(out, a, *pHook);
        if (bSeg && (uSeq != 0 || bMore)) {
            a.Rest("Segment");
            return csInfo + " segment " + Num(uSeq) + (bMore ? ", more follows" : "")
                + (pHook ? pHook->csNote : "");
        }
        // A single segment, more follows clear: the whole answer is here.
        return csInfo + ServiceParameters(a, true, uService, true) + (pHook ? pHook->csNote : "");
    }
    case 4: { // SegmentACK
        const bool bNak = (b0 & 0x02) != 0;
        TREE_ADD(out, pNode, "Flags",
            std::string(bNak ? "negative" : "positive") + ((b0 & 0x01) ? ", from server" : ""),
            rd.Pos() - 1, 1);
        uint8_t uInvoke, uSeq, uWin;
        const char* szName = bNak ? "SegmentNAK" : "SegmentACK";
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return szName;
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (!rd.U8(uSeq) || !rd.U8(uWin)) {
            Short("sequence number");
            return szName + InvokeId(uInvoke);
        }
        TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
        TREE_ADD(out, pNode, "Actual Window Size", Num(uWin), rd.Pos() - 1, 1);
        a.ExpectEnd();
        return szName + InvokeId(uInvoke) + " seq " + Num(uSeq) + " window " + Num(uWin);
    }
    case 5: { // Error
        uint8_t uInvoke, uService;
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return "Error";
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (!rd.U8(uService)) {
            Short("service choice");
            return "Error" + InvokeId(uInvoke);
        }
        TREE_ADD(out, pNode, "Error Choice",
            ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
        csInfo = "Error" + InvokeId(uInvoke) + " " + ServiceName(true, uService);
        // Some services wrap the class and code in [0] (and add parameters after).
        STag t;
        bool bWrapped = false;
        if (a.PeekTag(t) && t.bOpening && t.uNumber == 0) {
            ReadTag(rd, t);
            bWrapped = true;
        }
        std::string csClass, csCode;
        uint64_t uClass = 0, uCode = 0;
        if (!a.AppPrimitive(kEnumerated, "Error Class", csClass, &uClass)
            || !a.AppPrimitive(kEnumerated, "Error Code", csCode, &uCode))
            return csInfo;
        const std::string csClassName = NameOr(
            ErrorClassName(static_cast<uint32_t>(uClass)), "class", static_cast<uint32_t>(uClass));
        const std::string csCodeName = NameOr(
            ErrorCodeName(static_cast<uint32_t>(uCode)), "code", static_cast<uint32_t>(uCode));
        if (pNode) {
            auto& kids = a.Node()->children;
            kids[kids.size() - 2].csValue = csClassName + " (" + csClass + ")";
            kids.back().csValue = csCodeName + " (" + csCode + ")";
        }
        csInfo += " " + csClassName + ": " + csCodeName;
        if (bWrapped) {
            if (a.PeekTag(t) && t.bClosing && t.uNumber == 0) {
                ReadTag(rd, t);
                a.Rest("Error Parameters");
            } else {
                out.Malformed("no closing tag after the error");
            }
        } else {
            a.ExpectEnd();
        }
        return csInfo;
    }
    case 6: // Reject
    case 7: { // Abort
        const bool bAbort = uType == 7;
        if (bAbort)
            TREE_ADD(
                out, pNode, "Flags", (b0 & 0x01) ? "from server" : "from client", rd.Pos() - 1, 1);
        const char* szName = bAbort ? "Abort" : "Reject";
        uint8_t uInvoke, uReason;
        if (!rd.U8(uInvoke)) {
            Short("invoke ID");
            return szName;
        }
        TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
        if (!rd.U8(uReason)) {
            Short("reason");
            return szName + InvokeId(uInvoke);
        }
        const char* szReason = bAbort ? AbortReasonName(uReason) : RejectReasonName(uReason);
        const std::string csReason = szReason
            ? szReason
            : (uReason >= 64 ? "proprietary reason " : "reason ") + Num(uReason);
        TREE_ADD(out, pNode, bAbort ? "Abort Reason" : "Reject Reason",
            csReason + " (" + Num(uReason) + ")", rd.Pos() - 1, 1);
        a.ExpectEnd();
        return szName + InvokeId(uInvoke) + " " + csReason;
    }
    }
    return csInfo;
}

} // namespace velmora::dissect::internal
