// What both system halves of the file writing do with a content: stream it
// into their sink and make it durable.
#pragma once

#include <functional>
#include <string>

#include "files/FileReplace.h"

// Streams the content into sink. sinkFailure gives the message for a failed
// sink write ("" while none failed); it goes before the content's own reason,
// which is often only a consequence. sync, when given, makes the content
// durable and gives its failure message, or "".
bool fillSink(FileSink& sink, const FileContent& content,
              const std::function<std::string()>& sinkFailure,
              const std::function<std::string()>& sync, std::string& error);
