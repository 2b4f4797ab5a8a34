// The capture writer as the host keeps it (--capture FILE): the library's writer, telling the
// host's log when recording stops. The host's headers name it host::CaptureWriter.
#pragma once

#include "capture/writer.h"
#include "host/common/log.h"

#include <cstdint>
#include <string>
#include <utility>

namespace host {

class CaptureWriter : public capture::CaptureWriter {
public:
    // Throws std::runtime_error when FILE cannot be opened for appending.
    CaptureWriter(std::string path, uint64_t max_bytes, Log &log)
        : capture::CaptureWriter(std::move(path), max_bytes,
                                 [&log](const std::string &text) { log.error(text); }) {}
};

} // namespace host
