// Recording a line (the host's --capture FILE) in the format of capture/format.h.
#pragma once

#include "capture/format.h"
#include "hostlib/trouble_episode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace capture {

// Appends records to FILE, one write per record so that a killed host leaves every record it
// finished. When the next record would take the file past `max_bytes`, FILE becomes FILE.1
// (replacing an older FILE.1) and a new FILE is started: at most about twice `max_bytes` on
// disk.
class CaptureWriter {
public:
    static constexpr uint64_t kDefaultMaxBytes = 16u << 20;
    static constexpr uint64_t kMinMaxBytes = 4096;

    // Where the writer says, once, that recording cannot go on (a failed write or rotation),
    // and again when it goes on (see TroubleEpisode).
    using Tell = std::function<void(const std::string &)>;

    // Throws CaptureError when FILE cannot be opened for appending. `now`: the clock of
    // the trouble's calm time (tests set their own).
    CaptureWriter(std::string path, uint64_t max_bytes, Tell tell, TroubleEpisode::Now now = {});
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    void record(CaptureRecord::Direction direction, const std::string &port,
                const std::string &device, const unsigned char *data, size_t len);
    void record(const CaptureRecord &record);

private:
    void open_file();
    bool rotate();
    void trouble(const std::string &why);

    std::string path;
    uint64_t max_bytes;
    Tell tell;
    int fd = -1;
    uint64_t size = 0;
    TroubleEpisode trouble_episode; // every record tries again while it lasts
};

} // namespace capture
