#include "decode/DecodeInternal.h"

// Link and IP: Ethernet II and 802.3, LLC and SNAP, VLAN tags, ARP, IPv4,
// IPv6, UDP and TCP. BACnet starts at the LLC SAP 0x82 and the UDP ports
// 47808-47823.

namespace velmora::dissect::internal {

namespace {

    struct SEtherTypeName {
        uint16_t uType;
        const char* szName;
    };

    const SEtherTypeName kEtherTypeNames[] = { { 0x0800, "IPv4" }, { 0x0806, "ARP" },
        { 0x0842, "Wake-on-LAN" }, { 0x22f0, "AVTP" }, { 0x6003, "DECnet" }, { 0x8035, "RARP" },
        { 0x809b, "AppleTalk" }, { 0x80f3, "AARP" }, { 0x8100, "802.1Q VLAN" }, { 0x8137, "IPX" },
        { 0x8204, "QNX Qnet" }, { 0x86dd, "IPv6" }, { 0x8808, "Ethernet flow control" },
        { 0x8809, "Slow Protocols" }, { 0x8847, "MPLS" }, { 0x8848, "MPLS multicast" },
        { 0x8863, "PPPoE Discovery" }, { 0x8864, "PPPoE Session" }, { 0x887b, "HomePlug" },
        { 0x888e, "EAPOL" }, { 0x8892, "PROFINET" }, { 0x889a, "HyperSCSI" },
        { 0x88a2, "ATA over Ethernet" }, { 0x88a4, "EtherCAT" }, { 0x88a8, "802.1ad QinQ" },
        { 0x88ab, "Ethernet Powerlink" }, { 0x88b5, "Local Experimental" },
        { 0x88b6, "Local Experimental" }, { 0x88b8, "GOOSE" }, { 0x88ba, "Sampled Values" },
        { 0x88cc, "LLDP" }, { 0x88cd, "SERCOS III" }, { 0x88e1, "HomePlug AV" }, { 0x88e3, "MRP" },
        { 0x88e5, "MACsec" }, { 0x88e7, "PBB" }, { 0x88f7, "PTP" }, { 0x88fb, "PRP" },
        { 0x8902, "CFM" }, { 0x8906, "FCoE" }, { 0x8914, "FCoE Init" }, { 0x892f, "HSR" },
        { 0x9000, "Loopback" }, { 0x9100, "VLAN" } };

    const char* EtherTypeName(uint16_t u)
    {
        for (const auto& e : kEtherTypeNames)
            if (e.uType == u)
                return e.szName;
        return nullptr;
    }

    const char* SapName(uint8_t u)
    {
        switch (u & 0xfe) {
        case 0x00:
            return "Null";
        case 0x02:
            return "LLC Sublayer Management";
        case 0x06:
            return "IP";
        case 0x0e:
            return "PROWAY";
        case 0x42:
            return "Spanning Tree";
        case 0x4e:
            return "MMS";
        case 0x7e:
            return "X.25 PLP";
        case 0x82:
            return "BACnet";
        case 0x8e:
            return "PROWAY Active Station List";
        case 0xaa:
            return "SNAP";
        case 0xe0:
            return "NetWare";
        case 0xf0:
            return "NetBIOS";
        case 0xf4:
            return "LAN Management";
        case 0xfe:
            return "ISO Network Layer";
        case 0xfc:
            return "Remote Program Load";
        default:
            return nullptr;
        }
    }

    const char* IpProtocolName(uint8_t u)
    {
        switch (u) {
        case 1:
            return "ICMP";
        case 2:
            return "IGMP";
        case 6:
            return "TCP";
        case 17:
            return "UDP";
        case 41:
            return "IPv6";
        case 47:
            return "GRE";
        case 50:
            return "ESP";
        case 51:
            return "AH";
        case 58:
            return "ICMPv6";
        case 89:
            return "OSPF";
        case 103:
            return "PIM";
        case 112:
            return "VRRP";
        case 132:
            return "SCTP";
        default:
            return nullptr;
        }
    }

    // BACnet/IP where the frame rule finds it; BACnet/IPv6 (IPv6 only) when
    // the datagram starts with its BVLC type.
    bool DecodeBacnetUdp(SOut& out, CReader r, bool bIpv4)
    {
        if (bIpv4) {
            if (out.layout.eKind != frame::EFrameKind::BacnetIp || r.Pos() != out.layout.uBvlcAt)
                return false;
            out.row.csInfo = DecodeBvlc(out, r);
            return true;
        }
        if (r.Left() < 1 || r.Peek() != 0x82)
            return false;
        out.row.csInfo = DecodeBvlc6(out, r);
        return true;
    }

    // UDP ports to the decoder of their payload; a port matches as source or
    // destination. A decoder that does not recognise the payload returns false.
    struct SUdpPort {
        uint16_t uLow, uHigh;
        bool (*pfnDecode)(SOut& out, CReader r, bool bIpv4);
    };

    const SUdpPort kUdpPorts[] = {
        { frame::kBacnetPortLow, frame::kBacnetPortHigh, DecodeBacnetUdp },
    };

    // The frame's MAC addresses as the row shows them, and how deep tags nest.
    // (The strings outlive every layer's decode: they belong to DecodeEthernet.)
    struct SLink {
        const std::string& csSrcMac;
        const std::string& csDstMac;
        int iDepth = 0;
        uint32_t uTags = 0;
    };

    struct SIpEnds {
        std::string csSrcIp, csDstIp;
    };

    // TCP, UDP or another protocol on top of IP: protocol and Info of the row.
    void DecodeTransport(SOut& out, CReader r, uint8_t uProto, const SIpEnds& ends,
        const std::string& csSrcMac, const std::string& csDstMac, const char* szIp)
    {
        auto Ends = [&](const std::string& csSrcPort, const std::string& csDstPort) {
            out.row.csSource = ends.csSrcIp + csSrcPort + " (" + csSrcMac + ")";
            out.row.csDestination = ends.csDstIp + csDstPort + " (" + csDstMac + ")";
        };
        if (uProto == 17) {
            SField* pNode = TREE_ADD(out, nullptr, "UDP", "", r.Pos(), r.Left());
            uint16_t uSrc, uDst, uLen, uSum;
            out.row.csProtocol = "UDP";
            if (!r.U16(uSrc) || !r.U16(uDst) || !r.U16(uLen) || !r.U16(uSum)) {
                out.Malformed("the UDP header is cut off");
                out.row.csInfo = "UDP header cut off";
                return;
            }
            Ends(":" + Num(uSrc), ":" + Num(uDst));
            TREE_ADD(out, pNode, "Source Port", Num(uSrc), r.Pos() - 8, 2);
            TREE_ADD(out, pNode, "Destination Port", Num(uDst), r.Pos() - 6, 2);
            TREE_ADD(out, pNode, "Length", Num(uLen), r.Pos() - 4, 2);
            TREE_ADD(out, pNode, "Checksum", Hex16(uSum), r.Pos() - 2, 2);
            if (pNode)
                out.pTree->back().csValue = Num(uSrc) + " -> " + Num(uDst);
            uint32_t uPayload = r.Left();
            if (uLen < 8) {
                out.Malformed("UDP length " + Num(uLen) + " is below its header's");
            } else if (uLen - 8u > r.Left()) {
                out.Malformed("UDP length " + Num(uLen) + " is more than the bytes present");
            } else {
                uPayload = uLen - 8u;
            }
            CReader p = r.Sub(uPayload);
            for (const SUdpPort& port : kUdpPorts) {
                const bool bSrc = uSrc >= port.uLow && uSrc <= port.uHigh;
                const bool bDst = uDst >= port.uLow && uDst <= port.uHigh;
                if ((bSrc || bDst) && port.pfnDecode(out, p, szIp[3] == '4'))
                    return;
            }
            out.row.csInfo = Num(uSrc) + " -> " + Num(uDst) + " len " + Num(uPayload);
            return;
        }
        if (uProto == 6) {
            SField* pNode = TREE_ADD(out, nullptr, "TCP", "", r.Pos(), r.Left());
            out.row.csProtocol = "TCP";
            uint16_t uSrc, uDst;
            uint64_t uSeq, uAck;
            uint8_t uOff, uFlags;
            if (!r.U16(uSrc) || !r.U16(uDst)) {
                out.Malformed("the TCP header is cut off");
                out.row.csInfo = "TCP header cut off";
                return;
            }
            Ends(":" + Num(uSrc), ":" + Num(uDst));
            TREE_ADD(out, pNode, "Source Port", Num(uSrc), r.Pos() - 4, 2);
            TREE_ADD(out, pNode, "Destination Port", Num(uDst), r.Pos() - 2, 2);
            out.row.csInfo = Num(uSrc) + " -> " + Num(uDst);
            if (!r.UN(4, uSeq) || !r.UN(4, uAck) || !r.U8(uOff) || !r.U8(uFlags)) {
                out.Malformed("the TCP header is cut off");
                return;
            }
            static const char* const kFlags[]
                = { "FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR" };
            std::string csFlags;
            for (int i = 0; i < 8; ++i)
                if (uFlags & (1 << i))
                    csFlags += (csFlags.empty() ? "" : ", ") + std::string(kFlags[i]);
            TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), r.Pos() - 10, 4);
            TREE_ADD(out, pNode, "Acknowledgment Number", Num(uAck), r.Pos() - 6, 4);
            TREE_ADD(out, pNode, "Header Length", Num((uOff >> 4) * 4u) + " bytes", r.Pos() - 2, 1);
            TREE_ADD(out, pNode, "Flags", csFlags.empty() ? "none" : csFlags, r.Pos() - 1, 1);
            if (pNode)
                out.pTree->back().csValue = out.row.csInfo;
            const uint32_t uHeader = (uOff >> 4) * 4u;
            if (uHeader < 20)
                out.Malformed("TCP header length " + Num(uHeader));
            out.row.csInfo += " [" + (csFlags.empty() ? std::string("none") : csFlags) + "]";
            const uint32_t uAfterHeader = uHeader > 14 ? uHeader - 14 : 0;
            if (uHeader >= 20 && r.Has(uAfterHeader))
                out.row.csInfo += " len " + Num(r.Left() - uAfterHeader);
            return;
        }
        Ends("", "");
        const char* szName = IpProtocolName(uProto);
        out.row.csProtocol = szName && uProto != 17 && uProto != 6 ? szName : szIp;
        out.row.csInfo = std::string(szIp) + (szIp[3] == '4' ? " protocol " : " next header ")
            + Num(uProto) + (szName ? std::string(" (") + szName + ")" : "");
        if ((uProto == 1 || uProto == 58) && r.Has(2)) {
            out.row.csInfo += " type " + Num(r.Peek()) + " code " + Num(r.Peek(1));
            TREE_ADD(out, nullptr, szName, "type " + Num(r.Peek()) + " code " + Num(r.Peek(1)),
                r.Pos(), r.Left());
        }
    }

    void DecodeIpv4(SOut& out, CReader r, const std::string& csSrcMac, const std::string& csDstMac)
    {
        SField* pNode = TREE_ADD(out, nullptr, "IPv4", "", r.Pos(), r.Left());
        out.row.csProtocol = "IPv4";
        const uint32_t uStart = r.Pos();
        if (!r.Has(20)) {
            out.Malformed("the IPv4 header is cut off");
            out.row.csInfo = "IPv4 header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uVersion = p[0] >> 4, uIhl = (p[0] & 15) * 4u;
        const uint32_t uTotal = static_cast<uint32_t>(p[2] << 8 | p[3]);
        const uint32_t uFrag = static_cast<uint32_t>((p[6] & 0x1f) << 8 | p[7]);
        const bool bMoreFrags = (p[6] & 0x20) != 0;
        const uint8_t uProto = p[9];
        SIpEnds ends { Ipv4(p + 12), Ipv4(p + 16) };
        out.row.csSource = ends.csSrcIp + " (" + csSrcMac + ")";
        out.row.csDestination = ends.csDstIp + " (" + csDstMac + ")";
        TREE_ADD(out, pNode, "Version", Num(uVersion), uStart, 1);
        TREE_ADD(out, pNode, "Header Length", Num(uIhl) + " bytes", uStart, 1);
        TREE_ADD(out, pNode, "Total Length", Num(uTotal), uStart + 2, 2);
        TREE_ADD(out, pNode, "Identification", Hex16(static_cast<uint32_t>(p[4] << 8 | p[5])),
            uStart + 4, 2);
        TREE_ADD(out, pNode, "Fragment Offset",
            Num(uFrag * 8) + ((p[6] & 0x40) ? ", don't fragment" : "")
                + (bMoreFrags ? ", more fragments" : ""),
            uStart + 6, 2);
        TREE_ADD(out, pNode, "Time to Live", Num(p[8]), uStart + 8, 1);
        const char* szProto = IpProtocolName(uProto);
        TREE_ADD(out, pNode, "Protocol",
            (szProto ? std::string(szProto) + " " : "") + "(" + Num(uProto) + ")", uStart + 9, 1);
        TREE_ADD(out, pNode, "Source", ends.csSrcIp, uStart + 12, 4);
        TREE_ADD(out, pNode, "Destination", ends.csDstIp, uStart + 16, 4);
        if (pNode)
            out.pTree->back().csValue = ends.csSrcIp + " -> " + ends.csDstIp;
        if (uVersion != 4 || uIhl < 20) {
            out.Malformed("IPv4 version " + Num(uVersion) + ", header length " + Num(uIhl));
            out.row.csInfo = "IPv4 header invalid";
            return;
        }
        if (!r.Has(uIhl)) {
            out.Malformed("the IPv4 options are cut off");
            out.row.csInfo = "IPv4 header cut off";
            return;
        }
        uint32_t uPayload = r.Left() - uIhl;
        if (uTotal < uIhl) {
            out.Malformed("IPv4 total length " + Num(uTotal) + " is below its header's");
        } else if (uTotal > r.Left()) {
            out.Malformed("IPv4 total length " + Num(uTotal) + " is more than the bytes present");
        } else {
            uPayload = uTotal - uIhl; // the rest is Ethernet padding
        }
        r.Skip(uIhl);
        if (uFrag != 0) {
            out.row.csInfo = "IPv4 fragment of " + std::string(szProto ? szProto : Num(uProto))
                + " at offset " + Num(uFrag * 8);
            return;
        }
        DecodeTransport(out, r.Sub(uPayload), uProto, ends, csSrcMac, csDstMac, "IPv4");
        if (bMoreFrags)
            out.row.csInfo += " (first fragment)";
    }

    void DecodeIpv6(SOut& out, CReader r, const std::string& csSrcMac, const std::string& csDstMac)
    {
        SField* pNode = TREE_ADD(out, nullptr, "IPv6", "", r.Pos(), r.Left());
        out.row.csProtocol = "IPv6";
        if (!r.Has(40)) {
            out.Malformed("the IPv6 header is cut off");
            out.row.csInfo = "IPv6 header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uStart = r.Pos();
        const uint32_t uPayloadLen = static_cast<uint32_t>(p[4] << 8 | p[5]);
        const uint8_t uNext = p[6];
        SIpEnds ends { Ipv6(p + 8), Ipv6(p + 24) };
        // A port goes after an IPv6 address in brackets.
        ends.csSrcIp = "[" + ends.csSrcIp + "]";
        ends.csDstIp = "[" + ends.csDstIp + "]";
        out.row.csSource = ends.csSrcIp + " (" + csSrcMac + ")";
        out.row.csDestination = ends.csDstIp + " (" + csDstMac + ")";
        const char* szNext = IpProtocolName(uNext);
        TREE_ADD(out, pNode, "Version", Num(p[0] >> 4), uStart, 1);
        TREE_ADD(out, pNode, "Payload Length", Num(uPayloadLen), uStart + 4, 2);
        TREE_ADD(out, pNode, "Next Header",
            (szNext ? std::string(szNext) + " " : "") + "(" + Num(uNext) + ")", uStart + 6, 1);
        TREE_ADD(out, pNode, "Hop Limit", Num(p[7]), uStart + 7, 1);
        TREE_ADD(out, pNode, "Source", Ipv6(p + 8), uStart + 8, 16);
        TREE_ADD(out, pNode, "Destination", Ipv6(p + 24), uStart + 24, 16);
        if ((p[0] >> 4) != 6)
            out.Malformed("IPv6 version " + Num(p[0] >> 4));
        r.Skip(40);
        uint32_t uPayload = r.Left();
        if (uPayloadLen > r.Left())
            out.Malformed(
                "IPv6 payload length " + Num(uPayloadLen) + " is more than the bytes present");
        else
            uPayload = uPayloadLen;
        r = r.Sub(uPayload);
        // Extension headers before the transport: hop-by-hop, routing, fragment,
        // destination options, authentication. A few at most; more is a loop.
        uint8_t uProto = uNext;
        bool bFirstFragment = false;
        for (int i = 0; i < 8; ++i) {
            const char* szExt = uProto == 0 ? "Hop-by-Hop Options"
                : uProto == 43              ? "Routing"
                : uProto == 44              ? "Fragment"
                : uProto == 60              ? "Destination Options"
                : uProto == 51              ? "Authentication Header"
                                            : nullptr;
            if (!szExt)
                break;
            if (!r.Has(8)) {
                out.Malformed(std::string("the IPv6 ") + szExt + " header is cut off");
                out.row.csInfo = "IPv6 extension header cut off";
                return;
            }
            const uint8_t* e = r.Here();
            const uint32_t uLen = uProto == 44 ? 8
                : uProto == 51                 ? (e[1] + 2u) * 4
                                               : (e[1] + 1u) * 8;
            if (!r.Has(uLen)) {
                out.Malformed(std::string("the IPv6 ") + szExt + " header is cut off");
                out.row.csInfo = "IPv6 extension header cut off";
                return;
            }
            const char* szInner = IpProtocolName(e[0]);
            std::string csExt = Bytes(uLen) + ", next " + (szInner ? szInner : Num(e[0]));
            if (uProto == 44) {
                const uint32_t uOffset = static_cast<uint32_t>(e[2] << 8 | (e[3] & 0xf8));
                const bool bMore = (e[3] & 1) != 0;
                csExt += ", offset " + Num(uOffset) + (bMore ? ", more fragments" : "");
                TREE_ADD(out, pNode, szExt, csExt, r.Pos(), uLen);
                if (uOffset != 0) {
                    out.row.csInfo = "IPv6 fragment of " + (szInner ? szInner : Num(e[0]))
                        + " at offset " + Num(uOffset);
                    return;
                }
                bFirstFragment = bMore;
            } else {
                TREE_ADD(out, pNode, szExt, csExt, r.Pos(), uLen);
            }
            uProto = e[0];
            r.Skip(uLen);
        }
        DecodeTransport(out, r, uProto, ends, csSrcMac, csDstMac, "IPv6");
        if (bFirstFragment)
            out.row.csInfo += " (first fragment)";
    }

    void DecodeArp(SOut& out, CReader r)
    {
        SField* pNode = TREE_ADD(out, nullptr, "ARP", "", r.Pos(), r.Left());
        out.row.csProtocol = "ARP";
        if (!r.Has(8)) {
            out.Malformed("the ARP header is cut off");
            out.row.csInfo = "ARP header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uStart = r.Pos();
        const uint32_t uHw = static_cast<uint32_t>(p[0] << 8 | p[1]);
        const uint32_t uProto = static_cast<uint32_t>(p[2] << 8 | p[3]);
        const uint32_t uOp = static_cast<uint32_t>(p[6] << 8 | p[7]);
        TREE_ADD(out, pNode, "Hardware Type", Num(uHw), uStart, 2);
        TREE_ADD(out, pNode, "Protocol Type", Hex16(uProto), uStart + 2, 2);
        TREE_ADD(out, pNode, "Operation",
            uOp == 1       ? "request (1)"
                : uOp == 2 ? "reply (2)"
                           : Num(uOp),
            uStart + 6, 2);
        if (uHw != 1 || uProto != 0x0800 || p[4] != 6 || p[5] != 4) {
            out.row.csInfo = "ARP hardware " + Num(uHw) + ", protocol " + Hex16(uProto)
                + ", operation " + Num(uOp);
            return;
        }
        if (!r.Has(28)) {
            out.Malformed("the ARP addresses are cut off");
            out.row.csInfo = "ARP " + std::string(uOp == 1 ? "request" : "reply") + ", cut off";
            return;
        }
        const std::string csSenderIp = Ipv4(p + 14), csTargetIp = Ipv4(p + 24);
        TREE_ADD(out, pNode, "Sender MAC", Mac(p + 8), uStart + 8, 6);
        TREE_ADD(out, pNode, "Sender IP", csSenderIp, uStart + 14, 4);
        TREE_ADD(out, pNode, "Target MAC", Mac(p + 18), uStart + 18, 6);
        TREE_ADD(out, pNode, "Target IP", csTargetIp, uStart + 24, 4);
        if (uOp == 1) {
            out.row.csInfo = csSenderIp == csTargetIp
                ? "gratuitous ARP for " + csSenderIp
                : "who has " + csTargetIp + "? tell " + csSenderIp;
        } else if (uOp == 2) {
            out.row.csInfo = csSenderIp + " is at " + Mac(p + 8);
        } else {
            out.row.csInfo = "ARP operation " + Num(uOp);
        }
        if (pNode)
            out.pTree->back().csValue = out.row.csInfo;
    }

    void DecodeEtherType(SOut& out, CReader r, uint16_t uType, const SLink& link);

    // BACnet/Ethernet: the NPDU follows the LLC header.
    void DecodeBacnetLlc(SOut& out, CReader r, const SLink&, SField* pLlc)
    {
        if (out.layout.eKind != frame::EFrameKind::BacnetEthernet
            || r.Pos() != out.layout.uLlcAt + 3) {
            out.row.csInfo = "LLC 82 82 03 outside the BACnet frame rule";
            return;
        }
        if (pLlc)
            pLlc->csValue = "BACnet";
        out.row.csProtocol = "BACnet/Ethernet";
        out.row.csInfo = DecodeNpdu(out, r);
    }

    // SNAP: an OUI and a type; OUI 0 carries an EtherType.
    void DecodeSnap(SOut& out, CReader r, const SLink& link, SField* pLlc)
    {
        if (!r.Has(5)) {
            out.Malformed("the SNAP header is cut off");
            out.row.csInfo = "SNAP header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint16_t uType = static_cast<uint16_t>(p[3] << 8 | p[4]);
        TREE_ADD(out, pLlc, "SNAP OUI", Hex(p, 3, ":"), r.Pos(), 3);
        TREE_ADD(out, pLlc, "SNAP Type", Hex16(uType), r.Pos() + 3, 2);
        r.Skip(5);
        if (p[0] == 0 && p[1] == 0 && p[2] == 0) {
            DecodeEtherType(
                out, r, uType, { link.csSrcMac, link.csDstMac, link.iDepth + 1, link.uTags });
            return;
        }
        out.row.csInfo = "SNAP OUI " + Hex(p, 3, ":") + " type " + Hex16(uType);
    }

    // LLC SAPs (the same as DSAP and SSAP, UI frames) to the decoder of what follows.
    struct SSap {
        uint8_t uSap;
        void (*pfnDecode)(SOut& out, CReader r, const SLink& link, SField* pLlc);
    };

    const SSap kSaps[] = {
        { 0x82, DecodeBacnetLlc },
        { 0xaa, DecodeSnap },
    };

    void DecodeLlc(SOut& out, CReader r, const SLink& link)
    {
        SField* pNode = TREE_ADD(out, nullptr, "LLC", "", r.Pos(), r.Left());
        out.row.csProtocol = "LLC";
        uint8_t uDsap, uSsap, uControl;
        if (!r.U8(uDsap) || !r.U8(uSsap) || !r.U8(uControl)) {
            out.Malformed("the LLC header is cut off");
            out.row.csInfo = "LLC header cut off";
            return;
        }
        const uint32_t uAt = r.Pos() - 3;
        const char* szDsap = SapName(uDsap);
        const char* szSsap = SapName(uSsap);
        TREE_ADD(out, pNode, "DSAP", Hex8(uDsap) + (szDsap ? std::string(" (") + szDsap + ")" : ""),
            uAt, 1);
        TREE_ADD(out, pNode, "SSAP",
            Hex8(uSsap & 0xfe) + (szSsap ? std::string(" (") + szSsap + ")" : "")
                + ((uSsap & 1) ? ", response" : ", command"),
            uAt + 1, 1);
        std::string csControl;
        uint32_t uControlLen = 1;
        if ((uControl & 3) == 3) {
            csControl = uControl == 0x03 ? "UI" : "U " + Hex8(uControl);
        } else {
            // I and S frames carry a second control byte.
            uint8_t u2;
            if (!r.U8(u2)) {
                out.Malformed("the LLC control field is cut off");
                out.row.csInfo = "LLC control cut off";
                return;
            }
            uControlLen = 2;
            csControl = (uControl & 1) ? "S" : "I";
        }
        TREE_ADD(out, pNode, "Control", csControl, uAt + 2, uControlLen);
        if (pNode)
            pNode = &out.pTree->back();
        if (uDsap == uSsap && uControl == 0x03) {
            for (const SSap& sap : kSaps) {
                if (sap.uSap == uDsap) {
                    sap.pfnDecode(out, r, link, pNode);
                    return;
                }
            }
        }
        out.row.csInfo = "DSAP " + Hex8(uDsap) + " SSAP " + Hex8(uSsap & 0xfe);
        if (szDsap && (uDsap & 0xfe) == (uSsap & 0xfe))
            out.row.csInfo += std::string(" (") + szDsap + ")";
        out.row.csInfo += " " + csControl;
        if (pNode)
            pNode->csValue = out.row.csInfo;
    }

    // 802.1Q and 802.1ad: a tag, then the inner EtherType (nested a few deep at most).
    void DecodeVlan(SOut& out, CReader r, uint16_t uType, const SLink& link)
    {
        uint16_t uTci, uInner;
        if (!r.U16(uTci) || !r.U16(uInner)) {
            out.Malformed("the VLAN tag is cut off");
            out.row.csProtocol = EtherTypeName(uType);
            out.row.csInfo = "VLAN tag cut off";
            return;
        }
        TREE_ADD(out, nullptr,
            uType == 0x8100       ? "802.1Q VLAN"
                : uType == 0x88a8 ? "802.1ad QinQ"
                                  : "VLAN (0x9100)",
            "ID " + Num(uTci & 0x0fffu) + ", priority " + Num(uTci >> 13u) + ", type "
                + Hex16(uInner),
            r.Pos() - 4, 4);
        DecodeEtherType(
            out, r, uInner, { link.csSrcMac, link.csDstMac, link.iDepth + 1, link.uTags + 1 });
        out.row.csInfo = "VLAN " + Num(uTci & 0x0fffu) + ": " + out.row.csInfo;
    }

    void DecodeIpv4Type(SOut& out, CReader r, uint16_t, const SLink& link)
    {
        DecodeIpv4(out, r, link.csSrcMac, link.csDstMac);
    }

    void DecodeIpv6Type(SOut& out, CReader r, uint16_t, const SLink& link)
    {
        DecodeIpv6(out, r, link.csSrcMac, link.csDstMac);
    }

    void DecodeArpType(SOut& out, CReader r, uint16_t, const SLink&)
    {
        DecodeArp(out, r);
    }

    // EtherTypes decoded here; the others show their name and first bytes.
    struct SEtherType {
        uint16_t uType;
        void (*pfnDecode)(SOut& out, CReader r, uint16_t uType, const SLink& link);
    };

    const SEtherType kEtherTypes[] = {
        { 0x0800, DecodeIpv4Type },
        { 0x86dd, DecodeIpv6Type },
        { 0x0806, DecodeArpType },
        { 0x8100, DecodeVlan },
        { 0x88a8, DecodeVlan },
        { 0x9100, DecodeVlan },
    };

    void DecodeEtherType(SOut& out, CReader r, uint16_t uType, const SLink& link)
    {
        if (uType <= frame::kMax8023Length && link.uTags > 0) {
            // 802.3 behind a tag: the length, LLC after it, padding past it.
            TREE_ADD(out, nullptr, "802.3 Length", Num(uType), r.Pos() - 2, 2);
            if (uType > r.Left()) {
                out.Malformed("the 802.3 length " + Num(uType) + " is more than the "
                    + Num(r.Left()) + " bytes present");
            }
            DecodeLlc(out, r.Sub(uType), link);
            return;
        }
        // Tags past the rule's last are shown as data: the frame is not BACnet.
        const bool bVlan = frame::IsVlanTpid(uType);
        for (const SEtherType& e : kEtherTypes) {
            if (e.uType == uType && (!bVlan || link.uTags < frame::kMaxVlanTags)) {
                e.pfnDecode(out, r, uType, link);
                return;
            }
        }
        const char* szName = EtherTypeName(uType);
        out.row.csProtocol = szName ? szName : "Ethernet";
        out.row.csInfo = "EtherType " + Hex16(uType)
            + (szName ? std::string(" (") + szName + ")" : "") + ": " + FirstBytes(r);
        TREE_ADD(out, nullptr, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
    }

} // namespace

void DecodeEthernet(SOut& out, CReader r)
{
    SRow& row = out.row;
    const uint32_t uLen = r.Left();
    if (!r.Has(14)) {
        if (r.Has(6))
            row.csDestination = Mac(r.Here());
        if (r.Has(12))
            row.csSource = Mac(r.Here() + 6);
        row.csProtocol = "Ethernet";
        row.csInfo = "frame of " + Num(uLen) + " bytes, shorter than an Ethernet header";
        out.Malformed("shorter than an Ethernet header");
    } else {
        const std::string csDst = Mac(r.Here()), csSrc = Mac(r.Here() + 6);
        out.layout = frame::LocateFrame(r.Here(), r.Left());
        row.csDestination = csDst;
        row.csSource = csSrc;
        r.Skip(12);
        uint16_t uType = 0;
        r.U16(uType);
        if (uType <= 1500) {
            // 802.3: a length, and LLC after it; the bytes past it are padding.
            SField* pEth = TREE_ADD(out, nullptr, "IEEE 802.3 Ethernet", "", 0, 14);
            TREE_ADD(out, pEth, "Destination", csDst, 0, 6);
            TREE_ADD(out, pEth, "Source", csSrc, 6, 6);
            TREE_ADD(out, pEth, "Length", Num(uType), 12, 2);
            if (uType > r.Left()) {
                out.Malformed("the 802.3 length " + Num(uType) + " is more than the "
                    + Num(r.Left()) + " bytes present");
            }
            DecodeLlc(out, r.Sub(uType), { csSrc, csDst, 0 });
        } else if (uType < 0x0600) {
            TREE_ADD(out, nullptr, "Ethernet", "type/length " + Num(uType) + " is neither", 12, 2);
            row.csProtocol = "Ethernet";
            row.csInfo = "type/length field " + Hex16(uType) + ": " + FirstBytes(r);
            out.Malformed("the type/length field is neither a length nor an EtherType");
        } else {
            SField* pEth = TREE_ADD(out, nullptr, "Ethernet II", "", 0, 14);
            const char* szName = EtherTypeName(uType);
            TREE_ADD(out, pEth, "Destination", csDst, 0, 6);
            TREE_ADD(out, pEth, "Source", csSrc, 6, 6);
            TREE_ADD(out, pEth, "Type",
                Hex16(uType) + (szName ? std::string(" (") + szName + ")" : ""), 12, 2);
            DecodeEtherType(out, r, uType, { csSrc, csDst, 0 });
        }
    }
}

} // namespace velmora::dissect::internal
