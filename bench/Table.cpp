#include "Table.h"

#include <algorithm>

namespace {

std::string format(const char* fmt, double value)
{
    char text[64];
    snprintf(text, sizeof(text), fmt, value);
    return text;
}

}  // namespace

std::string seconds(double s) { return format("%.3f s", s); }
std::string micros(double s) { return format("%.2f us", s * 1e6); }
std::string kilobytes(long kb) { return format("%.0f KB", static_cast<double>(kb)); }

void Table::section(const std::string& title)
{
    _rows.push_back({true, {title, "", "", "", ""}});
}

void Table::row(const std::string& what, const std::string& figure, double bound, double ratio,
                const std::string& detail)
{
    _rows.push_back({false, {what, figure, bound > 0 ? seconds(bound) : "",
                             ratio > 0 ? format("%.2f", ratio) : "", detail}});
}

void Table::print(FILE* out) const
{
    const char* heads[5] = {"what", "figure", "bound", "ratio", "detail"};
    size_t width[5];
    for (int c = 0; c < 5; c++)
        width[c] = std::string(heads[c]).size();
    for (const Row& r : _rows) {
        if (r.section) {
            width[0] = std::max(width[0], r.cells[0].size() + 4);
            continue;
        }
        for (int c = 0; c < 5; c++)
            width[c] = std::max(width[c], r.cells[c].size());
    }
    auto line = [&](const std::string* cells) {
        fprintf(out, "| %-*s | %*s | %*s | %*s | %-*s |\n", static_cast<int>(width[0]),
                cells[0].c_str(), static_cast<int>(width[1]), cells[1].c_str(),
                static_cast<int>(width[2]), cells[2].c_str(), static_cast<int>(width[3]),
                cells[3].c_str(), static_cast<int>(width[4]), cells[4].c_str());
    };
    std::string head[5] = {heads[0], heads[1], heads[2], heads[3], heads[4]};
    line(head);
    // Figures are aligned right, words left.
    std::string rule;
    for (int c = 0; c < 5; c++) {
        bool right = c >= 1 && c <= 3;
        rule += "|" + std::string(width[c] + (right ? 1 : 2), '-') + (right ? ":" : "");
    }
    fprintf(out, "%s|\n", rule.c_str());
    for (const Row& r : _rows) {
        if (r.section) {
            std::string cells[5] = {"**" + r.cells[0] + "**", "", "", "", ""};
            line(cells);
        } else {
            line(r.cells);
        }
    }
}
