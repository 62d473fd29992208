#include "FileReplace.h"

bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error)
{
    return replaceFile(
        path, [data, size](FileSink& sink, std::string&) { return sink.write(data, size); }, error);
}
