// The host's event loop and its services. One io_context drives every device: a round starts
// each interval with RefreshStatus, received bytes go to the device's process(), and a reply
// timeout abandons a round that stalls. The services the devices call (sending, publishing,
// history, alarms, logging) are this host's kvo::HostServices.
#pragma once

#include "framework/pmbus_protocol.h"
#include "host/core/alarm_tracker.h"
#include "host/common/device_config.h"
#include "host/stores/history.h"
#include "host/line/line.h"
#include "host/common/log.h"
#include "host/line/ports.h"
#include "hostlib/host_services.h"

#include <json/value.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
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
    bool json = false;
    // The data_id the one-shot operations go to; unset: every device.
    std::optional<uint32_t> target = std::nullopt;
    CaptureWriter *capture = nullptr; // records every line; nullptr: none
};

// Results on the host's output: blocks, alarm transitions, answers to one-shot operations.
class Reporter {
public:
    Reporter(Output &out, Log &log, bool json) : out(out), log(log), json(json) {}

    // What a completed round cost on the line: the time from its first command to the
    // published block, and the bytes sent and received.
    struct RoundCost {
        unsigned round = 0;
        unsigned commands = 0;
        double elapsed_ms = 0.0;
        unsigned long sent_bytes = 0;
        unsigned long received_bytes = 0;
    };
    // The block's JSON document, null when the block cannot be read.
    Json::Value block(uint32_t data_id, const unsigned char *data, size_t len,
                      const RoundCost &cost, bool document_wanted = false);
    void alarm(const AlarmRecord &alarm);
    void value(uint32_t data_id, const std::string &name, std::optional<float> value,
               const std::string &error);
    // `refusal`: the RTN with which the device refused the command, -1 for none.
    void control(uint32_t data_id, const std::string &kind, const std::string &request, int result,
                 int32_t status, bool sent, int refusal = -1);

private:
    Output &out;
    Log &log;
    bool json;
};

class Host;
class CaptureWriter;

// What became of a control request: "answered", "not answered", "refused" (with the reason) or
// "busy".
struct RequestOutcome {
    std::string outcome;
    std::string reason;
};

// A control request from outside the command line (the MQTT broker): its outcome goes to `done`,
// which may run before submit() returns.
struct RemoteRequest {
    bool set = false; // a parameter setting (code 310), else a remote control (code 320)
    std::string text; // what the driver is handed
    std::string source;
    std::string request_id;
    std::function<void(const RequestOutcome &)> done;
};

// Told of what the host publishes besides its own output, for a broker say.
class HostObserver {
public:
    virtual ~HostObserver() = default;
    // A completed round's block as the --json line shows it.
    virtual void block_published(uint32_t data_id, const Json::Value &state) = 0;
    virtual void alarm_changed(const AlarmRecord &alarm) = 0;
    virtual void communication_changed(uint32_t data_id, bool lost) = 0;
};

// One device on one port: its rounds, its reply deadlines, its communication state and the
// one-shot operations still to do.
//
// A round starts on the interval's tick, or at once when the tick came while the line was busy.
// After a completed round the one-shot operations go first; once the wanted number of rounds
// is complete no further round starts. Every exchange waits for its turn on the line the
// device shares with the others on its port (see Line). A failed exchange leaves the line to
// settle: what arrives is discarded until the line has been quiet for a guard time, so that a late
// reply cannot pass for the answer to the next command.
class Channel : public Port::Listener {
public:
    static constexpr unsigned kLostAfter = 3; // consecutive rounds without completion
    // On a shared line a device in lost communication skips interval ticks: after each failed
    // try the wait doubles, 2, 4, 8 and at most 16 intervals; a good reply ends it at once.
    static constexpr unsigned kLongestBackOff = 16;

    Channel(Host &host, const DeviceConfig &config, std::shared_ptr<KVOVDevice> device,
            std::shared_ptr<Line> line);
    ~Channel() override;

    void start();
    void stop();
    bool finished() const { return done; }
    unsigned completed_rounds() const { return completed; }
    bool communication_lost() const { return lost; }
    // Takes a control request from outside, or answers it at once (busy, no communication).
    void submit(RemoteRequest request);

    // From the host services.
    int send(const unsigned char *data, unsigned len);
    void published(const unsigned char *data, unsigned len);
    bool port_open() const { return line->held_by(*this) && line->port().is_open(); }
    uint32_t data_id() const { return device->data_id; }

    void on_bytes(unsigned char *data, size_t len) override;
    void on_port_error(const std::string &what) override;
    // What an idle device does next; the line calls it when the device's turn comes.
    void next_step();

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Idle, Polling, Controlling, Settling };
    struct Operation {
        enum Kind { Get, Set, Control } kind;
        std::string text;
        std::shared_ptr<RemoteRequest> remote; // null: from the command line
    };

    void tick();
    void schedule_next_round();
    void begin_round();
    void went_idle();
    void idle();
    void open_port();
    void poll();
    // `reason` keys the rate limit of the failure line; `why` is the line.
    void abandon(const std::string &reason, const std::string &why);
    void failed(const std::string &reason, const std::string &why);
    void give_up(const std::string &why);
    void arm_reply_deadline(Clock::time_point deadline);
    void cancel_reply_timer();
    void reply_overdue();
    void settle();
    void settle_until(Clock::time_point quiet_at);
    void run_operation(const Operation &op);
    void begin_control(const Operation &op);
    void finish_control();
    RequestOutcome control_outcome(int32_t status) const;
    void cancel_remote(const std::string &reason);
    bool rounds_reached() const;
    void finish();
    template <class F> void guarded(const char *what, F &&call);
    std::string label() const;

    Host &host;
    std::shared_ptr<KVOVDevice> device;
    KVOSPDevice *serial;
    std::shared_ptr<Line> line;
    unsigned baud;
    Clock::duration interval;
    Clock::duration reply_timeout;
    Clock::duration largest_reply; // wire time of the largest reply
    Clock::duration guard;         // quiet time that ends a settling line
    std::string timeout_text;
    boost::asio::steady_timer round_timer;
    boost::asio::steady_timer reply_timer;
    unsigned reply_generation = 0;
    Clock::time_point next_start;
    Clock::time_point reply_cap;   // bytes received do not extend a reply's deadline past this
    Clock::time_point settle_cap;  // nor a settling line's wait past this
    unsigned long reply_bytes = 0; // received since the last command

    Phase phase = Phase::Idle;
    bool opening = false;
    bool overdue = false;   // the interval passed while the line was busy
    bool unsettled = false; // an exchange failed: the line settles before the next command
    bool done = false;
    bool lost = false;
    unsigned consecutive_failures = 0;
    unsigned back_off = 1;      // intervals between tries while communication is lost
    unsigned ticks_to_skip = 0; // left of the current back-off
    unsigned completed = 0;
    unsigned commands = 0;            // sent in the current round or control exchange
    unsigned long sent_bytes = 0;     // in the current round
    unsigned long received_bytes = 0; // in the current round
    std::chrono::steady_clock::time_point round_started{};
    std::deque<Operation> operations;
    std::optional<Operation> remote; // waiting for the line
    std::optional<Operation> control;
    int control_result = 0;
};

class Host : public kvo::HostServices {
public:
    Host(boost::asio::io_context &io, Output &out, Log &log, History *history, RunOptions options);
    ~Host() override;

    void add(const DeviceConfig &config, std::shared_ptr<KVOVDevice> device);
    // Installs these services, runs until every device is done or a signal arrives. Returns
    // the exit status: 0, or the worst a channel reported through `failure`.
    int run();
    void stop();
    const std::vector<std::unique_ptr<Channel>> &channels() const { return all; }
    void set_observer(HostObserver *o) { observer = o; }
    // Hands a request to the device `data_id`; an unknown device refuses it at once.
    void submit(uint32_t data_id, RemoteRequest request);
    // Writes a request and its outcome to the history.
    void record_request(const RequestRecord &request);
    // A request from outside that ends here: its outcome goes to the history and to the caller.
    void conclude(uint32_t data_id, const RemoteRequest &request, const RequestOutcome &outcome);
    // Called when the run ends, before the loop stops (a publisher says goodbye).
    void on_stop(std::function<void()> f) { stopping = std::move(f); }

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
    friend class Channel;
    Channel *find(const KVOVDevice &device);
    void channel_done();
    // A one-shot request failed: 1 when it went unanswered, 2 when it was refused.
    void failure(int status) { exit_status = std::max(exit_status, status); }
    void history_failed(const std::string &what);
    void history_stored();

    boost::asio::io_context &io;
    Log &log;
    History *history;
    RunOptions options;
    Reporter reporter;
    AlarmTracker alarms;
    boost::asio::signal_set signals;
    std::vector<std::unique_ptr<Channel>> all;
    std::map<const KVOVDevice *, Channel *> by_device;
    std::map<std::string, std::shared_ptr<Line>> lines; // by port text
    HostObserver *observer = nullptr;
    std::function<void()> stopping;
    int exit_status = 0;
    bool history_failing = false;
    unsigned long history_lost = 0; // records not stored since storing failed
};

} // namespace host
