#include "WebSerialPort.h"

#include <emscripten.h>

// The browser half lives in the page's link object (Module.link).
EM_ASYNC_JS(int, web_link_open, (int baud, int data, int parity, int stop), {
    return (await Module.link.open(baud, data, parity, stop)) ? 1 : 0;
});
EM_ASYNC_JS(void, web_link_close, (), { await Module.link.close(); });
EM_JS(int, web_link_take, (uint8_t* data, int size), {
    return Module.link.take(HEAPU8.subarray(data, data + size));
});
// The program is suspended only when the reply is not there yet, and resumed
// straight from the port's delivery rather than a chain of promises.
EM_JS(int, web_link_wait, (int millisecs), {
    return Asyncify.handleSleep(function(wakeUp) { Module.link.wait(millisecs, wakeUp); });
});
EM_JS(int, web_link_write, (const uint8_t* data, int size), {
    return Module.link.write(HEAPU8.slice(data, data + size));
});
EM_JS(int, web_link_flush, (), { return Module.link.flush() ? 1 : 0; });

WebSerialPort::WebSerialPort(const std::string& name, bool isUsb) : SerialPort(name), _isUsb(isUsb)
{
}

WebSerialPort::~WebSerialPort()
{
    close();
}

bool WebSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (_open)
        return false;
    if (parity < ParityNone || parity > ParityEven || stop < StopBitOne || stop > StopBitTwo)
        return false;
    _open = web_link_open(baud, data, parity, stop) != 0;
    _timeoutMs = 2147483647;
    return _open;
}

void WebSerialPort::close()
{
    if (!_open)
        return;
    _open = false;
    web_link_close();
}

int WebSerialPort::read(uint8_t* data, int size)
{
    if (!_open)
        return -1;
    if (size <= 0)
        return 0;
    int got = 0;
    for (;;) {
        // What has arrived is taken without suspending: most replies are
        // already there, and each suspension costs a round through the page.
        int taken = web_link_take(data + got, size - got);
        if (taken < 0)
            return -1;
        got += taken;
        if (got == size)
            return got;
        int waited = web_link_wait(_timeoutMs);
        if (waited < 0)
            return -1;
        if (waited == 0)
            return got;
    }
}

int WebSerialPort::write(const uint8_t* data, int size)
{
    if (!_open)
        return -1;
    if (size <= 0)
        return 0;
    return web_link_write(data, size);
}

int WebSerialPort::get()
{
    uint8_t byte;
    return read(&byte, 1) == 1 ? byte : -1;
}

int WebSerialPort::put(int c)
{
    uint8_t byte = static_cast<uint8_t>(c);
    return write(&byte, 1) == 1 ? byte : -1;
}

bool WebSerialPort::timeout(int millisecs)
{
    if (!_open)
        return false;
    _timeoutMs = millisecs < 0 ? 0 : millisecs;
    return true;
}

bool WebSerialPort::flush()
{
    return _open && web_link_flush() != 0;
}
