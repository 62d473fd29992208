#include "SettingArea.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Device.h"
#include "files/FileRead.h"
#include "files/FileReplace.h"
#include "TarvoXcon.h"
#include "eeprom.h"

namespace {

constexpr size_t DUMP_LINE = 16;
const char MAGIC_BYTES[] = "EEtAMORP.umE";

bool hasMagicWords()
{
    const uint8_t* master = g_eeprom + device::SETTINGS_SIZE - device::FLASH_PAGE_SIZE;
    return memcmp(master, MAGIC_BYTES, sizeof(MAGIC_BYTES) - 1) == 0;
}

bool isAllErased(const uint8_t* bytes, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] != 0xFF)
            return false;
    }
    return true;
}

void printDumpLine(size_t offset, const uint8_t* bytes, size_t count)
{
    printf("%04zx ", offset);
    for (size_t i = 0; i < DUMP_LINE; i++)
        printf(i < count ? " %02x" : "   ", bytes[i < count ? i : 0]);
    printf("  ");
    for (size_t i = 0; i < count; i++)
        putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    putchar('\n');
}

// Runs of two or more all-0xFF lines shrink to one line giving their range.
void printHexDump(const uint8_t* bytes, size_t size)
{
    size_t line = 0;
    while (line < size) {
        size_t run = line;
        while (run + DUMP_LINE <= size && isAllErased(bytes + run, DUMP_LINE))
            run += DUMP_LINE;
        if (run - line >= 2 * DUMP_LINE) {
            printf("%04zx..%04zx  all ff\n", line, run - 1);
            line = run;
        } else {
            printDumpLine(line, bytes + line, std::min(DUMP_LINE, size - line));
            line += DUMP_LINE;
        }
    }
}

// Rows that opening the area erased to repair an interrupted row move.
void printRepairs(const std::vector<uint8_t>& original)
{
    for (size_t row = 0; row < device::SETTINGS_SIZE / device::ROW_SIZE; row++) {
        size_t at = row * device::ROW_SIZE;
        if (memcmp(original.data() + at, g_eeprom + at, device::ROW_SIZE) != 0)
            printf("Row %zu duplicates another row's logical pages; opening the area erases it\n",
                   row);
    }
}

}  // namespace

bool openSettingFile(const std::string& path, std::vector<uint8_t>& original, status_code& status,
                     std::string& error)
{
    if (!readFileBytes(path, original, error))
        return false;
    if (original.size() != device::SETTINGS_SIZE) {
        error = path + ": " + std::to_string(original.size()) +
                " bytes; a setting file is exactly 4096 bytes";
        return false;
    }
    memset(g_eeprom, 0xFF, sizeof(g_eeprom));
    memcpy(g_eeprom, original.data(), original.size());
    status = eeprom_emulator_init();
    return true;
}

std::string areaProblem(status_code status)
{
    std::string reason;
    if (status == STATUS_ERR_BAD_FORMAT) {
        if (_eeprom_instance.spare_row == EEPROM_INVALID_ROW)
            reason = "no free spare row";
        else if (!hasMagicWords())
            reason = "no master page";
        else if (std::find(_eeprom_instance.page_map,
                           _eeprom_instance.page_map + _eeprom_instance.logical_pages,
                           EEPROM_INVALID_PAGE) !=
                 _eeprom_instance.page_map + _eeprom_instance.logical_pages)
            reason = "a logical page has no version";
        else
            reason = "a row holds another row's logical page";
    } else if (status == STATUS_ERR_IO) {
        const uint8_t* master = g_eeprom + device::SETTINGS_SIZE - device::FLASH_PAGE_SIZE;
        char text[96];
        snprintf(text, sizeof(text), "incompatible format: emulator id %u, version %u.%u.%u",
                 master[15], master[12], master[13], master[14]);
        reason = text;
    } else {
        reason = "cannot be opened";
    }
    return std::string(status_code_name(status)) + " (" + reason + ")";
}

std::string writeProblem(status_code status)
{
    std::string reason;
    if (status == STATUS_ERR_BAD_FORMAT) {
        switch (eeprom_emulator_last_move_refusal()) {
        case EEPROM_MOVE_NO_FREE_ROW:
            reason = " (no free row to move a full row into)";
            break;
        case EEPROM_MOVE_MASTER_ROW:
            reason = " (the full row is the master row, which a move would erase)";
            break;
        case EEPROM_MOVE_PAGE_NOT_IN_ROW:
            reason = " (the full row does not hold the page written)";
            break;
        case EEPROM_MOVE_DONE:
            break;
        }
    }
    return status_code_name(status) + reason;
}

void printArea(const std::vector<uint8_t>& original)
{
    printRepairs(original);
    printf("Spare row: %u (pages %u to %u)\n", _eeprom_instance.spare_row,
           _eeprom_instance.spare_row * 4u, _eeprom_instance.spare_row * 4u + 3);

    printf("Page map (logical:physical):\n");
    for (unsigned i = 0; i < _eeprom_instance.logical_pages; i++) {
        char entry[16];
        snprintf(entry, sizeof(entry), "%u:%u", i, _eeprom_instance.page_map[i]);
        bool lineEnd = i % 7 == 6 || i + 1 == _eeprom_instance.logical_pages;
        printf(lineEnd ? "  %s\n" : "  %-6s", entry);
    }

    const size_t size = static_cast<size_t>(_eeprom_instance.logical_pages) * EEPROM_PAGE_SIZE;
    std::vector<uint8_t> bytes(size);
    eeprom_emulator_read_buffer(0, bytes.data(), static_cast<uint16_t>(size));
    printf("EEPROM (%zu bytes):\n", size);
    printHexDump(bytes.data(), size);
}

bool saveSettingFile(const std::string& path, std::string& error)
{
    return writeFileAtomically(path, g_eeprom, device::SETTINGS_SIZE, error);
}
