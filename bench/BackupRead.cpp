#include "BackupRead.h"

#include <cstdio>

#include "Device.h"
#include "EndToEnd.h"

namespace {

struct Row {
    const AdapterModel* model;
    const char* checksum;  // tarvo-sim --checksum
    bool readsOnce;
};

}  // namespace

void backupReadRows(Table& table, std::vector<Check>& checks, const std::string& workDir,
                    bool quick)
{
    table.section("Backup reads, predicted on a real adapter, 256 KB chip");
    const double regions = device::flashSize(device::CHIP_256K) - device::FIRMWARE_BASE;
    const Row rows[] = {
        {&USB_ADAPTER, "crc32", true},
        {&UART_ADAPTER, "crc32", true},
        {&USB_ADAPTER, "mix", false},
    };
    for (const Row& row : rows) {
        if (quick && row.model == &UART_ADAPTER)
            continue;
        const std::string what = std::string("tarvo-backup save, ") + row.checksum +
                                 " monitor, " + row.model->link;
        Predicted p = predict(*row.model, "tarvo-backup", {std::string("--checksum=") + row.checksum},
                              {"--replace", "save", workDir + "/backup-read"}, workDir);
        if (!p.ok) {
            table.row(what, "failed", 0, 0, p.error);
            checks.push_back({what, p.error, "", 0, 0, 0});
            continue;
        }
        // One read's bound: the run's own bound with its block reads'
        // share (replies and bytes on the line) scaled to one pass.
        const double passes = p.counters["read_data"] / regions;
        const double reads = (p.counters["read_replies"] * row.model->replyUs +
                              (p.counters["read_bytes_in"] + p.counters["read_bytes_out"]) *
                                  row.model->byteUs) / 1e6;
        const double oneRead = p.bound - (passes > 0 ? reads * (1 - 1 / passes) : 0);
        const double ratio = p.run.wallSeconds / oneRead;
        checks.push_back({what, "", "wall time", p.run.wallSeconds, p.bound, 0});
        if (row.readsOnce)
            checks.push_back({what, "", "ratio", ratio, 0, ONE_READ_TARGET});
        // Where nothing vouches for a read, every byte must cross twice.
        checks.push_back({what, "", "passes", passes, row.readsOnce ? 1.0 : 2.0,
                          row.readsOnce ? 1.0 : 0});
        char detail[200];
        snprintf(detail, sizeof(detail),
                 "%.2f reads of each byte; reads %.2f s of the bound; host +%.2f s", passes,
                 reads, p.run.wallSeconds - p.bound);
        table.row(what, seconds(p.run.wallSeconds), oneRead, ratio, detail);
    }
}
