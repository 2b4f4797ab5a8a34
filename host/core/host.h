// The host's event loop and its services. One io_context drives every device: a round starts
// each interval with RefreshStatus, received bytes go to the device's process(), and a reply
// timeout abandons a round that stalls. The services the devices call (sending, publishing,
// history, alarms, logging) are this host's kvo::HostServices; what they bring about is told
// through the events hub, never written to an output from here.
#pragma once

#include "host/common/device_config.h"
#include "host/common/events.h"
#include "host/common/log.h"
#include "host/core/alarm_tracker.h"
#include "host/core/channel.h"
#include "host/core/requests.h"
#include "host/line/line.h"
#include "hostlib/host_services.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct RunOptions {
    unsigned rounds = 0; // completed rounds per device before stopping; 0: until stopped
    std::optional<std::string> get, set, control;
    // The data_id the one-shot operations go to; unset: every device.
    std::optional<uint32_t> target = std::nullopt;
    ::capture::CaptureWriter *capture = nullptr; // records every line; nullptr: none
    bool force = false; // the control may go to a module the power system does not have
};

class Host : public kvo::HostServices, public RequestDesk, private ChannelOwner {
public:
    Host(boost::asio::io_context &io, Log &log, Events &events, RunOptions options);
    ~Host() override;

    void add(const DeviceConfig &config, std::shared_ptr<KVOVDevice> device);
    // Installs these services, runs until every device is done or a signal arrives. Returns
    // the exit status: 0, or the worst a channel reported through `failure`.
    int run();
    void stop();
    const std::vector<std::unique_ptr<Channel>> &channels() const { return all; }
    // Called when the run ends, before the loop stops (a publisher says goodbye).
    void on_stop(std::function<void()> f) { stopping = std::move(f); }

    // RequestDesk
    void submit(uint32_t data_id, RemoteRequest request) override;
    void conclude(uint32_t data_id, const RemoteRequest &request,
                  const RequestOutcome &outcome) override;

    bool CheckThresholdBool(KVOVDevice &device, int setting, const std::string &id,
                            const std::string &id2, const std::string &detail,
                            const std::string &text, bool active, unsigned short flag) override;
    int SendSP(KVOVDevice &device, int type_code, const unsigned char *data, unsigned len,
               bool flag) override;
    bool SaveDeviceHistory(KVOVDevice &device, const unsigned char *data, unsigned len) override;
    void InfoLog(KVOVDevice &device, const std::string &line) override;
    int OpenPort(KVOSPDevice &device) override;
    int SendData(KVOSPDevice &device, const unsigned char *data, unsigned len) override;
    void FrameRejected(PMBusProtocol &device, FrameFault fault) override;

private:
    Channel *find(const KVOVDevice &device);
    void wait_for_signal();
    ChannelPlan plan_for(const DeviceConfig &config) const;
    // ChannelOwner
    void failure(int status) override { exit_status = std::max(exit_status, status); }
    void channel_done() override;

    boost::asio::io_context &io;
    Log &log;
    Events &events;
    RunOptions options;
    AlarmTracker alarms;
    boost::asio::signal_set signals;
    std::vector<std::unique_ptr<Channel>> all;
    std::map<const KVOVDevice *, Channel *> by_device;
    std::map<std::string, std::shared_ptr<Line>> lines; // by port text
    std::function<void()> stopping;
    int exit_status = 0;
};

} // namespace host
