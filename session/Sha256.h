#pragma once

// SHA-256 (FIPS 180-4), small and on its own: the report names the capture it
// judged by its digest, and no library already linked here offers one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

class CSha256 {
public:
    CSha256();
    void Add(const uint8_t* pData, size_t nLength);
    // The digest of everything added; the object is spent afterwards.
    std::array<uint8_t, 32> Finish();

private:
    void Block(const uint8_t* p);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer {};
    size_t m_nBuffered = 0;
    uint64_t m_uTotal = 0;
};

// Lowercase hex of a digest.
std::string HexDigest(const std::array<uint8_t, 32>& digest);

// The file's digest in lowercase hex; "" with csError when it cannot be read.
std::string FileSha256(const std::string& csPath, std::string& csError);

} // namespace velmora
