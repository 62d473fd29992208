#include "package/PackageWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "files/FileReplace.h"
#include "files/StdFile.h"
#include "package/ByteSum.h"

namespace {

void putLe(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The payload file's bytes followed by 0xFF up to the padded length.
class PaddedPayload {
public:
    PaddedPayload(FILE* f, uint64_t fileSize, uint64_t paddedSize)
        : _f(f), _fileSize(fileSize), _paddedSize(paddedSize)
    {
    }
    void rewind()
    {
        fseek(_f, 0, SEEK_SET);
        _pos = 0;
    }
    // Next chunk of at most max bytes; 0 at the end or when the file came up short.
    size_t next(uint8_t* buf, size_t max)
    {
        uint64_t left = _paddedSize - _pos;
        size_t n = static_cast<size_t>(left < max ? left : max);
        size_t fromFile = 0;
        if (_pos < _fileSize) {
            uint64_t fileLeft = _fileSize - _pos;
            size_t want = static_cast<size_t>(fileLeft < n ? fileLeft : n);
            fromFile = fread(buf, 1, want, _f);
            if (fromFile != want) {
                _short = true;
                return 0;
            }
        }
        for (size_t i = fromFile; i < n; i++)
            buf[i] = 0xFF;
        _pos += n;
        return n;
    }
    bool complete() const { return !_short && _pos == _paddedSize; }

private:
    FILE* _f;
    uint64_t _fileSize;
    uint64_t _paddedSize;
    uint64_t _pos = 0;
    bool _short = false;
};

// The bytes the update streams from the payload start: total, plus the
// image's 4096 with handling code 2.
uint64_t streamedRange(const PackageRecipe& recipe)
{
    return uint64_t{recipe.total} +
           (recipe.handling == package::HANDLING_WITH_IMAGE ? package::SETTING_IMAGE_SIZE : 0);
}

// The plain checksum covers the streamed range. payloadPart is the sum of
// its bytes within the padded payload; past the payload they are the
// payload checksum and the image's head.
uint32_t plainChecksum(const PackageRecipe& recipe, uint32_t payloadPart, uint64_t paddedSize)
{
    uint64_t range = streamedRange(recipe);
    if (range <= paddedSize)
        return payloadPart;
    uint64_t rest = range - paddedSize;
    uint8_t cksum[package::CKSUM_SIZE];
    putLe(cksum, recipe.payloadCksum, package::CKSUM_SIZE);
    uint32_t sum = packageByteSum(cksum, rest < sizeof(cksum) ? rest : sizeof(cksum), payloadPart);
    if (recipe.handling == package::HANDLING_WITH_IMAGE && rest > sizeof(cksum)) {
        uint64_t fromImage = rest - sizeof(cksum);
        sum = packageByteSum(recipe.image,
                             fromImage < sizeof(recipe.image) ? fromImage : sizeof(recipe.image), sum);
    }
    return sum;
}

void buildHeader(const PackageRecipe& recipe, uint8_t* header)
{
    for (uint32_t i = 0; i < package::HEADER_SIZE; i++)
        header[i] = 0;
    putLe(header + package::SIG_OFFSET, recipe.signature, 4);
    putLe(header + package::SW_VER_OFFSET, recipe.swVer, 2);
    putLe(header + 0x06, recipe.field06, 2);
    putLe(header + package::LOAD_ADDR_OFFSET, recipe.loadAddr, 4);
    putLe(header + package::TOTAL_OFFSET, recipe.total, 4);
    putLe(header + package::PLAIN_CKSUM_OFFSET, recipe.plainCksum, 4);
    for (size_t i = 0; i < sizeof(recipe.field14); i++)
        header[0x14 + i] = recipe.field14[i];
    header[package::WARM_RESET_OFFSET] = recipe.warmReset;
    header[package::HANDLING_OFFSET] = recipe.handling;
    for (int i = 0; i < package::HW_VER_COUNT; i++)
        putLe(header + package::HW_VER_OFFSET + 2 * i, recipe.hwVer[i], 2);
}

bool streamPackage(FileSink& out, PaddedPayload& payload, const PackageRecipe& recipe,
                   const std::string& payloadName, std::string& error)
{
    uint8_t header[package::HEADER_SIZE];
    buildHeader(recipe, header);
    if (!out.write(header, sizeof(header)))
        return false;
    payload.rewind();
    uint8_t buf[16384];
    while (size_t n = payload.next(buf, sizeof(buf)))
        if (!out.write(buf, n))
            return false;
    if (!payload.complete()) {
        error = "cannot read payload " + payloadName;
        return false;
    }
    uint8_t cksum[package::CKSUM_SIZE];
    putLe(cksum, recipe.payloadCksum, package::CKSUM_SIZE);
    if (!out.write(cksum, sizeof(cksum)))
        return false;
    return recipe.handling != package::HANDLING_WITH_IMAGE || out.write(recipe.image, sizeof(recipe.image));
}

}  // namespace

bool payloadLength(const std::string& payload, uint64_t& length, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(payload, ec);
    if (ec || !fs::exists(st)) {
        error = "cannot open payload " + payload + ": " +
                (ec ? ec.message() : std::string(strerror(ENOENT)));
        return false;
    }
    if (fs::is_directory(st)) {
        error = "payload " + payload + " is a directory";
        return false;
    }
    // Not ftell: its long may be 32 bits wide.
    const uintmax_t size = fs::file_size(payload, ec);
    if (ec) {
        error = "cannot tell the length of payload " + payload + ": " + ec.message();
        return false;
    }
    length = static_cast<uint64_t>(size);
    return true;
}

bool writePackage(const std::string& payloadName, const std::string& output, bool append,
                  PackageRecipe& recipe, const PackageApproval& approve, std::string& error)
{
    uint64_t fileSize = 0;
    if (!payloadLength(payloadName, fileSize, error))
        return false;
    StdFile in(fopen(payloadName.c_str(), "rb"));
    if (!in) {
        error = "cannot open payload " + payloadName + ": " + strerror(errno);
        return false;
    }
    uint64_t paddedSize = recipe.fitSize ? recipe.fitSize
                                       : (fileSize + package::PAYLOAD_ALIGN - 1) /
                                             package::PAYLOAD_ALIGN * package::PAYLOAD_ALIGN;
    if (fileSize > paddedSize || paddedSize > UINT32_MAX - package::PAYLOAD_ALIGN) {
        error = "payload " + payloadName + " is larger than " +
                (recipe.fitSize ? "the chip's firmware region" : "a package can hold");
        return false;
    }
    if (!recipe.totalOverride)
        recipe.total = static_cast<uint32_t>(paddedSize);

    // First pass: the sums, before anything is written.
    PaddedPayload payload(in.get(), fileSize, paddedSize);
    payload.rewind();
    uint32_t payloadSum = 0;
    uint32_t plainPart = 0;
    uint64_t plainLeft = streamedRange(recipe);
    uint8_t buf[16384];
    while (size_t n = payload.next(buf, sizeof(buf))) {
        for (size_t i = 0; i < n; i++)
            payloadSum += buf[i];
        size_t plainBytes = static_cast<size_t>(plainLeft < n ? plainLeft : n);
        plainPart = packageByteSum(buf, plainBytes, plainPart);
        plainLeft -= plainBytes;
    }
    if (!payload.complete()) {
        error = "cannot read payload " + payloadName;
        return false;
    }
    if (!recipe.payloadOverride)
        recipe.payloadCksum = payloadSum;
    if (!recipe.plainOverride)
        recipe.plainCksum = plainChecksum(recipe, plainPart, paddedSize);
    if (approve && !approve(recipe, payloadSum, error))
        return false;

    // A failed write leaves the output as it was: a replaced file untouched,
    // an appended one cut back.
    FileContent content = [&](FileSink& out, std::string& reason) {
        return streamPackage(out, payload, recipe, payloadName, reason);
    };
    if (!append) {
        recipe.offset = 0;
        return replaceFile(output, content, error);
    }
    uint64_t offset = 0;
    bool ok = appendToFile(output, content, offset, error);
    recipe.offset = offset;
    return ok;
}
