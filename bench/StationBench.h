// tarvo-station against several tarvo-sim instances at once: the parallel
// runs held against one port or one adapter alone, in the same run.
#pragma once

#include <string>
#include <vector>

#include "Table.h"
#include "Verdict.h"

// Parallel work against the one alone: at most these ratios.
constexpr double STATION_INSTALL_TARGET = 1.25;
constexpr double STATION_LIST_TARGET = 1.5;
// A shop's hub of adapters.
constexpr int SHOP_ADAPTERS = 16;

struct StationFigure {
    bool ok = false;
    std::string error;
    double wallSeconds = 0;   // the whole fleet at once
    double aloneSeconds = 0;  // the one alone (the slowest port, for list)
    std::string detail;
};

// tarvo-station install --all of the package onto `adapters` adapters of
// tarvo-sim --real-adapter, against the same install onto one.
StationFigure stationInstall(const std::string& package, int adapters);

// tarvo-station list over adapters, trickling lines and silent terminals,
// against the slowest of those ports listed alone.
StationFigure stationList(int adapters, int trickling, int silent);

// A shop's hub: install --all onto `adapters` adapters against one alone, as a
// row with its ratio checked, and a row of the station's own share per adapter
// (its CPU seconds, without and with its workers, and its peak memory).
void stationAtShopScale(const std::string& package, int adapters, Table& table,
                        std::vector<Check>& checks);
