#pragma once

// Reads a capture's bytes with our reader and with libpcap's and says where
// they first differ: for the fuzz target and the reader's tests.

#include "capture/CaptureReader.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace velmora {

struct SCaptureComparison {
    bool bOurs = false; // our reader took the file
    bool bLibpcap = false; // libpcap opened it
    bool bMapped = false; // ours read the file's mapped pages to the last record
    size_t nRecords = 0; // read alike
    int iLast = 0; // what both said last (-2 the end, -1 broken)
    std::string csDifference; // "" when alike
};

// uMapWindow: ours reads the file's mapped pages, that many bytes at a time
// (0: it reads uBufferBytes at a time).
inline SCaptureComparison CompareWithLibpcap(
    const uint8_t* pData, size_t nSize, bool bNano, size_t uBufferBytes, size_t uMapWindow = 0)
{
    SCaptureComparison c;
    const int fd = memfd_create("capture_compare", MFD_CLOEXEC);
    if (fd < 0 || (nSize > 0 && ::write(fd, pData, nSize) != static_cast<ssize_t>(nSize))) {
        c.csDifference = "no memory file";
        if (fd >= 0)
            ::close(fd);
        return c;
    }
    const int fdLibpcap = ::dup(fd);
    ::lseek(fdLibpcap, 0, SEEK_SET);
    FILE* pFile = ::fdopen(fdLibpcap, "rb");
    char szError[PCAP_ERRBUF_SIZE] = "";
    pcap_t* h = pFile ? pcap_fopen_offline_with_tstamp_precision(pFile,
                    bNano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO, szError)
                      : nullptr;
    if (!h && pFile)
        std::fclose(pFile);
    std::unique_ptr<CPcapReader> pOurs = CPcapReader::Open(fd, bNano, uBufferBytes, uMapWindow);
    if (!pOurs)
        ::close(fd);
    c.bOurs = pOurs != nullptr;
    c.bLibpcap = h != nullptr;
    if (pOurs && !h)
        c.csDifference = std::string("ours took a file libpcap refuses: ") + szError;
    while (pOurs && h && c.csDifference.empty()) {
        SCaptureRecord r;
        const int iOurs = pOurs->Next(r);
        pcap_pkthdr* pHeader = nullptr;
        const u_char* pBytes = nullptr;
        const int iLibpcap = pcap_next_ex(h, &pHeader, &pBytes);
        const std::string csAt = "record " + std::to_string(c.nRecords) + ": ";
        if (iOurs != iLibpcap) {
            c.csDifference = csAt + "ours " + std::to_string(iOurs) + ", libpcap "
                + std::to_string(iLibpcap) + " (" + pcap_geterr(h) + ")";
        } else if (iOurs != 1) {
            c.iLast = iOurs;
            break;
        } else if (r.llSec != pHeader->ts.tv_sec || r.llFraction != pHeader->ts.tv_usec) {
            c.csDifference = csAt + "time " + std::to_string(r.llSec) + "."
                + std::to_string(r.llFraction) + " against " + std::to_string(pHeader->ts.tv_sec)
                + "." + std::to_string(pHeader->ts.tv_usec);
        } else if (r.uCaptured != pHeader->caplen || r.uWire != pHeader->len) {
            c.csDifference = csAt + "lengths " + std::to_string(r.uCaptured) + "/"
                + std::to_string(r.uWire) + " against " + std::to_string(pHeader->caplen) + "/"
                + std::to_string(pHeader->len);
        } else if (r.uCaptured > 0 && std::memcmp(r.pData, pBytes, r.uCaptured) != 0) {
            c.csDifference = csAt + "bytes differ";
        } else {
            ++c.nRecords;
        }
    }
    c.bMapped = pOurs && pOurs->Mapped();
    if (h)
        pcap_close(h);
    return c;
}

} // namespace velmora
