// Who an adapter is: its board version and type letter (the identity word at
// 0xFF4) and its serial number (the words at 0xFF8 and 0xFFC). Read here only.
#pragma once

#include <cstdint>
#include <string>

class Samba;

struct AdapterIdentity {
    uint16_t board = 0;            // identity word bits 0..15
    uint8_t type = 0;              // identity word bits 16..23
    uint32_t serialWords[2] = {};  // compared exactly; serial is how it prints
    std::string serial;
};

// The identity word alone: what a package is matched against.
AdapterIdentity readBoardAndType(Samba& samba);
// The identity word, then the two serial-number words, in that order.
AdapterIdentity readIdentity(Samba& samba);
