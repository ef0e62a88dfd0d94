#include "replay/AdapterList.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace velmora {

namespace {

    int FindAll(const SAdapterSource& source, pcap_if_t** ppList, char* szErrBuf)
    {
        return source.pfnFindAll ? source.pfnFindAll(ppList, szErrBuf)
                                 : pcap_findalldevs(ppList, szErrBuf);
    }

    void FreeAll(const SAdapterSource& source, pcap_if_t* pList)
    {
        if (source.pfnFreeAll)
            source.pfnFreeAll(pList);
        else
            pcap_freealldevs(pList);
    }

    // libpcap on Linux lists the adapter's link-layer address first; the rule
    // about the first address means the first address after those.
    const pcap_addr_t* FirstAddress(const pcap_if_t& adapter)
    {
        const pcap_addr_t* pAddr = adapter.addresses;
        while (pAddr && pAddr->addr && pAddr->addr->sa_family == AF_PACKET)
            pAddr = pAddr->next;
        return pAddr;
    }

    bool Keep(AdapterFilterFn pfnKeep, const pcap_if_t& adapter)
    {
        return adapter.name && (!pfnKeep || pfnKeep(adapter.name));
    }

} // namespace

bool IsKernelInterface(const char* szName)
{
    // Asked of the kernel rather than read from /sys/class/net: sysfs shows the
    // namespace it was mounted in, which need not be the one we send in.
    return szName && *szName && if_nametoindex(szName) != 0;
}

const char* FormatIpAddress(const unsigned char* pAddr)
{
    static char s_szRing[12][16];
    static int s_iNext = 0;
    char* sz = s_szRing[s_iNext];
    s_iNext = (s_iNext + 1) % 12;
    std::snprintf(sz, 16, "%03d.%03d.%03d.%03d", pAddr[0], pAddr[1], pAddr[2], pAddr[3]);
    return sz;
}

std::string AdapterEntryText(const pcap_if_t& adapter)
{
    const char* szAddress = "000.000.000.000";
    const pcap_addr_t* pFirst = FirstAddress(adapter);
    if (pFirst && pFirst->addr && pFirst->addr->sa_family == AF_INET) {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(pFirst->addr);
        szAddress = FormatIpAddress(reinterpret_cast<const unsigned char*>(&pIn->sin_addr));
    }
    const char* szName = adapter.name ? adapter.name : "";
    std::string cs(szAddress);
    cs += " - ";
    if (adapter.description) {
        cs += '(';
        cs += adapter.description;
        cs += ") ";
    }
    cs += szName;
    return cs;
}

bool FillAdapterList(
    IAdapterListView& list, const std::string& csSavedName, const SAdapterSource& source)
{
    pcap_if_t* pList = nullptr;
    char szErrBuf[PCAP_ERRBUF_SIZE] = "";
    if (FindAll(source, &pList, szErrBuf) == -1)
        return false;
    int iIndex = 0;
    for (const pcap_if_t* p = pList; p; p = p->next) {
        if (!Keep(source.pfnKeep, *p))
            continue;
        list.AddEntry(AdapterEntryText(*p));
        if (csSavedName == p->name)
            list.SetCurrentSelection(iIndex);
        ++iIndex;
    }
    if (pList)
        FreeAll(source, pList);
    return true;
}

std::optional<std::string> AdapterNameByIndex(int iIndex, const SAdapterSource& source)
{
    pcap_if_t* pList = nullptr;
    char szErrBuf[PCAP_ERRBUF_SIZE] = "";
    if (FindAll(source, &pList, szErrBuf) == -1)
        return std::nullopt;
    std::optional<std::string> name;
    int iCounter = 0;
    for (const pcap_if_t* p = pList; p; p = p->next) {
        if (!Keep(source.pfnKeep, *p))
            continue;
        if (iCounter == iIndex) {
            name = p->name;
            break;
        }
        ++iCounter;
    }
    if (pList)
        FreeAll(source, pList);
    return name;
}

std::optional<std::vector<SAdapterEntry>> ListAdapters(const SAdapterSource& source)
{
    pcap_if_t* pList = nullptr;
    char szErrBuf[PCAP_ERRBUF_SIZE] = "";
    if (FindAll(source, &pList, szErrBuf) == -1)
        return std::nullopt;
    std::vector<SAdapterEntry> entries;
    for (const pcap_if_t* p = pList; p; p = p->next) {
        if (Keep(source.pfnKeep, *p))
            entries.push_back({ p->name, AdapterEntryText(*p) });
    }
    if (pList)
        FreeAll(source, pList);
    return entries;
}

} // namespace velmora
