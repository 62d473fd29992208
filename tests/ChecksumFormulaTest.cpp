#include <gtest/gtest.h>

#include <vector>

#include "Checksum.h"
#include "backup/ChecksumFormula.h"

using checksum::Formula;

namespace {

const std::vector<uint8_t> CHECK = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

}  // namespace

// The published check values over "123456789", and the same value however
// the bytes arrive in pieces; each name reads back as its formula.
TEST(ChecksumFormula, EachCandidateGivesItsCheckValueInAnyPieces)
{
    const struct {
        Formula formula;
        uint32_t check;
    } table[] = {
        {Formula::ByteSum32, 0x1DD},          {Formula::Crc32, 0xCBF43926},
        {Formula::Crc32Mpeg2, 0x0376E6E7},    {Formula::Crc32Bzip2, 0xFC891918},
        {Formula::WordSum32, 0x6C6A689F},     {Formula::Crc16Xmodem, 0x31C3},
    };
    ASSERT_EQ(std::size(table), checksum::CANDIDATES.size());
    for (const auto& row : table) {
        SCOPED_TRACE(checksum::name(row.formula));
        EXPECT_EQ(checksum::compute(row.formula, CHECK.data(), CHECK.size()), row.check);
        for (size_t a = 0; a <= CHECK.size(); a++) {
            for (size_t b = a; b <= CHECK.size(); b++) {
                checksum::Candidates c;
                c.add(CHECK.data(), a);
                c.add(CHECK.data() + a, b - a);
                c.add(CHECK.data() + b, CHECK.size() - b);
                EXPECT_EQ(c.value(row.formula), row.check) << a << "," << b;
            }
        }
        Formula back;
        ASSERT_TRUE(checksum::fromName(checksum::name(row.formula), back));
        EXPECT_EQ(back, row.formula);
    }
    Formula none;
    EXPECT_FALSE(checksum::fromName("CRC-32 ", none));
}

// The simulated monitors' answers are among the candidates, and an answer
// matches only its own formula and only within the set asked about.
TEST(ChecksumFormula, MatchingFindsTheMonitorsFormulaOnly)
{
    std::vector<uint8_t> flash(8192);
    for (size_t i = 0; i < flash.size(); i++)
        flash[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    checksum::Candidates c;
    c.add(flash.data(), flash.size());
    const uint32_t sum = simChecksum(SimChecksum::Sum, flash.data(), flash.size());
    const uint32_t crc = simChecksum(SimChecksum::Crc32, flash.data(), flash.size());
    EXPECT_EQ(c.matching(sum), checksum::bit(Formula::ByteSum32));
    EXPECT_EQ(c.matching(crc), checksum::bit(Formula::Crc32));
    EXPECT_EQ(c.matching(crc, checksum::bit(Formula::ByteSum32)), 0u);
    EXPECT_EQ(c.matching(crc ^ 1), 0u);
    EXPECT_EQ(checksum::first(c.matching(crc)), Formula::Crc32);
}
