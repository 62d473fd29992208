#include <cstdio>

#include "AdapterIdentity.h"
#include "Device.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

void infoLines(Samba& samba, uint32_t chipId, const std::function<void(const std::string&)>& line)
{
    char text[160];
    line("Bootloader Version: " + samba.version() + "\n");

    const AdapterIdentity id = readIdentity(samba);
    snprintf(text, sizeof(text), "Adapter SN: %s , PCB Ver: 0x%04X\n", id.serial.c_str(), id.board);
    line(text);

    g_loader_addr = device::settingsBase(chipId);
    uint32_t fwVersion = samba.readWord(g_loader_addr - 16);
    uint32_t fwExtra = samba.readWord(g_loader_addr - 12);
    snprintf(text, sizeof(text),
             "Firmware Version: 0x%04X\nROM Version: 0x%02X\nPre0=%d, Pre1=%d\nType=%c\n",
             fwVersion & 0xFFFF, (fwVersion >> 16) & 0xFF, static_cast<int>(fwVersion >> 24),
             static_cast<int>(fwExtra & 0xFF), static_cast<char>((fwExtra >> 8) & 0xFF));
    line(text);
}

std::string serialText(uint32_t serialLo, uint32_t serialHi)
{
    // Printed as stored; a zero byte among the eight ends the text early.
    char serial[10] = {};
    for (int i = 0; i < 4; i++) {
        serial[i] = static_cast<char>(serialLo >> (8 * i));
        serial[4 + i] = static_cast<char>(serialHi >> (8 * i));
    }
    serial[8] = 0;
    return serial;
}

void infoReport(Samba& samba, uint32_t chipId)
{
    printf("\n");
    timer_start();
    infoLines(samba, chipId, [](const std::string& text) { fputs(text.c_str(), stdout); });
    printf("done in %5.3f seconds\n", timer_stop());
}
