#pragma once

// BACnet tag headers for code outside the decoder that walks encoded values
// (serving learns property values from captured answers as their bytes). The
// same reader the decoder uses; never reads outside the bytes given.

#include <cstddef>
#include <cstdint>

namespace velmora::frame {

struct STagHeader {
    uint32_t uNumber = 0;
    bool bContext = false;
    bool bOpening = false;
    bool bClosing = false;
    uint32_t uLength = 0; // for an application Boolean: its value
    size_t nContent = 0; // offset of the content
    size_t nEnd = 0; // offset after the content
};

// Reads the tag at nPos of [pData, pData + nLength). False when it is cut off
// or its content runs past the end.
bool ReadTagAt(const uint8_t* pData, size_t nLength, size_t nPos, STagHeader& tag);

// From the opening tag at nPos, the offset after its matching closing tag (a
// primitive tag: after its content). False when the bytes end first or nest
// deeper than 64.
bool SkipTagged(const uint8_t* pData, size_t nLength, size_t nPos, size_t& nAfter);

} // namespace velmora::frame
