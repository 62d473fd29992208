// tarvo-pack create: one package from a payload file, streamed, never whole
// in memory.
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "Device.h"
#include "package/PackTool.h"
#include "package/PackageWriter.h"
#include "files/StdFile.h"
#include "Usage.h"

namespace {

int usageError(const std::string& message)
{
    return reportUsageError(PROGRAM, message, HelpHint::LongOnly);
}

const char* const VALUE_OPTIONS[] = {
    "type", "signature", "hw", "sw-ver", "field06", "load-addr", "total", "plain-checksum",
    "field14", "warm-reset", "handling", "settings", "payload-checksum", "fit",
};

bool takesValue(const std::string& name)
{
    for (const char* option : VALUE_OPTIONS)
        if (name == option)
            return true;
    return false;
}

// Splits "--name=value" and "--name value" into the map; the rest are
// operands, and so is everything after "--".
bool splitArgs(const std::vector<std::string>& args, std::map<std::string, std::string>& options,
               std::vector<std::string>& operands, std::string& error)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (arg == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.compare(0, 2, "--") != 0) {
            operands.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        size_t eq = name.find('=');
        bool hasValue = eq != std::string::npos;
        if (hasValue) {
            value = name.substr(eq + 1);
            name.erase(eq);
        }
        if ((name == "append" || name == "allow-invalid") && !hasValue) {
            options[name] = "";
        } else if (takesValue(name)) {
            if (!hasValue) {
                if (i + 1 == args.size()) {
                    error = "option '--" + name + "' requires a value";
                    return false;
                }
                value = args[++i];
            }
            options[name] = value;
        } else {
            error = "unrecognized option '" + arg + "'";
            return false;
        }
    }
    return true;
}

bool parseHex(const std::string& text, uint8_t* out, size_t size)
{
    if (text.size() != 2 * size)
        return false;
    for (size_t i = 0; i < size; i++) {
        uint32_t byte;
        if (!isxdigit(static_cast<unsigned char>(text[2 * i])) ||
            !parseNumber("0x" + text.substr(2 * i, 2), 0xFF, byte))
            return false;
        out[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

bool parseHwList(const std::string& text, uint16_t* list, std::string& error)
{
    int count = 0;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        uint32_t value;
        if (count == package::HW_VER_COUNT || !parseNumber(item, 0xFFFF, value)) {
            error = "--hw takes 1 to 8 numbers from 0 to 0xFFFF";
            return false;
        }
        list[count++] = static_cast<uint16_t>(value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    for (int i = count; i < package::HW_VER_COUNT; i++)
        list[i] = list[count - 1];
    return true;
}

// Fills the header fields from the options; payload-dependent fields stay for later.
bool headerFromOptions(const std::map<std::string, std::string>& options, PackageRecipe& recipe,
                       std::string& error)
{
    auto has = [&](const char* name) { return options.count(name) != 0; };
    auto number = [&](const char* name, uint32_t max, uint32_t& value) {
        if (!has(name))
            return true;
        if (parseNumber(options.at(name), max, value))
            return true;
        error = std::string("invalid value for --") + name + ": '" + options.at(name) + "'";
        return false;
    };

    if (has("type") == has("signature")) {
        error = "give either --type or --signature";
        return false;
    }
    if (has("type")) {
        const std::string& type = options.at("type");
        if (type.size() != 1) {
            error = "--type takes one letter";
            return false;
        }
        recipe.signature = package::signature(type[0]);
    } else {
        const std::string& sig = options.at("signature");
        if (sig.size() != 4) {
            error = "--signature takes 4 characters";
            return false;
        }
        recipe.signature = 0;
        for (int i = 3; i >= 0; i--)
            recipe.signature = (recipe.signature << 8) | static_cast<uint8_t>(sig[i]);
    }
    if (!has("hw")) {
        error = "missing --hw";
        return false;
    }
    if (!parseHwList(options.at("hw"), recipe.hwVer, error))
        return false;

    uint32_t swVer = 0, field06 = 0, warm = 0, handling = 0;
    if (!number("sw-ver", 0xFFFF, swVer) || !number("field06", 0xFFFF, field06) ||
        !number("load-addr", UINT32_MAX, recipe.loadAddr) ||
        !number("warm-reset", 0xFF, warm) || !number("handling", 0xFF, handling))
        return false;
    recipe.swVer = static_cast<uint16_t>(swVer);
    recipe.field06 = static_cast<uint16_t>(field06);
    recipe.warmReset = static_cast<uint8_t>(warm);
    recipe.handling = static_cast<uint8_t>(handling);

    if (has("total")) {
        recipe.totalOverride = true;
        if (!number("total", UINT32_MAX, recipe.total))
            return false;
    }
    if (has("plain-checksum")) {
        recipe.plainOverride = true;
        if (!number("plain-checksum", UINT32_MAX, recipe.plainCksum))
            return false;
    }
    if (has("payload-checksum")) {
        recipe.payloadOverride = true;
        if (!number("payload-checksum", UINT32_MAX, recipe.payloadCksum))
            return false;
    }
    if (has("field14") && !parseHex(options.at("field14"), recipe.field14, sizeof(recipe.field14))) {
        error = "--field14 takes 20 hex digits";
        return false;
    }
    return true;
}

bool readSettingImage(const std::string& name, uint8_t* image, std::string& error)
{
    StdFile f(fopen(name.c_str(), "rb"));
    if (!f) {
        error = "cannot open setting image " + name;
        return false;
    }
    if (fread(image, 1, package::SETTING_IMAGE_SIZE, f.get()) != package::SETTING_IMAGE_SIZE ||
        fgetc(f.get()) != EOF) {
        error = "setting image " + name + " is not 4096 bytes long";
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The region --fit names, or 0 when the text names no chip.
uint32_t fitRegion(const std::string& fit)
{
    uint32_t chip = 0;
    if (fit == "128" || fit == "128k")
        chip = device::CHIP_128K;
    else if (fit == "256" || fit == "256k")
        chip = device::CHIP_256K;
    else if (!parseNumber(fit, UINT32_MAX, chip) || !device::isSupportedChip(chip))
        return 0;
    return device::romSize(chip);
}

std::string hex32(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// Why tarvo would never install the package, one reason a line; empty when
// it would install it on an adapter its hardware list and letter name.
std::vector<std::string> packageProblems(const PackageRecipe& recipe, uint32_t payloadSum,
                                         bool typeGiven)
{
    std::vector<std::string> problems;
    const char letter = package::typeLetter(recipe.signature);
    const bool vmd = (recipe.signature & 0xFFFFFF) == (package::signature(0) & 0xFFFFFF);
    if (!vmd || !device::isKnownType(static_cast<uint8_t>(letter))) {
        if (typeGiven)
            problems.push_back(std::string("type letter '") + letter +
                               "' is not one tarvo installs: C, E, K, N or X (upper case)");
        else
            problems.push_back("signature is not \"VMD\" followed by C, E, K, N or X");
    }
    if (recipe.loadAddr != device::FIRMWARE_BASE)
        problems.push_back("load address " + hex32(recipe.loadAddr) +
                           " is not 0x00001000, where every firmware starts");
    if (recipe.fitSize == 0)
        problems.push_back("the payload fills no chip's firmware region: give --fit=128k or "
                           "--fit=256k");
    else if (recipe.total != recipe.fitSize)
        problems.push_back("total size " + hex32(recipe.total) +
                           " is not the firmware region the payload fills, " +
                           hex32(recipe.fitSize));
    if (recipe.payloadCksum != payloadSum)
        problems.push_back("payload checksum " + hex32(recipe.payloadCksum) +
                           " is not the payload's sum " + hex32(payloadSum));
    return problems;
}

}  // namespace

int packCreate(const std::vector<std::string>& args)
{
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
    std::string error;
    if (!splitArgs(args, options, operands, error))
        return usageError(error);
    if (operands.size() != 2)
        return usageError("create takes a payload file and a package file");

    PackageRecipe recipe;
    if (!headerFromOptions(options, recipe, error))
        return usageError(error);
    const bool allowInvalid = options.count("allow-invalid") != 0;

    if (options.count("fit")) {
        recipe.fitSize = fitRegion(options.at("fit"));
        if (recipe.fitSize == 0)
            return usageError("--fit takes 128k, 256k, 0x1001030B or 0x1001030A");
    }

    bool withImage = recipe.handling == package::HANDLING_WITH_IMAGE;
    if (withImage != (options.count("settings") != 0))
        return usageError("--settings goes with --handling=2, and only with it");
    if (withImage && !readSettingImage(options.at("settings"), recipe.image, error)) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
        return 1;
    }

    const std::string& payload = operands[0];
    const std::string& output = operands[1];
    std::error_code ec;
    if (std::filesystem::equivalent(payload, output, ec)) {
        fprintf(stderr, "%s: the payload file cannot be the package file\n", PROGRAM);
        return 1;
    }
    // Without --fit, a payload already as long as one chip's firmware region
    // names that chip; any other length would be a guess.
    uint64_t length = 0;
    if (!payloadLength(payload, length, error)) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
        return 1;
    }
    if (recipe.fitSize == 0) {
        const uint64_t padded = (length + package::PAYLOAD_ALIGN - 1) / package::PAYLOAD_ALIGN *
                                package::PAYLOAD_ALIGN;
        if (padded <= UINT32_MAX && chipForSize(static_cast<uint32_t>(padded)))
            recipe.fitSize = static_cast<uint32_t>(padded);
    }

    std::vector<std::string> problems;
    const bool typeGiven = options.count("type") != 0;
    PackageApproval approve = [&](const PackageRecipe& r, uint32_t payloadSum, std::string& why) {
        problems = packageProblems(r, payloadSum, typeGiven);
        if (problems.empty() || allowInvalid)
            return true;
        why = problems.front();
        for (size_t i = 1; i < problems.size(); i++)
            why += std::string("\n") + PROGRAM + ": " + problems[i];
        why += std::string("\n") + PROGRAM +
               ": tarvo never installs such a package; --allow-invalid makes it for tests";
        return false;
    };
    if (!writePackage(payload, output, options.count("append") != 0, recipe, approve, error)) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
        return 1;
    }
    printf("%s package at offset 0x%08llX of %s: type %c, total 0x%08X, "
           "payload checksum 0x%08X, plain checksum 0x%08X\n",
           options.count("append") ? "Appended" : "Wrote",
           static_cast<unsigned long long>(recipe.offset), output.c_str(),
           package::typeLetter(recipe.signature), recipe.total, recipe.payloadCksum, recipe.plainCksum);
    for (const std::string& problem : problems)
        printf("Invalid on purpose (--allow-invalid), tarvo will not install it: %s\n",
               problem.c_str());
    return 0;
}
