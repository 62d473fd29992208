#include "PackageBuilder.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

void putLe(Bytes& out, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

uint32_t byteSum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++)
        sum += data[i];
    return sum;
}

Bytes patternBytes(size_t size, uint8_t seed)
{
    Bytes out(size);
    uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

Bytes buildPackage(const PackageFields& f)
{
    Bytes out(0x30, 0);
    out[0] = 'V';
    out[1] = 'M';
    out[2] = 'D';
    out[3] = static_cast<uint8_t>(f.type);
    putLe(out, 0x04, f.swVer, 2);
    putLe(out, 0x08, f.loadAddr, 4);
    uint32_t total = f.total.value_or(static_cast<uint32_t>(f.payload.size()));
    putLe(out, 0x0C, total, 4);
    out[0x1E] = f.warmReset;
    out[0x1F] = f.handling;
    for (size_t i = 0; i < f.hwVer.size(); i++)
        putLe(out, 0x20 + 2 * i, f.hwVer[i], 2);
    out.insert(out.end(), f.payload.begin(), f.payload.end());
    out.resize(out.size() + 4);
    putLe(out, out.size() - 4, f.payloadCksum.value_or(byteSum(f.payload)), 4);
    out.insert(out.end(), f.image.begin(), f.image.end());

    // What the update streams from the payload start and then verifies.
    size_t range = total + (f.handling == 2 ? 4096u : 0u);
    size_t available = out.size() - 0x30;
    uint32_t plain = byteSum(out.data() + 0x30, range < available ? range : available);
    putLe(out, 0x10, f.plainCksum.value_or(plain), 4);
    return out;
}

void writeFile(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
