// A simulated port that can be switched to scripted replies, for answers no
// well-behaved adapter would give. Before script() it talks to its adapter;
// from then on the host's bytes are only logged, and reads return the
// scripted bytes without waiting (what is not scripted has timed out).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SimPort.h"

class ScriptPort : public SimPort {
public:
    ScriptPort(std::shared_ptr<SimAdapter> adapter, const SimPortOptions& options,
               std::shared_ptr<SimPortLog> log)
        : SimPort("SCRIPT", std::move(adapter), options, std::move(log))
    {
    }

    void script(const std::string& bytes)
    {
        _scripted = true;
        _input.insert(_input.end(), bytes.begin(), bytes.end());
    }
    void script(const std::vector<uint8_t>& bytes)
    {
        script(std::string(bytes.begin(), bytes.end()));
    }

    int read(uint8_t* data, int size) override
    {
        if (!_scripted)
            return SimPort::read(data, size);
        int n = 0;
        while (n < size && !_input.empty()) {
            data[n++] = static_cast<uint8_t>(_input.front());
            _input.pop_front();
        }
        return n;
    }
    int write(const uint8_t* data, int size) override
    {
        if (!_scripted)
            return SimPort::write(data, size);
        log()->sent.insert(log()->sent.end(), data, data + size);
        return size;
    }
    int get() override
    {
        uint8_t b;
        return read(&b, 1) == 1 ? b : -1;
    }
    int put(int c) override
    {
        uint8_t b = static_cast<uint8_t>(c);
        return write(&b, 1) == 1 ? b : -1;
    }

private:
    bool _scripted = false;
    std::deque<char> _input;
};
