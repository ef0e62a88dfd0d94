#pragma once

#include <optional>
#include <string>

// What the adapter list needs of the window's drop-down list.
class IAdapterListView {
public:
    virtual ~IAdapterListView() = default;
    virtual void AddEntry(const std::string& csText) = 0;
    virtual void SetCurrentSelection(int iIndex) = 0;
};

// Fills the list in enumeration order and selects the entry whose name equals
// csSavedName byte for byte (the last such entry).
void FillAdapterList(IAdapterListView& list, const std::string& csSavedName);

// The name of the adapter at that position of a fresh enumeration, or nothing.
std::optional<std::string> AdapterNameByIndex(int iIndex);

// "%03d.%03d.%03d.%03d" from four bytes in network order; the result stays
// valid for the next 12 calls.
const char* FormatIpAddress(const unsigned char* pAddr);

struct pcap_if;

// Stand-ins for pcap_findalldevs and pcap_freealldevs, so that tests can feed
// a list of their own or a failure. Null pointers restore libpcap's.
using FindAllDevsFn = int (*)(pcap_if** ppList, char* szErrBuf);
using FreeAllDevsFn = void (*)(pcap_if* pList);
void SetAdapterEnumeration(FindAllDevsFn pfnFindAll, FreeAllDevsFn pfnFreeAll);

// The entry text of one adapter as the list shows it.
std::string AdapterEntryText(const pcap_if& adapter);
