// Formulas a boot monitor may use for its checksum command. How the monitor
// computes it is its firmware's business, so none is assumed: the host
// computes every candidate over what it read and takes a read as confirmed
// only when the adapter's own answer equals one of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace checksum {

enum class Formula {
    ByteSum32,    // 32-bit wrap-around sum of the bytes
    Crc32,        // reflected 0xEDB88320, as zip files use
    Crc32Mpeg2,   // 0x04C11DB7 unreflected, no final inversion
    Crc32Bzip2,   // 0x04C11DB7 unreflected, final inversion
    WordSum32,    // 32-bit sum of little-endian words (a short tail zero-padded)
    Crc16Xmodem,  // 0x1021, initial 0, as XMODEM blocks carry
};

constexpr std::array<Formula, 6> CANDIDATES = {
    Formula::ByteSum32, Formula::Crc32,     Formula::Crc32Mpeg2,
    Formula::Crc32Bzip2, Formula::WordSum32, Formula::Crc16Xmodem,
};

// "32-bit byte sum", "CRC-32", ...: the text a record carries and reads back.
const char* name(Formula f);
bool fromName(const std::string& text, Formula& f);

// One bit per formula, for the set of formulas an answer matched.
using FormulaSet = unsigned;
constexpr FormulaSet bit(Formula f) { return 1u << static_cast<unsigned>(f); }
constexpr FormulaSet ALL = (1u << CANDIDATES.size()) - 1;

// The set's names joined by " or ", in CANDIDATES order ("" for none), and
// back; false when a name is not a formula's or the text names none.
std::string names(FormulaSet set);
bool fromNames(const std::string& text, FormulaSet& set);

// Every candidate's running value over bytes fed in pieces of any size.
class Candidates {
public:
    Candidates();
    void add(const uint8_t* data, size_t size);
    uint32_t value(Formula f) const;
    // The formulas among `among` whose value equals the adapter's answer.
    FormulaSet matching(uint32_t answer, FormulaSet among = ALL) const;

private:
    uint32_t _byteSum = 0;
    uint32_t _wordSum = 0;
    uint32_t _crc32 = 0;
    uint32_t _crcMsb = 0;
    uint16_t _crc16 = 0;
    uint64_t _count = 0;
};

uint32_t compute(Formula f, const uint8_t* data, size_t size);

// The first formula of a set, in CANDIDATES order; the set must not be empty.
Formula first(FormulaSet set);

}  // namespace checksum
