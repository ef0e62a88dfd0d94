#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"

// The NPDU: version, control, the routed destination and source, hop count,
// then either a network-layer message (decoded here) or an APDU (Apdu.cpp).

namespace velmora::dissect::internal {

namespace {

    const char* const kPriorities[] = { "normal", "urgent", "critical-equipment", "life-safety" };

    const char* const kRejectNetworkReasons[]
        = { "other", "not a router to the network", "router busy", "unknown network message type",
              "message too long", "security error", "addressing error" };

    // The network-layer message: its Info text.
    std::string DecodeNetworkMessage(SOut& out, CReader& r, SField* pNode)
    {
        uint8_t uType;
        if (!r.U8(uType)) {
            out.Malformed("the NPDU ends before its message type");
            return "network message";
        }
        const char* szName = NetworkMessageName(uType);
        const std::string csName = szName ? szName
            : uType >= 0x80               ? "proprietary network message " + Hex8(uType)
                                          : "network message " + Hex8(uType);
        TREE_ADD(out, pNode, "Message Type", csName + " (" + Hex8(uType) + ")", r.Pos() - 1, 1);
        if (uType >= 0x80) {
            uint16_t uVendor;
            if (!r.U16(uVendor)) {
                out.Malformed("the NPDU ends before its vendor ID");
                return csName;
            }
            TREE_ADD(out, pNode, "Vendor ID", Num(uVendor), r.Pos() - 2, 2);
            if (r.Left())
                TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
            return csName;
        }
        std::string cs = csName;
        auto Networks = [&](bool bOneOptional) {
            std::string csList;
            while (r.Left() >= 2) {
                uint16_t uNet;
                r.U16(uNet);
                TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
                csList += (csList.empty() ? " " : ", ") + Num(uNet);
                if (bOneOptional)
                    break;
            }
            if (r.Left()) {
                out.Malformed("an odd byte after the network numbers");
                r.Skip(r.Left());
            }
            return csList;
        };
        switch (uType) {
        case 0x00: // Who-Is-Router: an optional network
            return cs + Networks(true);
        case 0x01: // I-Am-Router, Router-Busy, Router-Available: a list
        case 0x04:
        case 0x05: {
            const std::string csList = Networks(false);
            if (csList.empty() && uType == 0x01)
                out.Malformed("no network numbers");
            return cs + csList;
        }
        case 0x02: { // I-Could-Be-Router: network, performance index
            uint16_t uNet;
            uint8_t uPerf;
            if (!r.U16(uNet) || !r.U8(uPerf)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 3, 2);
            TREE_ADD(out, pNode, "Performance Index", Num(uPerf), r.Pos() - 1, 1);
            return cs + " " + Num(uNet);
        }
        case 0x03: { // Reject-Message: reason, network
            uint8_t uReason;
            uint16_t uNet;
            if (!r.U8(uReason) || !r.U16(uNet)) {
                out.Malformed("the message ends early");
                return cs;
            }
            const std::string csReason
                = uReason < 7 ? kRejectNetworkReasons[uReason] : "reason " + Num(uReason);
            TREE_ADD(
                out, pNode, "Reject Reason", csReason + " (" + Num(uReason) + ")", r.Pos() - 3, 1);
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
            return cs + " " + Num(uNet) + ": " + csReason;
        }
        case 0x06: // Initialize-Routing-Table (-Ack): ports
        case 0x07: {
            uint8_t uPorts;
            if (!r.U8(uPorts)) {
                if (uType == 0x07)
                    return cs; // an empty Ack is allowed
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Number of Ports", Num(uPorts), r.Pos() - 1, 1);
            for (uint32_t i = 0; i < uPorts; ++i) {
                uint16_t uNet;
                uint8_t uPort, uInfoLen;
                const uint32_t uAt = r.Pos();
                if (!r.U16(uNet) || !r.U8(uPort) || !r.U8(uInfoLen) || !r.Skip(uInfoLen)) {
                    out.Malformed("a routing table entry is cut off");
                    return cs;
                }
                TREE_ADD(out, pNode, "Port", "network " + Num(uNet) + ", port " + Num(uPort), uAt,
                    r.Pos() - uAt);
            }
            return cs + ", " + Num(uPorts) + (uPorts == 1 ? " port" : " ports");
        }
        case 0x08: // Establish-Connection: network, time
        case 0x09: { // Disconnect-Connection: network
            uint16_t uNet;
            if (!r.U16(uNet)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
            if (uType == 0x08) {
                uint8_t uTime;
                if (!r.U8(uTime)) {
                    out.Malformed("the message ends early");
                    return cs;
                }
                TREE_ADD(out, pNode, "Termination Time", Num(uTime) + " s", r.Pos() - 1, 1);
            }
            return cs + " " + Num(uNet);
        }
        case 0x13: { // Network-Number-Is: network, flag
            uint16_t uNet;
            uint8_t uFlag;
            if (!r.U16(uNet) || !r.U8(uFlag)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 3, 2);
            TREE_ADD(out, pNode, "Flag", uFlag ? "configured" : "learned", r.Pos() - 1, 1);
            return cs + " " + Num(uNet) + (uFlag ? " (configured)" : " (learned)");
        }
        default:
            if (r.Left())
                TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
            return cs;
        }
    }

} // namespace

std::string NetworkAddress(const uint8_t* p, uint32_t n)
{
    if (n == 0)
        return "broadcast";
    if (n == 6) // a B/IP address: IPv4 and port
        return Ipv4(p) + ":" + Num(static_cast<uint32_t>(p[4] << 8 | p[5]));
    if (n == 18) // a B/IPv6 address: IPv6 and port
        return "[" + Ipv6(p) + "]:" + Num(static_cast<uint32_t>(p[16] << 8 | p[17]));
    if (n == 1)
        return Num(p[0]);
    return Hex(p, n, ":");
}

// The NPDU and what it carries: the Info text.
std::string DecodeNpdu(SOut& out, CReader r)
{
    SField* pNode = TREE_ADD(out, nullptr, "NPDU", "", r.Pos(), r.Left());
    uint8_t uVersion, uControl;
    if (!r.U8(uVersion)) {
        out.Malformed("no NPDU");
        return "NPDU missing";
    }
    TREE_ADD(out, pNode, "Version", Num(uVersion), r.Pos() - 1, 1);
    if (uVersion != 1) {
        out.Malformed("NPDU version " + Num(uVersion));
        return "NPDU version " + Num(uVersion);
    }
    if (!r.U8(uControl)) {
        out.Malformed("the NPDU ends before its control octet");
        return "NPDU";
    }
    const bool bNetMsg = (uControl & 0x80) != 0;
    const bool bDnet = (uControl & 0x20) != 0;
    const bool bSnet = (uControl & 0x08) != 0;
    const bool bReply = (uControl & 0x04) != 0;
    if (SField* pControl = TREE_ADD(out, pNode, "Control", Hex8(uControl), r.Pos() - 1, 1)) {
        const uint32_t uAt = r.Pos() - 1;
        TREE_ADD(out, pControl, bNetMsg ? "Network-layer message" : "APDU", "", uAt, 1);
        TREE_ADD(out, pControl, "Destination", bDnet ? "present" : "absent", uAt, 1);
        TREE_ADD(out, pControl, "Source", bSnet ? "present" : "absent", uAt, 1);
        TREE_ADD(out, pControl, "Expecting Reply", bReply ? "yes" : "no", uAt, 1);
        TREE_ADD(out, pControl, "Priority", kPriorities[uControl & 3], uAt, 1);
        if (uControl & 0x50)
            TREE_ADD(out, pControl, "Reserved bits", "set (should be 0)", uAt, 1);
    }
    auto Address = [&](const char* szNet, const char* szLen, const char* szAdr,
                       std::string& csAddr) {
        uint16_t uNet;
        uint8_t uLen;
        if (!r.U16(uNet)) {
            out.Malformed(std::string("the NPDU ends before ") + szNet);
            return false;
        }
        TREE_ADD(out, pNode, szNet, uNet == 0xffff ? "65535 (global broadcast)" : Num(uNet),
            r.Pos() - 2, 2);
        if (!r.U8(uLen)) {
            out.Malformed(std::string("the NPDU ends before ") + szLen);
            return false;
        }
        TREE_ADD(out, pNode, szLen, Num(uLen), r.Pos() - 1, 1);
        if (!r.Has(uLen)) {
            out.Malformed(std::string("the NPDU ends inside ") + szAdr);
            return false;
        }
        csAddr = uNet == 0xffff ? "global broadcast"
            : uLen == 0         ? "broadcast on network " + Num(uNet)
                        : "network " + Num(uNet) + " address " + NetworkAddress(r.Here(), uLen);
        if (uLen)
            TREE_ADD(out, pNode, szAdr, NetworkAddress(r.Here(), uLen), r.Pos(), uLen);
        r.Skip(uLen);
        return true;
    };
    std::string csDest, csSrc;
    if (bDnet && !Address("DNET", "DLEN", "DADR", csDest))
        return "NPDU";
    if (bSnet) {
        const uint32_t uAt = r.Pos();
        if (!Address("SNET", "SLEN", "SADR", csSrc))
            return "NPDU";
        if (r.Pos() - uAt == 3)
            out.Malformed("SLEN 0: a source address cannot be a broadcast");
    }
    if (bDnet) {
        uint8_t uHop;
        if (!r.U8(uHop)) {
            out.Malformed("the NPDU ends before its hop count");
            return "NPDU";
        }
        TREE_ADD(out, pNode, "Hop Count", Num(uHop), r.Pos() - 1, 1);
    }
    if (pNode) {
        pNode = &out.pTree->back();
        pNode->csValue = std::string(bNetMsg ? "network message" : "APDU")
            + (bReply ? ", expecting reply" : "") + (csDest.empty() ? "" : ", to " + csDest)
            + (csSrc.empty() ? "" : ", from " + csSrc);
        pNode->uLength = bNetMsg ? pNode->uLength : r.Pos() - pNode->uOffset;
    }
    if (bNetMsg)
        return DecodeNetworkMessage(out, r, pNode);
    if (out.pSegment)
        out.pSegment->csNetEnds = csDest + "|" + csSrc;
    return DecodeApdu(out, r);
}

} // namespace velmora::dissect::internal
