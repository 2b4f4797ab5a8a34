#include "host/mqtt/state_throttle.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace host {
namespace {

using Quantity = StateThrottle::Quantity;
using Values = StateThrottle::Values;

// The larger of the two, in the order of Quantity. In single precision, as the readings are:
// the controller's core does it in software, and doubles cost twice as much.
struct Deadband {
    float amount;
    float share; // of the value last published
};
constexpr Deadband kDeadbands[] = {
    {1.0f, 0.015f}, // voltage
    {1.0f, 0.05f},  // current
    {1.0f, 0.0f},   // frequency
    {1.0f, 0.05f},  // user-defined value
};

// A module's own readings would have to be taken out of its bytes below, as out_i is.
static_assert(RcChannelSizes::P41_41_SIZE() == 0, "module readings taken out of its bytes");

bool beyond(const StateThrottle::Reading &was, float now) {
    if (std::isnan(was.value) || std::isnan(now))
        return std::isnan(was.value) != std::isnan(now);
    const Deadband &band = kDeadbands[static_cast<size_t>(was.quantity)];
    return std::fabs(now - was.value) > std::max(band.amount, band.share * std::fabs(was.value));
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
// earlier reply left them, so they never move). Into `v`, whose room is kept from round to round.
void values_of(const DecodedBlock &b, Values &v) {
    v.readings.clear();
    v.rest.clear();
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
}

} // namespace

bool StateThrottle::offer(const DecodedBlock &block, double now) {
    if (heartbeat <= 0.0)
        return true;
    values_of(block, offered);
    const bool due = forced || !any_sent || now - last_time >= heartbeat || moved();
    if (due)
        keep_offered(now);
    return due;
}

void StateThrottle::published(const DecodedBlock &block, double now) {
    if (heartbeat <= 0.0)
        return;
    values_of(block, offered);
    keep_offered(now);
}

void StateThrottle::keep_offered(double now) {
    std::swap(sent, offered);
    any_sent = true;
    last_time = now;
    forced = false;
}

bool StateThrottle::moved() const {
    if (offered.rest != sent.rest || offered.readings.size() != sent.readings.size())
        return true;
    for (size_t i = 0; i < offered.readings.size(); ++i)
        if (beyond(sent.readings[i], offered.readings[i].value))
            return true;
    return false;
}

} // namespace host
