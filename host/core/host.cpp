#include "host/core/host.h"

#include "host/common/clock_text.h"

#include <csignal>

namespace host {

namespace asio = boost::asio;
using boost::system::error_code;

Host::Host(asio::io_context &io, Log &log, Events &events, RunOptions options)
    : io(io), log(log), events(events), options(std::move(options)), signals(io) {}

Host::~Host() = default;

// The one-shot operations go to the targeted device only, after its first completed round.
ChannelPlan Host::plan_for(const DeviceConfig &config) const {
    ChannelPlan plan;
    plan.rounds = options.rounds;
    if (options.target && *options.target != config.data_id)
        return plan;
    if (options.get)
        plan.operations.push_back({Operation::Get, *options.get, nullptr, false});
    if (options.set)
        plan.operations.push_back({Operation::Set, *options.set, nullptr, false});
    if (options.control)
        plan.operations.push_back({Operation::Control, *options.control, nullptr, options.force});
    return plan;
}

void Host::add(const DeviceConfig &config, std::shared_ptr<KVOVDevice> device) {
    auto &line = lines[config.port];
    if (!line)
        line = std::make_shared<Line>(io, events, config.port);
    line->set_capture(options.capture);
    ChannelOwner &owner = *this;
    all.push_back(
        std::make_unique<Channel>(io, log, events, owner, config, device, line, plan_for(config)));
    by_device[device.get()] = all.back().get();
}

int Host::run() {
    kvo::ScopedServices installed(*this);
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.add(SIGHUP);
    wait_for_signal();
    for (auto &c : all)
        c->start();
    io.run();
    return exit_status;
}

// SIGHUP asks a daemon to read its configuration again. The host cannot do that safely while it
// runs (devices, lines, history and broker are set up from it once), so it says so and goes on
// rather than die of the signal's default action or pretend to have reloaded.
void Host::wait_for_signal() {
    signals.async_wait([this](error_code ec, int number) {
        if (ec)
            return;
        if (number == SIGHUP) {
            log.line("SIGHUP: the configuration is read at start only; restart the host to apply "
                     "a change; polling goes on");
            wait_for_signal();
            return;
        }
        log.line(std::string("stopping on ") + (number == SIGINT ? "SIGINT" : "SIGTERM"));
        stop();
    });
}

// A run stopped before every device completed the rounds it was asked for did not do its job.
void Host::stop() {
    for (auto &c : all)
        if (c->rounds_short())
            failure(1);
    if (stopping) {
        auto hook = std::move(stopping);
        stopping = nullptr;
        hook();
    }
    for (auto &c : all)
        if (!c->finished())
            c->stop();
    error_code ignored;
    signals.cancel(ignored);
    io.stop();
}

void Host::channel_done() {
    for (auto &c : all)
        if (!c->finished())
            return;
    stop();
}

Channel *Host::find(const KVOVDevice &device) {
    auto found = by_device.find(&device);
    return found == by_device.end() ? nullptr : found->second;
}

bool Host::CheckThresholdBool(KVOVDevice &device, int, const std::string &id, const std::string &,
                              const std::string &detail, const std::string &text, bool active,
                              unsigned short) {
    const auto change = alarms.report(device.data_id, id, active);
    if (!change)
        return false;
    const AlarmRecord record{0, device.data_id, local_time_text(), id, *change, text, detail};
    if (Channel *c = find(device))
        c->alarm_changed(record);
    else
        events.tell(&Observer::alarm_changed, record);
    return true;
}

void Host::submit(uint32_t data_id, RemoteRequest request) {
    for (auto &c : all)
        if (c->data_id() == data_id)
            return c->submit(std::move(request));
    conclude(data_id, request, {"refused", "no such device"});
}

void Host::conclude(uint32_t data_id, const RemoteRequest &request, const RequestOutcome &outcome) {
    conclude_unsent(events, data_id, request, outcome);
}

int Host::SendSP(KVOVDevice &device, int, const unsigned char *data, unsigned len, bool) {
    if (Channel *c = find(device))
        c->published(data, len);
    return 1;
}

bool Host::SaveDeviceHistory(KVOVDevice &device, const unsigned char *data, unsigned len) {
    return events.keep_block({device.data_id, data, len});
}

void Host::InfoLog(KVOVDevice &device, const std::string &line) {
    const std::string label = "device " + std::to_string(device.data_id);
    log.limited("info:" + label + line, label + ": " + line);
}

int Host::OpenPort(KVOSPDevice &device) {
    Channel *c = find(device);
    return c && c->port_open() ? 1 : 0;
}

int Host::SendData(KVOSPDevice &device, const unsigned char *data, unsigned len) {
    Channel *c = find(device);
    return c ? c->send(data, len) : -1;
}

void Host::FrameRejected(PMBusProtocol &device, FrameFault fault) {
    events.tell(&Observer::frame_dropped, FrameDropped{device.data_id, kvo::fault_name(fault)});
    const std::string label = "device " + std::to_string(device.data_id);
    log.limited("frame:" + label + kvo::fault_name(fault),
                label + ": frame dropped (" + kvo::fault_name(fault) + ", " +
                    std::to_string(device.fault_count(fault)) + " so far)");
}

} // namespace host
