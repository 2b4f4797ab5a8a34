// One device on one line: its rounds, its reply deadlines, its communication state and the
// operations still to do. It tells what happens through the events hub and touches no output.
//
// A round starts on the interval's tick, or at once when the tick came while the line was busy.
// After a completed round the one-shot operations go first; once the wanted number of rounds
// is complete no further round starts. Every exchange waits for its turn on the line the
// device shares with the others on its port (see Line). A failed exchange leaves the line to
// settle (Line::settle) before the next command, so that a late reply cannot pass for the
// answer to it.
#pragma once

#include "framework/vdevice.h"
#include "host/block/decoded_block.h"
#include "host/block/plant_shape.h"
#include "host/common/device_config.h"
#include "host/common/events.h"
#include "host/common/log.h"
#include "host/core/back_off.h"
#include "host/core/module_alarms.h"
#include "host/core/requests.h"
#include "host/line/line.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// What the channels report to the one who runs them.
class ChannelOwner {
public:
    // A one-shot request failed: 1 when it went unanswered, 2 when it was refused.
    virtual void failure(int status) = 0;
    // The channel has nothing more to do.
    virtual void channel_done() = 0;

protected:
    ~ChannelOwner() = default;
};

// What a channel is asked to do: its rounds (0: until stopped) and its one-shot operations.
struct ChannelPlan {
    unsigned rounds = 0;
    std::deque<Operation> operations;
};

class Channel final : public LineMember {
public:
    static constexpr unsigned kLostAfter = 3; // consecutive rounds without completion

    Channel(boost::asio::io_context &io, Log &log, Events &events, ChannelOwner &owner,
            const DeviceConfig &config, std::shared_ptr<KVOVDevice> device,
            std::shared_ptr<Line> line, ChannelPlan plan);
    ~Channel();

    void start();
    void stop();
    bool finished() const override { return done; }
    unsigned completed_rounds() const { return completed; }
    // Fewer rounds completed than the run asked for.
    bool rounds_short() const { return plan.rounds != 0 && completed < plan.rounds; }
    bool communication_lost() const { return lost; }
    // An alarm transition of the round under way: held while communication comes back, until
    // the round's block shows whether the same power system answers.
    void alarm_changed(const AlarmRecord &alarm);
    // Takes a control request from outside, or answers it at once (busy, no communication).
    void submit(RemoteRequest request);

    // From the host services.
    int send(const unsigned char *data, unsigned len);
    void published(const unsigned char *data, unsigned len);
    bool port_open() const { return line->held_by(*this) && line->port().is_open(); }
    uint32_t data_id() const override { return device->data_id; }
    const KVOVDevice &driven() const { return *device; }

    // LineMember
    void on_bytes(unsigned char *data, size_t len) override;
    void on_port_error(const std::string &what) override;
    void line_quiet() override;
    bool last_exchange_failed() const override { return consecutive_failures > 0; }
    void next_step() override;

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Idle, Polling, Controlling, Settling };

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
    void lose_communication();
    void give_up(const std::string &why);
    void arm_reply_deadline(Clock::time_point deadline);
    void cancel_reply_timer();
    void reply_overdue();
    void settle();
    void run_operation(const Operation &op);
    void read_value(const std::string &name);
    void begin_control(const Operation &op);
    void finish_control();
    void release_held_alarms();
    void refuse_control(const Operation &op, const std::string &reason);
    RequestOutcome control_outcome(int32_t status) const;
    int refusal() const;
    void refuse_remote(RemoteRequest &request, const RequestOutcome &outcome);
    void cancel_remote(const std::string &reason);
    bool rounds_reached() const;
    void finish();
    template <class F> void guarded(const char *what, F &&call);
    std::string label() const;
    void failed_silent();
    void count_failure(std::string reason);

    boost::asio::io_context &io;
    Log &log;
    Events &events;
    ChannelOwner &owner;
    std::shared_ptr<KVOVDevice> device;
    KVOSPDevice *serial;
    std::shared_ptr<Line> line;
    ChannelPlan plan;
    unsigned baud;
    unsigned address = 1;
    Clock::duration interval;
    Clock::duration reply_timeout;
    Clock::duration largest_reply; // wire time of the largest reply
    std::string timeout_text;
    boost::asio::steady_timer round_timer;
    boost::asio::steady_timer reply_timer;
    unsigned reply_generation = 0;
    Clock::time_point next_start;
    Clock::time_point reply_cap;   // bytes received do not extend a reply's deadline past this
    unsigned long reply_bytes = 0; // received since the last command

    Phase phase = Phase::Idle;
    bool opening = false;
    bool overdue = false;   // the interval passed while the line was busy
    bool unsettled = false; // an exchange failed: the line settles before the next command
    bool done = false;
    bool lost = false;
    bool silence_told = false; // since the last completed round
    std::string last_failure;  // why the last exchange failed
    unsigned consecutive_failures = 0;
    BackOff back_off; // on a shared line, while communication is lost
    unsigned completed = 0;
    unsigned commands = 0;            // sent in the current round or control exchange
    unsigned long sent_bytes = 0;     // in the current round
    unsigned long received_bytes = 0; // in the current round
    Clock::time_point round_started{};
    std::optional<Operation> remote; // waiting for the line
    std::optional<Operation> control;
    int control_result = 0;
    std::optional<DecodedBlock> last_block; // the last one published and read, for --get by name
    std::optional<PlantShape> shape;        // of the last block read
    std::vector<AlarmRecord> held_alarms;   // of a round that brings communication back
    ModuleAlarms module_alarms;
    bool module_alarms_on;      // with the driver's: off with "alarms": false
    bool plant_differs = false; // that round's block is of another power system
};

} // namespace host
