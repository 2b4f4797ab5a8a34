// Records and small helpers of the host framework that the driver uses.
#pragma once

#include "kvo_api.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <string>

// A threshold rule that the host collects during a polling round. The driver never fills one;
// it hands the host's vector on to the batch check and empties it.
struct KVO_API rule_value {
    std::string name;
    std::string text;
    float value = 0.0f;
    int level = 0;
};

// The controller that owns the devices. The driver holds it weakly, for logging only.
class KVO_API KVOController {
public:
    virtual ~KVOController() = default;
    // The controller-side logger the plug-in is built against discards messages with one
    // unsigned argument.
    void InfoLog(const char * /*format*/, unsigned /*value*/) {}
};

// The host's compact 7-byte time record:
//   bytes 0-1  year, 16 bits, host byte order
//   byte  2    month, 1-12
//   byte  3    day of month, 1-31
//   byte  4    hour, 0-23
//   byte  5    minute, 0-59
//   byte  6    second, 0-59
// (the first four bytes form the "date group", the last three the time of day).
struct ttime {
    unsigned char bytes[7];
};

// Converts a local wall-clock time (seconds resolution) to the 7-byte record. Provided by the
// host; the plug-in leaves the symbol undefined.
KVO_API ttime get_ttime(const boost::posix_time::ptime &local_time);
