#pragma once

#include <optional>
#include <string>
#include <vector>

struct pcap_if;

namespace velmora {

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

// Where the adapters come from: libpcap's enumeration (or a stand-in of the
// same shape, for tests) and the filter that keeps the ones to list.
using FindAllDevsFn = int (*)(pcap_if** ppList, char* szErrBuf);
using FreeAllDevsFn = void (*)(pcap_if* pList);
struct SAdapterSource {
    FindAllDevsFn pfnFindAll = nullptr; // nullptr: pcap_findalldevs
    FreeAllDevsFn pfnFreeAll = nullptr; // nullptr: pcap_freealldevs
    AdapterFilterFn pfnKeep = &IsKernelInterface;
};

// What the shells say when the adapters cannot be enumerated.
inline constexpr const char* kNoAdaptersText
    = "Error. Can not find any devices, Are you sure that Winpap is installed ?";

// Fills the list in enumeration order with the adapters the filter keeps, and
// selects the entry whose name equals csSavedName byte for byte (the last such
// entry). A saved adapter left out is missing: no entry is selected. False,
// with nothing added, when the enumeration fails.
bool FillAdapterList(IAdapterListView& list, const std::string& csSavedName,
    const SAdapterSource& source = SAdapterSource());

// The name of the adapter at that position of a fresh enumeration filtered the
// same way, or nothing.
std::optional<std::string> AdapterNameByIndex(
    int iIndex, const SAdapterSource& source = SAdapterSource());

// One entry of the Device list and the adapter it names.
struct SAdapterEntry {
    std::string csName;
    std::string csText;
};
// The Device list's entries in its order, kept by the same filter; nothing
// when the enumeration fails.
std::optional<std::vector<SAdapterEntry>> ListAdapters(
    const SAdapterSource& source = SAdapterSource());

// "%03d.%03d.%03d.%03d" from four bytes in network order; the result stays
// valid for the next 12 calls.
const char* FormatIpAddress(const unsigned char* pAddr);

// The entry text of one adapter as the list shows it.
std::string AdapterEntryText(const pcap_if& adapter);

} // namespace velmora
