#include "SambaXcon.h"

// Connection-less client: every connect fails, so the driver reports a
// failed connection. The monitor protocol replaces this.
uint32_t chip_id = 0;

Samba::Samba()
    : _extChipEraseAvailable(false), _extWriteBufferAvailable(false),
      _extChecksumBufferAvailable(false), _debug(false), _isUsb(false)
{
}

Samba::~Samba() {}

bool Samba::connect(SerialPort::Ptr port, int)
{
    if (port)
        port->close();
    return false;
}

void Samba::disconnect() { _port.reset(); }
uint32_t Samba::chipId() { throw SambaError(); }
void Samba::reset() { throw SambaError(); }
void Samba::writeByte(uint32_t, uint8_t) { throw SambaError(); }
uint8_t Samba::readByte(uint32_t) { throw SambaError(); }
void Samba::writeWord(uint32_t, uint32_t) { throw SambaError(); }
uint32_t Samba::readWord(uint32_t) { throw SambaError(); }
void Samba::go(uint32_t) { throw SambaError(); }
std::string Samba::version() { throw SambaError(); }
void Samba::write(uint32_t, const uint8_t*, int) { throw SambaError(); }
void Samba::read(uint32_t, uint8_t*, int) { throw SambaError(); }
bool Samba::chipErase(uint32_t, uint8_t) { throw SambaError(); }
bool Samba::writeBuffer(uint32_t, uint32_t, uint32_t) { throw SambaError(); }
uint32_t Samba::checksumBuffer(uint32_t, uint32_t) { throw SambaError(); }
bool Samba::eepromDump(uint32_t, uint8_t*) { throw SambaError(); }
bool Samba::initD() { throw SambaError(); }
