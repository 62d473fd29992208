#include "files/FileReplace.h"

#include "files/FileFill.h"

bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error)
{
    return replaceFile(
        path, [data, size](FileSink& sink, std::string&) { return sink.write(data, size); }, error);
}

bool fillSink(FileSink& sink, const FileContent& content,
              const std::function<std::string()>& sinkFailure,
              const std::function<std::string()>& sync, std::string& error)
{
    std::string reason;
    bool produced = content(sink, reason);
    std::string failed = sinkFailure();
    if (failed.empty() && !produced) {
        error = reason;
        return false;
    }
    if (failed.empty() && sync)
        failed = sync();
    if (failed.empty())
        return true;
    error = failed;
    return false;
}
