// Writes capture files: the BACnet samples, or N test frames of one size.

#include "tools/CaptureWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace velmora;

namespace {

int Usage()
{
    std::fprintf(stderr,
        "usage: velmora-mkpcap --bacnet OUT.pcap\n"
        "       velmora-mkpcap --bacnet-ip OUT.pcap\n"
        "       velmora-mkpcap --count N --size BYTES [--wire-len BYTES] OUT.pcap\n"
        "  --count N        records to write (default 1)\n"
        "  --size BYTES     captured length of each record, 0 to 262144\n"
        "  --wire-len BYTES length on the wire each record claims (default: --size)\n");
    return 2;
}

bool ParseNumber(const char* sz, unsigned long long ullMax, unsigned long long& ull)
{
    if (!sz || !*sz || *sz == '-')
        return false;
    char* pEnd = nullptr;
    errno = 0;
    ull = std::strtoull(sz, &pEnd, 10);
    return errno == 0 && *pEnd == '\0' && ull <= ullMax;
}

} // namespace

int main(int argc, char** argv)
{
    bool bBacnet = false;
    bool bBacnetIp = false;
    unsigned long long ullCount = 1;
    unsigned long long ullSize = 60;
    unsigned long long ullWire = 0;
    std::string csOut;
    for (int i = 1; i < argc; ++i) {
        const std::string cs = argv[i];
        const char* szNext = i + 1 < argc ? argv[i + 1] : nullptr;
        if (cs == "--bacnet") {
            bBacnet = true;
        } else if (cs == "--bacnet-ip") {
            bBacnetIp = true;
        } else if (cs == "--count") {
            if (!ParseNumber(szNext, ~0ull, ullCount))
                return Usage();
            ++i;
        } else if (cs == "--size") {
            if (!ParseNumber(szNext, kMaxPcapSnapLen, ullSize))
                return Usage();
            ++i;
        } else if (cs == "--wire-len") {
            if (!ParseNumber(szNext, 0xffffffffull, ullWire))
                return Usage();
            ++i;
        } else if (cs == "-h" || cs == "--help") {
            Usage();
            return 0;
        } else if (!cs.empty() && cs[0] != '-' && csOut.empty()) {
            csOut = cs;
        } else {
            return Usage();
        }
    }
    if (csOut.empty())
        return Usage();

    std::string csError;
    const bool bOk = bBacnetIp ? WriteBacnetIpSample(csOut, &csError)
        : bBacnet              ? WriteBacnetSample(csOut, &csError)
                               : WriteTestCapture(csOut, ullCount, static_cast<uint32_t>(ullSize),
                                   static_cast<uint32_t>(ullWire), &csError);
    if (!bOk) {
        std::fprintf(stderr, "velmora-mkpcap: %s\n", csError.c_str());
        return 1;
    }
    return 0;
}
