#include "AdapterIdentity.h"

#include "Device.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

AdapterIdentity readBoardAndType(Samba& samba)
{
    AdapterIdentity id;
    const uint32_t word = samba.readWord(device::IDENTITY_ADDR);
    id.board = static_cast<uint16_t>(word & 0xFFFF);
    id.type = static_cast<uint8_t>((word >> 16) & 0xFF);
    return id;
}

AdapterIdentity readIdentity(Samba& samba)
{
    AdapterIdentity id = readBoardAndType(samba);
    id.serialWords[0] = samba.readWord(device::SERIAL_ADDR_LO);
    id.serialWords[1] = samba.readWord(device::SERIAL_ADDR_HI);
    id.serial = serialText(id.serialWords[0], id.serialWords[1]);
    return id;
}
