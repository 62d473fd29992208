// The one port the person chose in the browser's port chooser.
#pragma once

#include "PortFactory.h"

class WebPortFactory : public PortFactoryBase {
public:
    // name is what the messages call the chosen port.
    explicit WebPortFactory(const std::string& name) : _name(name) {}

    std::string begin() override;
    std::string end() override { return ""; }
    std::string next() override { return end(); }
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;

private:
    std::string _name;
};
