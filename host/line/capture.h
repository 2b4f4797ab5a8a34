// Recording a line (--capture FILE) and showing a recording (capture show FILE). The format is
// described in sim/capture.h.
#pragma once

#include "host/common/log.h"
#include "sim/capture.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Appends records to FILE, one write per record so that a killed host leaves every record it
// finished. When the next record would take the file past `max_bytes`, FILE becomes FILE.1
// (replacing an older FILE.1) and a new FILE is started: at most about twice `max_bytes` on
// disk.
class CaptureWriter {
public:
    static constexpr uint64_t kDefaultMaxBytes = 16u << 20;
    static constexpr uint64_t kMinMaxBytes = 4096;

    // Throws std::runtime_error when FILE cannot be opened for appending.
    CaptureWriter(std::string path, uint64_t max_bytes, Log &log);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    void record(sim::CaptureRecord::Direction direction, const std::string &port,
                const std::string &device, const unsigned char *data, size_t len);
    void record(const sim::CaptureRecord &record);

private:
    void open_file();
    void rotate();

    std::string path;
    uint64_t max_bytes;
    Log &log;
    int fd = -1;
    uint64_t size = 0;
    bool failed = false; // said once; recording stops
};

// The transcript of a capture: one line per frame (or per run of bytes outside any frame),
// with its time from the first record, port, device, direction, the frame as sent and its
// meaning, and a last line on what the file held.
std::vector<std::string> capture_transcript(const sim::CaptureFile &file);

} // namespace host
