#pragma once

#include "PortFactory.h"

class PosixPortFactory : public PortFactoryBase {
public:
    std::string begin() override;
    std::string end() override;
    std::string next() override;
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;
};
