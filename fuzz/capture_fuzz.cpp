// Any bytes as a capture file, read by our reader and by libpcap's: the same
// records, the same bytes, the same end. The first byte picks the precision
// and how much the reader reads at a time (small, so refills cut records).

#include "capture_compare.h"

#include <cstddef>
#include <cstdint>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1)
        return 0;
    const bool bNano = (pData[0] & 1) != 0;
    const size_t uBuffer = 64 + (pData[0] >> 1) * 37;
    const SCaptureComparison c = CompareWithLibpcap(pData + 1, nSize - 1, bNano, uBuffer);
    if (!c.csDifference.empty()) {
        std::fprintf(stderr, "capture_fuzz: %s\n", c.csDifference.c_str());
        __builtin_trap();
    }
    return 0;
}
