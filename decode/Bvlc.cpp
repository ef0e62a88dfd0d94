#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"

// BACnet/IP's BVLC: type, function, length, then what the function carries.
// The functions that carry an NPDU hand it on to Npdu.cpp.

namespace velmora::dissect::internal {

namespace {

    // One BVLC function's body, r over the bytes the BVLC length gives; the Info text.
    using FnBvlc
        = std::string (*)(SOut& out, CReader& r, SField* pNode, const std::string& csFunction);

    // Table entries of a BDT (address, mask) or an FDT (address, time-to-live, time left).
    std::string Entries(
        SOut& out, CReader& r, SField* pNode, uint32_t uSize, const char* szName, bool bTtl)
    {
        uint32_t uCount = 0;
        while (r.Left() >= uSize) {
            const uint8_t* p = r.Here();
            std::string cs = Ipv4(p) + ":" + Num(static_cast<uint32_t>(p[4] << 8 | p[5]));
            if (bTtl)
                cs += ", ttl " + Num(static_cast<uint32_t>(p[6] << 8 | p[7])) + " s, "
                    + Num(static_cast<uint32_t>(p[8] << 8 | p[9])) + " s left";
            else
                cs += " mask " + Ipv4(p + 6);
            TREE_ADD(out, pNode, szName, cs, r.Pos(), uSize);
            r.Skip(uSize);
            ++uCount;
        }
        if (r.Left())
            out.Malformed("a table entry is cut off");
        return ", " + Num(uCount) + (uCount == 1 ? " entry" : " entries");
    }

    std::string ResultOf(SOut& out, CReader& r, SField* pNode, const std::string& csFunction,
        const char* (*pfnName)(uint32_t))
    {
        uint16_t uCode;
        if (!r.U16(uCode)) {
            out.Malformed("BVLC-Result without a result code");
            return csFunction;
        }
        const char* sz = pfnName(uCode);
        const std::string cs = sz ? sz : "result " + Hex16(uCode);
        TREE_ADD(out, pNode, "Result Code", cs + " (" + Hex16(uCode) + ")", r.Pos() - 2, 2);
        return csFunction + ": " + cs;
    }

    std::string Result(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return ResultOf(out, r, pNode, csFunction, BvlcResultName);
    }

    std::string BdtEntries(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return csFunction + Entries(out, r, pNode, 10, "BDT Entry", false);
    }

    std::string FdtEntries(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return csFunction + Entries(out, r, pNode, 10, "FDT Entry", true);
    }

    std::string NoBody(SOut&, CReader&, SField*, const std::string& csFunction)
    {
        return csFunction;
    }

    std::string RegisterForeignDevice(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        uint16_t uTtl;
        if (!r.U16(uTtl)) {
            out.Malformed("Register-Foreign-Device without a time-to-live");
            return csFunction;
        }
        TREE_ADD(out, pNode, "Time-to-Live", Num(uTtl) + " s", r.Pos() - 2, 2);
        return csFunction + " ttl " + Num(uTtl) + " s";
    }

    std::string DeleteFdtEntry(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        if (!r.Has(6)) {
            out.Malformed("the entry's address is cut off");
            return csFunction;
        }
        const std::string cs = NetworkAddress(r.Here(), 6);
        TREE_ADD(out, pNode, "FDT Entry", cs, r.Pos(), 6);
        return csFunction + " " + cs;
    }

    std::string Npdu(SOut& out, CReader& r, SField*, const std::string&)
    {
        out.row.csProtocol = "BACnet/IP";
        return DecodeNpdu(out, r);
    }

    // Forwarded-NPDU: the originating B/IP address, then the NPDU.
    std::string ForwardedNpdu(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        if (!r.Has(6)) {
            out.Malformed("the originating address is cut off");
            return csFunction;
        }
        const std::string csFrom = NetworkAddress(r.Here(), 6);
        TREE_ADD(out, pNode, "Original Source", csFrom, r.Pos(), 6);
        r.Skip(6);
        return Npdu(out, r, pNode, csFunction) + " (from " + csFrom + ")";
    }

    struct SBvlcFunction {
        uint8_t uFunction;
        FnBvlc pfnDecode;
    };

    const SBvlcFunction kBvlcFunctions[] = {
        { 0x00, Result }, { 0x01, BdtEntries }, // Write-Broadcast-Distribution-Table
        { 0x02, NoBody }, // Read-Broadcast-Distribution-Table
        { 0x03, BdtEntries }, // Read-Broadcast-Distribution-Table-Ack
        { 0x04, ForwardedNpdu }, { 0x05, RegisterForeignDevice },
        { 0x06, NoBody }, // Read-Foreign-Device-Table
        { 0x07, FdtEntries }, // Read-Foreign-Device-Table-Ack
        { 0x08, DeleteFdtEntry }, { 0x09, Npdu }, // Distribute-Broadcast-To-Network
        { 0x0a, Npdu }, // Original-Unicast-NPDU
        { 0x0b, Npdu }, // Original-Broadcast-NPDU
    };

    // ---------------------------------------------------------------------------
    // BACnet/IPv6: every function starts with the sender's 3-byte virtual address.

    // The virtual MAC addresses (and the B/IPv6 address) a function starts with;
    // false when they are cut off.
    bool Vmacs(SOut& out, CReader& r, SField* pNode, const char* const* names, uint32_t uCount,
        std::string* pcsFirst = nullptr)
    {
        for (uint32_t i = 0; i < uCount; ++i) {
            // A virtual address is 3 bytes; a B/IPv6 address, IPv6 and port, 18.
            const bool bVirtual = std::string(names[i]).find("Virtual") != std::string::npos;
            const uint32_t n = bVirtual ? 3 : 18;
            if (!r.Has(n)) {
                out.Malformed(std::string("the ") + names[i] + " is cut off");
                return false;
            }
            const std::string cs = NetworkAddress(r.Here(), n);
            TREE_ADD(out, pNode, names[i], cs, r.Pos(), n);
            if (i == 0 && pcsFirst)
                *pcsFirst = cs;
            r.Skip(n);
        }
        return true;
    }

    const char* const kSource[] = { "Source Virtual Address" };
    const char* const kSourceDest[] = { "Source Virtual Address", "Destination Virtual Address" };
    const char* const kSourceTarget[] = { "Source Virtual Address", "Target Virtual Address" };

    std::string Result6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        if (!Vmacs(out, r, pNode, kSource, 1))
            return csFunction;
        return ResultOf(out, r, pNode, csFunction, Bvlc6ResultName);
    }

    std::string Npdu6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction,
        const char* const* names, uint32_t uCount)
    {
        if (!Vmacs(out, r, pNode, names, uCount))
            return csFunction;
        out.row.csProtocol = "BACnet/IPv6";
        return DecodeNpdu(out, r);
    }

    std::string OriginalUnicast6(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return Npdu6(out, r, pNode, csFunction, kSourceDest, 2);
    }

    std::string Broadcast6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return Npdu6(out, r, pNode, csFunction, kSource, 1);
    }

    std::string Forwarded6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        static const char* const kNames[] = { "Source Virtual Address", "Original Source Address" };
        if (!Vmacs(out, r, pNode, kNames, 1))
            return csFunction;
        std::string csFrom;
        if (!Vmacs(out, r, pNode, kNames + 1, 1, &csFrom))
            return csFunction;
        out.row.csProtocol = "BACnet/IPv6";
        return DecodeNpdu(out, r) + " (from " + csFrom + ")";
    }

    // The address-resolution functions: " 00:00:01 -> 00:00:02".
    std::string Resolution6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction,
        const char* const* names, uint32_t uCount)
    {
        std::string csFirst;
        if (!Vmacs(out, r, pNode, names, 1, &csFirst))
            return csFunction;
        std::string csSecond;
        if (uCount > 1 && !Vmacs(out, r, pNode, names + 1, uCount - 1, &csSecond))
            return csFunction + " " + csFirst;
        return csFunction + " " + csFirst + (csSecond.empty() ? "" : " -> " + csSecond);
    }

    std::string AddressResolution6(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return Resolution6(out, r, pNode, csFunction, kSourceTarget, 2);
    }

    std::string ForwardedResolution6(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        static const char* const kNames[]
            = { "Source Virtual Address", "Target Virtual Address", "Original Source Address" };
        return Resolution6(out, r, pNode, csFunction, kNames, 3);
    }

    std::string ResolutionAck6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return Resolution6(out, r, pNode, csFunction, kSourceDest, 2);
    }

    std::string VirtualResolution6(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        return Resolution6(out, r, pNode, csFunction, kSource, 1);
    }

    std::string RegisterForeignDevice6(
        SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        if (!Vmacs(out, r, pNode, kSource, 1))
            return csFunction;
        return RegisterForeignDevice(out, r, pNode, csFunction);
    }

    std::string DeleteFdtEntry6(SOut& out, CReader& r, SField* pNode, const std::string& csFunction)
    {
        static const char* const kNames[] = { "Source Virtual Address", "FDT Entry Address" };
        std::string csEntry;
        if (!Vmacs(out, r, pNode, kNames, 1) || !Vmacs(out, r, pNode, kNames + 1, 1, &csEntry))
            return csFunction;
        return csFunction + " " + csEntry;
    }

    const SBvlcFunction kBvlc6Functions[] = {
        { 0x00, Result6 }, { 0x01, OriginalUnicast6 },
        { 0x02, Broadcast6 }, // Original-Broadcast-NPDU
        { 0x03, AddressResolution6 }, { 0x04, ForwardedResolution6 }, { 0x05, ResolutionAck6 },
        { 0x06, VirtualResolution6 }, { 0x07, ResolutionAck6 }, // Virtual-Address-Resolution-ACK
        { 0x08, Forwarded6 }, { 0x09, RegisterForeignDevice6 }, { 0x0a, DeleteFdtEntry6 },
        { 0x0c, Broadcast6 }, // Distribute-Broadcast-To-Network
    };

    // A BVLC type: its name, its function names, and the table of its functions.
    struct SBvlcType {
        const char* szName;
        const char* (*pfnName)(uint32_t);
        const SBvlcFunction* pFunctions;
        size_t nFunctions;
    };

    const SBvlcType kBacnetIp { "BACnet/IP", BvlcFunctionName, kBvlcFunctions,
        sizeof kBvlcFunctions / sizeof kBvlcFunctions[0] };
    const SBvlcType kBacnetIpv6 { "BACnet/IPv6", Bvlc6FunctionName, kBvlc6Functions,
        sizeof kBvlc6Functions / sizeof kBvlc6Functions[0] };

    // The header both BVLC types share, then the function's body from its table.
    std::string DecodeBvlcOf(SOut& out, CReader r, const SBvlcType& type)
    {
        SField* pNode = TREE_ADD(out, nullptr, "BVLC", "", r.Pos(), r.Left());
        uint8_t uType = 0, uFunction = 0;
        uint16_t uLength = 0;
        r.U8(uType); // the caller has seen it
        TREE_ADD(out, pNode, "Type", Hex8(uType) + " (" + type.szName + ")", r.Pos() - 1, 1);
        if (!r.U8(uFunction) || !r.U16(uLength)) {
            out.Malformed("the BVLC header is cut off");
            out.row.csProtocol = "BVLC";
            return "BVLC";
        }
        const char* szFunction = type.pfnName(uFunction);
        const std::string csFunction = szFunction ? szFunction : "BVLC function " + Hex8(uFunction);
        TREE_ADD(out, pNode, "Function", csFunction + " (" + Hex8(uFunction) + ")", r.Pos() - 3, 1);
        TREE_ADD(out, pNode, "BVLC Length", Num(uLength), r.Pos() - 2, 2);
        if (pNode)
            out.pTree->back().csValue = csFunction;
        const uint32_t uStart = r.Pos() - 4;
        if (uLength < 4) {
            out.Malformed("BVLC length " + Num(uLength) + " is below its header's");
            out.row.csProtocol = "BVLC";
            return csFunction;
        }
        if (uLength > r.End() - uStart) {
            // Only a frame cut by the capture may hold fewer bytes than it says.
            out.Malformed("BVLC length " + Num(uLength) + " is more than the "
                + Num(r.End() - uStart) + " bytes present");
        } else if (uLength < r.End() - uStart) {
            // The datagram goes on past the BVLC: mark those bytes, never decode them.
            const uint32_t uAfter = uStart + uLength, uExtra = r.End() - uAfter;
            TREE_ADD(out, pNode, "Bytes after the BVLC length", Bytes(uExtra), uAfter, uExtra);
            out.Malformed(Bytes(uExtra) + " after the BVLC length");
        }
        r = CReader(r).Sub(uLength - 4);
        out.row.csProtocol = "BVLC";
        for (size_t i = 0; i < type.nFunctions; ++i)
            if (type.pFunctions[i].uFunction == uFunction)
                return type.pFunctions[i].pfnDecode(out, r, pNode, csFunction);
        if (r.Left())
            TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
        return csFunction;
    }

} // namespace

std::string DecodeBvlc(SOut& out, CReader r)
{
    return DecodeBvlcOf(out, r, kBacnetIp);
}

std::string DecodeBvlc6(SOut& out, CReader r)
{
    return DecodeBvlcOf(out, r, kBacnetIpv6);
}

} // namespace velmora::dissect::internal
