#include "host/mqtt/state_throttle.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace host {
namespace {

using Quantity = StateThrottle::Quantity;
using Values = StateThrottle::Values;

// The larger of the two, in the order of Quantity.
struct Deadband {
    double amount;
    double share; // of the value last published
};
constexpr Deadband kDeadbands[] = {
    {1.0, 0.015}, // voltage
    {1.0, 0.05},  // current
    {1.0, 0.0},   // frequency
    {1.0, 0.05},  // user-defined value
};

// A module's own readings would have to be taken out of its bytes below, as out_i is.
static_assert(RcChannelSizes::P41_41_SIZE() == 0, "module readings taken out of its bytes");

bool beyond(const StateThrottle::Reading &was, float now) {
    if (std::isnan(was.value) || std::isnan(now))
        return std::isnan(was.value) != std::isnan(now);
    const Deadband &band = kDeadbands[static_cast<size_t>(was.quantity)];
    const double last = was.value;
    return std::fabs(now - last) > std::max(band.amount, band.share * std::fabs(last));
}

// Appends a record's bytes and returns where they start (valid until the next append).
template <class Record> unsigned char *appended(Values &v, const Record &record) {
    const size_t at = v.rest.size();
    v.rest.append(reinterpret_cast<const char *>(&record), sizeof record);
    return reinterpret_cast<unsigned char *>(&v.rest[at]);
}

// Takes `count` floats at `bytes` into the readings, leaving zeros: what stays compares exactly.
void take(Values &v, Quantity q, unsigned char *bytes, size_t count = 1) {
    for (size_t i = 0; i < count; ++i, bytes += sizeof(float)) {
        float value;
        std::memcpy(&value, bytes, sizeof value);
        v.readings.push_back({q, value});
        std::memset(bytes, 0, sizeof value);
    }
}

void blank_time(unsigned char *bytes) {
    std::memset(bytes, 0, kTimeRecordSize);
}

// Every float of the records is a reading; a list's entries past its count too (they stay as an
// earlier reply left them, so they never move).
Values values_of(const DecodedBlock &b) {
    Values v;
    v.rest.reserve(block_size(b.modules.size(), b.inputs.size()));
    unsigned char *at = appended(v, b.rc);
    take(v, Quantity::Voltage, at + offsetof(rcData, out_v));
    blank_time(at + offsetof(rcData, time));
    for (const mpx23_rc_channel &m : b.modules)
        take(v, Quantity::Current, appended(v, m) + offsetof(mpx23_rc_channel, out_i));
    at = appended(v, b.ac);
    take(v, Quantity::Current, at + offsetof(acData, ia), 3); // ia, ib, ic
    blank_time(at + offsetof(acData, time));
    for (const mpx23_ac_channel &in : b.inputs) {
        at = appended(v, in);
        take(v, Quantity::Voltage, at + offsetof(mpx23_ac_channel, ua), 3); // ua, ub, uc
        take(v, Quantity::Frequency, at + offsetof(mpx23_ac_channel, f));
    }
    at = appended(v, b.dc);
    take(v, Quantity::Voltage, at + offsetof(dcData, voltage));
    take(v, Quantity::Current, at + offsetof(dcData, load_current));
    take(v, Quantity::Current, at + offsetof(dcData, m_values), DcSizes::M_SIZE());
    take(v, Quantity::Current, at + offsetof(dcData, n_values), DcSizes::N_SIZE());
    take(v, Quantity::UserValue, at + offsetof(dcData, p_values), DcSizes::P_SIZE());
    blank_time(at + offsetof(dcData, time));
    appended(v, b.param47_a);
    appended(v, b.param47_b);
    return v;
}

} // namespace

bool StateThrottle::offer(const DecodedBlock &block, double now) {
    if (heartbeat <= 0.0)
        return true;
    Values values = values_of(block);
    const bool due = forced || !last || now - last_time >= heartbeat || moved(values);
    if (due) {
        last = std::move(values);
        last_time = now;
        forced = false;
    }
    return due;
}

void StateThrottle::published(const DecodedBlock &block, double now) {
    if (heartbeat <= 0.0)
        return;
    last = values_of(block);
    last_time = now;
    forced = false;
}

bool StateThrottle::moved(const Values &now) const {
    if (now.rest != last->rest || now.readings.size() != last->readings.size())
        return true;
    for (size_t i = 0; i < now.readings.size(); ++i)
        if (beyond(last->readings[i], now.readings[i].value))
            return true;
    return false;
}

} // namespace host
