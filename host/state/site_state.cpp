#include "host/state/site_state.h"

#include "host/common/clock_text.h"
#include "hostlib/host_services.h"

#include <algorithm>

namespace host {

double epoch_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Every counter is there, at 0, before its first event: a rate over a series that appears with
// its first count would miss that count.
SiteState::SiteState(const std::vector<uint32_t> &data_ids) {
    for (uint32_t id : data_ids) {
        all.emplace_back();
        all.back().data_id = id;
        all.back().link_since = epoch_seconds();
        for (const char *reason : kRoundFailureReasons)
            all.back().failed[reason] = 0;
        for (int fault = 0; fault < kFrameFaultKinds; ++fault)
            all.back().dropped[kvo::fault_name(static_cast<FrameFault>(fault))] = 0;
    }
}

const DeviceState *SiteState::device(uint32_t data_id) const {
    auto found = std::find_if(all.begin(), all.end(),
                              [&](const DeviceState &d) { return d.data_id == data_id; });
    return found == all.end() ? nullptr : &*found;
}

DeviceState *SiteState::find(uint32_t data_id) {
    return const_cast<DeviceState *>(static_cast<const SiteState *>(this)->device(data_id));
}

void SiteState::set_name(uint32_t data_id, const std::string &name) {
    if (DeviceState *d = find(data_id))
        d->name = name;
}

// The driver reports nothing with the alarm profile fixed at 0, and only the alarms whose
// setting is not 0 otherwise.
void SiteState::set_alarms(const DeviceConfig &config) {
    DeviceState *d = find(config.data_id);
    if (!d)
        return;
    d->driver_alarms.clear();
    d->module_alarms = config.alarms;
    const Json::Value profile = config.driver_settings()["alarm_profile"];
    if (profile.isIntegral() && profile.asInt() == 0)
        return;
    for (const auto &[id, setting] : config.effective_alarm_settings())
        if (setting != 0)
            d->driver_alarms.push_back(id);
}

void SiteState::recall(uint32_t data_id, const PlotPoint &point) {
    DeviceState *d = find(data_id);
    if (!d)
        return;
    d->recent.push_back(point);
    if (d->recent.size() > kRecentRounds)
        d->recent.pop_front();
}

// An unreadable block leaves the last good readings as they were; the terminal tells of it.
void SiteState::round_completed(const RoundCompleted &round) {
    DeviceState *d = find(round.data_id);
    if (!d || !round.decoded)
        return;
    const DecodedBlock &decoded = *round.decoded;
    if (d->link != DeviceState::Link::Up)
        d->link_since = epoch_seconds();
    d->link = DeviceState::Link::Up;
    d->block = decoded;
    d->shape = plant_shape(decoded);
    d->document.emplace(round, decoded);
    d->last_round = epoch_seconds();
    ++d->rounds;
    // The round's alarms came before it: the flag is this round's.
    d->recent.push_back(
        {d->last_round, decoded.dc.voltage, decoded.dc.load_current, !d->alarms.empty()});
    while (d->recent.size() > kRecentRounds || d->recent.front().time < d->last_round - kRecentSpan)
        d->recent.pop_front();
}

void SiteState::alarm_changed(const AlarmRecord &alarm) {
    if (DeviceState *d = find(alarm.data_id))
        note_alarm(d->alarms, alarm, utc_time_text());
}

// A lost device's readings are gone, not stale: a scrape shows it down and nothing else.
void SiteState::communication_changed(const CommunicationChanged &change) {
    DeviceState *d = find(change.data_id);
    if (!d)
        return;
    const DeviceState::Link link = change.lost ? DeviceState::Link::Lost : DeviceState::Link::Up;
    if (d->link != link)
        d->link_since = epoch_seconds();
    d->link = link;
    d->cause = change.cause;
    if (!change.lost)
        return;
    d->block.reset();
    if (d->document)
        d->document->mark_lost();
}

void SiteState::round_failed(const RoundFailed &failure) {
    if (DeviceState *d = find(failure.data_id))
        ++d->failed[failure.reason];
}

void SiteState::frame_dropped(const FrameDropped &drop) {
    if (DeviceState *d = find(drop.data_id))
        ++d->dropped[drop.fault];
}

void SiteState::line_turn(const LineTurn &turn) {
    const Clock::time_point now = Clock::now();
    auto [at, fresh] = lines.try_emplace(turn.line);
    LineUse &use = at->second;
    if (fresh)
        use.first = now - std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(turn.held_s));
    use.turns.push_back({now, turn.held_s});
    while (std::chrono::duration<double>(now - use.turns.front().end).count() > kBusyWindow)
        use.turns.pop_front();
}

std::map<std::string, double> SiteState::busy_ratios(Clock::time_point now) const {
    std::map<std::string, double> out;
    for (const auto &[name, use] : lines) {
        double held = 0.0;
        for (const Turn &t : use.turns)
            if (std::chrono::duration<double>(now - t.end).count() <= kBusyWindow)
                held += t.held_s;
        const double span =
            std::min(kBusyWindow, std::chrono::duration<double>(now - use.first).count());
        out[name] = span > 0.0 ? std::min(1.0, held / span) : 0.0;
    }
    return out;
}

} // namespace host
