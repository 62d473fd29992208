// The benchmark's one table: sections of rows with a figure, the bound it
// is held against, their ratio, and a line of detail.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class Table {
public:
    void section(const std::string& title);
    // A bound or ratio of 0 leaves its column empty.
    void row(const std::string& what, const std::string& figure, double bound = 0,
             double ratio = 0, const std::string& detail = "");
    void print(FILE* out) const;

private:
    struct Row {
        bool section;
        std::string cells[5];
    };
    std::vector<Row> _rows;
};

// "%.3f s" and friends, for the figure column.
std::string seconds(double s);
std::string micros(double s);
std::string kilobytes(long kb);
