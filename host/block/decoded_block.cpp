#include "host/block/decoded_block.h"

#include <cstdio>
#include <cstring>

namespace host {
namespace {

constexpr size_t kTailBytes = 4; // param47_a, param47_b

// Takes the packed records out of the block's bytes one after the other, by copy: the target
// traps on unaligned access, so a record is never read through a cast pointer.
class Reader {
public:
    Reader(const unsigned char *data, size_t len) : data(data), len(len) {}
    template <class T> bool take(T &out) {
        if (len - at < sizeof(T))
            return false;
        std::memcpy(&out, data + at, sizeof(T));
        at += sizeof(T);
        return true;
    }
    template <class T> bool take(std::vector<T> &out, size_t n) {
        out.resize(n);
        for (T &item : out)
            if (!take(item))
                return false;
        return true;
    }

private:
    const unsigned char *data;
    size_t len;
    size_t at = 0;
};

} // namespace

ModuleState module_state(const mpx23_rc_channel &m) {
    static const char *const kChargeModes[] = {"float", "equalise", "test"};
    const size_t modes = sizeof kChargeModes / sizeof kChargeModes[0];
    ModuleState state;
    state.on = m.on_off == 0;
    state.current_limited = m.limit != 0;
    state.charge = m.charge_mode < modes ? kChargeModes[m.charge_mode]
                                         : "unknown (" + std::to_string(m.charge_mode) + ")";
    state.failed = m.fault != 0;
    return state;
}

size_t block_size(size_t modules, size_t inputs) {
    return sizeof(rcData) + modules * sizeof(mpx23_rc_channel) + sizeof(acData) +
           inputs * sizeof(mpx23_ac_channel) + sizeof(dcData) + kTailBytes;
}

bool decode_block(const unsigned char *data, size_t len, DecodedBlock &out, std::string &error) {
    Reader in(data, len);
    const std::string size = "block of " + std::to_string(len) + " bytes";
    if (!data || !in.take(out.rc) || !in.take(out.modules, out.rc.channel_count)) {
        error =
            size + ": too short for " + std::to_string(out.rc.channel_count) + " rectifier records";
        return false;
    }
    if (!in.take(out.ac) || !in.take(out.inputs, out.ac.channel_count)) {
        error =
            size + ": too short for " + std::to_string(out.ac.channel_count) + " AC input records";
        return false;
    }
    const size_t expected = block_size(out.modules.size(), out.inputs.size());
    if (len != expected || !in.take(out.dc) || !in.take(out.param47_a) || !in.take(out.param47_b)) {
        error = size + ": " + std::to_string(out.modules.size()) + " rectifier and " +
                std::to_string(out.inputs.size()) + " AC input records make " +
                std::to_string(expected);
        return false;
    }
    return true;
}

// Every document writes several of these a round: the digits are set by hand, not by printf.
std::string time_text(const uint8_t (&record)[kTimeRecordSize]) {
    uint16_t year;
    std::memcpy(&year, record, sizeof year);
    const bool two_digits =
        record[2] < 100 && record[3] < 100 && record[4] < 100 && record[5] < 100 && record[6] < 100;
    if (year > 9999 || !two_digits) { // nothing a driver writes, but shown as it is
        char text[40];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, record[2],
                      record[3], record[4], record[5], record[6]);
        return text;
    }
    char text[] = "0000-00-00 00:00:00";
    const auto put = [&text](size_t at, unsigned value, size_t digits) {
        for (size_t i = digits; i-- > 0; value /= 10)
            text[at + i] = static_cast<char>('0' + value % 10);
    };
    put(0, year, 4);
    for (size_t i = 0; i < 5; ++i)
        put(5 + 3 * i, record[2 + i], 2);
    return text;
}

} // namespace host
