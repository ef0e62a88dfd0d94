#pragma once

#include <cstddef>
#include <cstdint>

// The fuzz input as a pcapng file, indexed, every record read and decoded.
void FuzzPcapng(const uint8_t* pData, size_t nSize);
