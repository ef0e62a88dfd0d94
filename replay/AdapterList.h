#pragma once

#include <optional>
#include <string>
#include <vector>

// What the adapter list needs of the window's drop-down list.
class IAdapterListView {
public:
    virtual ~IAdapterListView() = default;
    virtual void AddEntry(const std::string& csText) = 0;
    virtual void SetCurrentSelection(int iIndex) = 0;
};

// Whether an adapter of the enumeration is one that can send: a network
// interface of the kernel in the program's network namespace (what
// /sys/class/net lists there). libpcap's pseudo-adapters ("any", nflog,
// nfqueue, dbus-*, bluetooth-monitor, usbmon*) are not.
bool IsKernelInterface(const char* szName);
using AdapterFilterFn = bool (*)(const char* szName);

// Fills the list in enumeration order with the adapters the filter keeps, and
// selects the entry whose name equals csSavedName byte for byte (the last such
// entry). A saved adapter left out is missing: no entry is selected.
void FillAdapterList(IAdapterListView& list, const std::string& csSavedName,
    AdapterFilterFn pfnKeep = &IsKernelInterface);

// The name of the adapter at that position of a fresh enumeration filtered the
// same way, or nothing.
std::optional<std::string> AdapterNameByIndex(
    int iIndex, AdapterFilterFn pfnKeep = &IsKernelInterface);

// One entry of the Device list and the adapter it names.
struct SAdapterEntry {
    std::string csName;
    std::string csText;
};
// The Device list's entries in its order, kept by the same filter; nothing
// when the enumeration fails.
std::optional<std::vector<SAdapterEntry>> ListAdapters(
    AdapterFilterFn pfnKeep = &IsKernelInterface);

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
