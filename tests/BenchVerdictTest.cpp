// The bench's verdict over its rows, without running the bench.
#include <gtest/gtest.h>

#include <cmath>

#include "../bench/Verdict.h"

namespace {

TEST(BenchVerdict, NamesEveryRowThatFailsAndPassesTheRest)
{
    const std::string row = "tarvo -f, 256 KB chip, uart";
    struct Case {
        Check check;
        std::string fault;  // "" when it passes
    } cases[] = {
        {{row, "", "wall time", 86.724, 82.456, 0}, ""},
        {{row, "", "wall time", 82.456, 82.456, 0}, ""},
        {{row, "", "wall time", 27.7, 82.456, 0},
         row + ": wall time 27.700 s is below its lower bound 82.456 s: the measurement is wrong"},
        {{row, "exit status 1", "", 0, 0, 0}, row + ": failed: exit status 1"},
        {{"tarvo -i", "", "ratio", 1.25, 0, 1.25}, ""},
        {{"tarvo -i", "", "ratio", 1.31, 0, 1.25},
         "tarvo -i: ratio 1.31 misses its target of at most 1.25"},
        {{"tarvo -f", "", "CPU time", 0.25, 0, 0.2},
         "tarvo -f: CPU time 0.250 s misses its target of at most 0.200 s"},
        {{"tarvo -u", "", "ratio", NAN, 0, 1.25}, "tarvo -u: ratio nan is no measurement"},
        {{"tarvo -u", "", "wall time", -0.5, 0, 0}, "tarvo -u: wall time -0.500 s is no measurement"},
    };
    std::vector<Check> all;
    std::vector<std::string> faults;
    for (const auto& c : cases) {
        EXPECT_EQ(verdict({c.check}), c.fault.empty() ? std::vector<std::string>{}
                                                      : std::vector<std::string>{c.fault})
            << c.check.what << " " << c.check.value;
        all.push_back(c.check);
        if (!c.fault.empty())
            faults.push_back(c.fault);
    }
    // Every fault of a whole run, in the table's order.
    EXPECT_EQ(verdict(all), faults);
}

}  // namespace
