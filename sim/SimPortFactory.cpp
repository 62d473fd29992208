#include "SimPortFactory.h"

void SimPortFactory::addAdapter(const std::string& name, std::shared_ptr<SimAdapter> adapter,
                                bool usb)
{
    SimPortOptions options;
    options.usb = usb;
    addPort(name, std::move(adapter), options);
}

void SimPortFactory::addSilent(const std::string& name, bool usb)
{
    SimPortOptions options;
    options.usb = usb;
    addPort(name, nullptr, options);
}

void SimPortFactory::addPort(const std::string& name, std::shared_ptr<SimAdapter> adapter,
                             const SimPortOptions& options)
{
    if (_entries.find(name) == _entries.end())
        _names.push_back(name);
    _entries[name] = Entry{std::move(adapter), options};
}

std::string SimPortFactory::begin()
{
    _walk = 0;
    return next();
}

std::string SimPortFactory::next()
{
    if (_walk >= _names.size())
        return end();
    return _names[_walk++];
}

SerialPort::Ptr SimPortFactory::create(const std::string& name)
{
    auto it = _entries.find(name);
    return create(name, it != _entries.end() ? it->second.options.usb : false);
}

SerialPort::Ptr SimPortFactory::create(const std::string& name, bool isUsb)
{
    _created.push_back(name);
    Entry entry;
    entry.options.opens = false;
    auto it = _entries.find(name);
    if (it != _entries.end())
        entry = it->second;
    entry.options.usb = isUsb;
    return SerialPort::Ptr(new SimPort(name, entry.adapter, entry.options, log(name)));
}

std::shared_ptr<SimPortLog> SimPortFactory::log(const std::string& name)
{
    std::shared_ptr<SimPortLog>& log = _logs[name];
    if (!log)
        log = std::make_shared<SimPortLog>();
    return log;
}
