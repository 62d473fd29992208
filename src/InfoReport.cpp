#include <cstdio>

#include "Device.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

void infoReport(Samba& samba, uint32_t chipId)
{
    printf("\n");
    timer_start();
    printf("Bootloader Version: %s\n", samba.version().c_str());

    uint32_t identity = samba.readWord(device::IDENTITY_ADDR);
    uint32_t serialLo = samba.readWord(device::SERIAL_ADDR_LO);
    uint32_t serialHi = samba.readWord(device::SERIAL_ADDR_HI);

    // Printed as stored; a zero byte among the eight ends the text early.
    char serial[10] = {};
    for (int i = 0; i < 4; i++) {
        serial[i] = static_cast<char>(serialLo >> (8 * i));
        serial[4 + i] = static_cast<char>(serialHi >> (8 * i));
    }
    serial[8] = 0;
    printf("Adapter SN: %s , PCB Ver: 0x%04X\n", serial, identity & 0xFFFF);

    g_loader_addr = device::settingsBase(chipId);
    uint32_t fwVersion = samba.readWord(g_loader_addr - 16);
    uint32_t fwExtra = samba.readWord(g_loader_addr - 12);
    printf("Firmware Version: 0x%04X\nROM Version: 0x%02X\nPre0=%d, Pre1=%d\nType=%c\n",
           fwVersion & 0xFFFF, (fwVersion >> 16) & 0xFF, static_cast<int>(fwVersion >> 24),
           static_cast<int>(fwExtra & 0xFF), static_cast<char>((fwExtra >> 8) & 0xFF));
    printf("done in %5.3f seconds\n", timer_stop());
}
