// The bench's verdict over its rows: a run that failed, a figure below what
// any correct run needs (the measurement is then wrong, not fast), or a
// figure past its target fails the bench, each named by its row.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

struct Check {
    std::string what;      // the row
    std::string error;     // the run failed: why (the figures are then unused)
    std::string quantity;  // "wall time", "ratio", "CPU time"
    double value = 0;
    double atLeast = 0;    // a lower bound no correct run goes below; 0: none
    double atMost = 0;     // the target; 0: none
};

inline std::string verdictNumber(const std::string& quantity, double value)
{
    char text[32];
    snprintf(text, sizeof(text), quantity == "ratio" || quantity == "passes" ? "%.2f" : "%.3f s",
             value);
    return text;
}

// One line per fault, in the order of the checks; none when the bench passes.
inline std::vector<std::string> verdict(const std::vector<Check>& checks)
{
    std::vector<std::string> faults;
    for (const Check& c : checks) {
        const std::string value = c.quantity + " " + verdictNumber(c.quantity, c.value);
        if (!c.error.empty())
            faults.push_back(c.what + ": failed: " + c.error);
        else if (!std::isfinite(c.value) || c.value < 0)
            faults.push_back(c.what + ": " + value + " is no measurement");
        else if (c.atLeast > 0 && c.value < c.atLeast)
            faults.push_back(c.what + ": " + value + " is below its lower bound " +
                             verdictNumber(c.quantity, c.atLeast) + ": the measurement is wrong");
        else if (c.atMost > 0 && c.value > c.atMost)
            faults.push_back(c.what + ": " + value + " misses its target of at most " +
                             verdictNumber(c.quantity, c.atMost));
    }
    return faults;
}
