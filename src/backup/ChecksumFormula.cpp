#include "backup/ChecksumFormula.h"

namespace checksum {

namespace {

struct Tables {
    uint32_t reflected[256];
    uint32_t msbFirst[256];
    uint16_t crc16[256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t r = i;
            for (int b = 0; b < 8; b++)
                r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1u)));
            reflected[i] = r;
            uint32_t m = i << 24;
            for (int b = 0; b < 8; b++)
                m = (m << 1) ^ ((m & 0x80000000u) ? 0x04C11DB7u : 0u);
            msbFirst[i] = m;
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int b = 0; b < 8; b++)
                c = static_cast<uint16_t>((c << 1) ^ ((c & 0x8000u) ? 0x1021u : 0u));
            crc16[i] = c;
        }
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

const char* const NAMES[] = {
    "32-bit byte sum", "CRC-32", "CRC-32/MPEG-2", "CRC-32/BZIP2", "32-bit word sum", "CRC-16/XMODEM",
};

}  // namespace

const char* name(Formula f)
{
    return NAMES[static_cast<unsigned>(f)];
}

bool fromName(const std::string& text, Formula& f)
{
    for (Formula c : CANDIDATES) {
        if (text == name(c)) {
            f = c;
            return true;
        }
    }
    return false;
}

std::string names(FormulaSet set)
{
    std::string text;
    for (Formula f : CANDIDATES)
        if (set & bit(f))
            text += (text.empty() ? "" : " or ") + std::string(name(f));
    return text;
}

bool fromNames(const std::string& text, FormulaSet& set)
{
    const std::string separator = " or ";
    FormulaSet found = 0;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        Formula f;
        if (!fromName(text.substr(start, end == std::string::npos ? end : end - start), f))
            return false;
        found |= bit(f);
        if (end == std::string::npos)
            break;
        start = end + separator.size();
    }
    set = found;
    return true;
}

Candidates::Candidates() : _crc32(0xFFFFFFFFu), _crcMsb(0xFFFFFFFFu) {}

void Candidates::add(const uint8_t* data, size_t size)
{
    const Tables& t = tables();
    uint32_t byteSum = _byteSum, wordSum = _wordSum, crc = _crc32, msb = _crcMsb;
    uint16_t crc16 = _crc16;
    unsigned shift = static_cast<unsigned>(_count % 4) * 8;
    for (size_t i = 0; i < size; i++) {
        const uint8_t b = data[i];
        byteSum += b;
        wordSum += static_cast<uint32_t>(b) << shift;
        shift = (shift + 8) & 31;
        crc = (crc >> 8) ^ t.reflected[(crc ^ b) & 0xFF];
        msb = (msb << 8) ^ t.msbFirst[((msb >> 24) ^ b) & 0xFF];
        crc16 = static_cast<uint16_t>((crc16 << 8) ^ t.crc16[((crc16 >> 8) ^ b) & 0xFF]);
    }
    _byteSum = byteSum;
    _wordSum = wordSum;
    _crc32 = crc;
    _crcMsb = msb;
    _crc16 = crc16;
    _count += size;
}

uint32_t Candidates::value(Formula f) const
{
    switch (f) {
    case Formula::ByteSum32: return _byteSum;
    case Formula::Crc32: return ~_crc32;
    case Formula::Crc32Mpeg2: return _crcMsb;
    case Formula::Crc32Bzip2: return ~_crcMsb;
    case Formula::WordSum32: return _wordSum;
    case Formula::Crc16Xmodem: return _crc16;
    }
    return 0;
}

FormulaSet Candidates::matching(uint32_t answer, FormulaSet among) const
{
    FormulaSet found = 0;
    for (Formula f : CANDIDATES)
        if ((among & bit(f)) && value(f) == answer)
            found |= bit(f);
    return found;
}

uint32_t compute(Formula f, const uint8_t* data, size_t size)
{
    Candidates c;
    c.add(data, size);
    return c.value(f);
}

Formula first(FormulaSet set)
{
    for (Formula f : CANDIDATES)
        if (set & bit(f))
            return f;
    return CANDIDATES[0];
}

}  // namespace checksum
