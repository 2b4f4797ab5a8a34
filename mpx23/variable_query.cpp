// Named values the host can read: "out_v" (DC output voltage) and "ac" (AC input outage).
#include "mpx23/mpx23.h"

#include <chrono>
#include <stdexcept>

namespace {

constexpr std::chrono::seconds kFreshness{60};
constexpr float kOutageVoltage = 150.0f;

const char kNotReady[] = "数据未就绪";
const char kTimedOut[] = "数据已超时";
const char kUnsupported[] = "不支持变量";

} // namespace

float MPX23::Get_Value(unsigned /*index*/, const std::string &name) const {
    // A cache load marks the device ready for the host, but nothing has been decoded into the
    // store: serve values only once this object has completed a round of its own.
    if (data_ready != 1 || !has_completed_round())
        throw std::out_of_range(kNotReady);
    // The age is measured on the monotonic clock: setting the wall clock (by hand, by NTP, by
    // daylight-saving time) neither revives stale data nor times fresh data out.
    const auto age =
        std::chrono::duration_cast<std::chrono::seconds>(steady_now() - update_stamp());
    if (age > kFreshness)
        throw std::out_of_range(kTimedOut);
    if (name == "out_v")
        return dcData.voltage;
    if (name == "ac") {
        // 1.0 when every phase of the (first two) AC inputs is below 150 V. Only records that
        // exist are read; NaN counts as not below.
        if (ac_channels.empty())
            throw std::out_of_range(kNotReady);
        const size_t inputs = ac_channels.size() < 2 ? ac_channels.size() : 2;
        for (size_t i = 0; i < inputs; ++i) {
            const mpx23_ac_channel &line = ac_channels[i];
            for (float phase : {line.ua, line.ub, line.uc})
                if (!(phase < kOutageVoltage))
                    return 0.0f;
        }
        return 1.0f;
    }
    throw std::out_of_range(kUnsupported);
}
