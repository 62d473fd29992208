#include "WebPortFactory.h"

#include <emscripten.h>

#include "WebSerialPort.h"

// A port whose getInfo() names a USB vendor is a USB device.
EM_JS(int, web_link_is_usb, (), { return Module.link.isUsb() ? 1 : 0; });

std::string WebPortFactory::begin()
{
    return _name;
}

SerialPort::Ptr WebPortFactory::create(const std::string& name)
{
    return create(name, web_link_is_usb() != 0);
}

SerialPort::Ptr WebPortFactory::create(const std::string& name, bool isUsb)
{
    return std::make_unique<WebSerialPort>(name, isUsb);
}
