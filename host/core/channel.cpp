#include "host/core/channel.h"

#include "framework/pmbus_protocol.h"
#include "host/block/block_fields.h"
#include "host/common/clock_text.h"
#include "host/common/wire_timing.h"
#include "host/core/named_requests.h"
#include "protocol/control_codes.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace host {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

// Tenths of a second from 0.1 s up, else thousandths, without the zeros after the point: the
// default time-out of 0.802083 s reads "0.8 s".
std::string seconds_text(double s) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", s >= 0.1 ? 1 : 3, s);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (out.back() == '.')
            out.pop_back();
    }
    return out + " s";
}

} // namespace

Channel::Channel(asio::io_context &io, Log &log, Events &events, ChannelOwner &owner,
                 const DeviceConfig &config, std::shared_ptr<KVOVDevice> dev,
                 std::shared_ptr<Line> shared_line, ChannelPlan plan)
    : io(io), log(log), events(events), owner(owner), device(std::move(dev)),
      serial(dynamic_cast<KVOSPDevice *>(device.get())), line(std::move(shared_line)),
      plan(std::move(plan)), baud(config.baud), interval(seconds(config.interval)),
      reply_timeout(seconds(config.reply_timeout())),
      largest_reply(seconds(largest_reply_seconds(config.baud))),
      timeout_text(seconds_text(config.reply_timeout())), round_timer(io), reply_timer(io),
      module_alarms_on(config.alarms) {
    const auto *engine = dynamic_cast<const PMBusProtocol *>(device.get());
    address = engine ? engine->address() : 1;
    line->join(*this, config, address);
}

Channel::~Channel() = default;

std::string Channel::label() const {
    return "device " + std::to_string(device->data_id);
}

// A device that throws must not take the host down: the call is logged and the round left to
// its timeout.
template <class F> void Channel::guarded(const char *what, F &&call) {
    try {
        call();
    } catch (const std::exception &e) {
        log.limited("throw:" + label(), label() + ": " + what + " failed: " + e.what());
    }
}

void Channel::start() {
    next_start = Clock::now();
    tick();
}

void Channel::stop() {
    done = true;
    remote.reset(); // the host is going: no outcome is told
    round_timer.cancel();
    cancel_reply_timer();
    line->leave(*this);
}

void Channel::finish() {
    stop();
    owner.channel_done();
}

bool Channel::rounds_reached() const {
    return plan.rounds != 0 && completed >= plan.rounds;
}

// Ticks missed while the loop was busy are skipped, not bunched; they are counted rather than
// stepped over one by one.
void Channel::schedule_next_round() {
    const auto now = Clock::now();
    if (next_start <= now)
        next_start += ((now - next_start) / interval + 1) * interval;
    round_timer.expires_at(next_start);
    round_timer.async_wait([this](error_code ec) {
        if (!ec && !done)
            tick();
    });
}

void Channel::tick() {
    schedule_next_round();
    if (!back_off.skip_tick())
        begin_round();
}

// A round or control exchange that outlasts the interval is not cut off (a slow line would
// then never complete a round): the next round starts as soon as it is over.
void Channel::begin_round() {
    overdue = true;
    if (phase == Phase::Idle)
        next_step();
}

// What an idle line does next: the one-shot operations after a completed round, then the end
// of the run, else the round that is due.
void Channel::next_step() {
    if (done || phase != Phase::Idle)
        return;
    const bool operations_due = completed > 0 && (!plan.operations.empty() || remote);
    if (!operations_due && rounds_reached()) {
        line->release(*this);
        return finish();
    }
    if (!operations_due && !overdue)
        return line->release(*this);
    if (!line->acquire(*this))
        return; // queued: called again when the turn comes
    while (completed > 0 && (!plan.operations.empty() || remote)) {
        Operation op;
        if (!plan.operations.empty()) {
            op = plan.operations.front();
            plan.operations.pop_front();
        } else {
            op = std::move(*remote);
            remote.reset();
        }
        run_operation(op);
        if (done || phase != Phase::Idle || !line->held_by(*this))
            return; // a control exchange gave its turn up: the rest waits for the next one
    }
    if (rounds_reached())
        return finish();
    if (!overdue)
        return line->release(*this);
    overdue = false;
    if (line->port().is_open())
        poll();
    else
        open_port();
}

void Channel::went_idle() {
    cancel_reply_timer();
    if (unsettled && line->port().is_open())
        return settle();
    idle();
}

// The exchange is over and the line quiet: the turn goes to the next device, and this one
// queues again for what it has still to do.
void Channel::idle() {
    phase = Phase::Idle;
    line->release(*this);
    asio::post(io, [this] { next_step(); });
}

void Channel::open_port() {
    if (opening)
        return;
    opening = true;
    line->port().open([this](const std::string &error) {
        opening = false;
        if (done)
            return;
        if (!error.empty()) {
            failed("open:" + error, "cannot open " + line->port().name() + ": " + error);
            if (!done)
                idle();
        } else if (phase == Phase::Idle)
            poll();
    });
}

void Channel::poll() {
    phase = Phase::Polling;
    commands = 0;
    sent_bytes = 0;
    received_bytes = 0;
    round_started = Clock::now();
    guarded("RefreshStatus", [this] { serial->RefreshStatus(); });
    if (phase == Phase::Polling && commands == 0)
        abandon("no-command", "the device sent no command");
}

void Channel::abandon(const std::string &reason, const std::string &why) {
    went_idle();
    failed(reason, why);
}

// Retries stay quiet: failure lines are rate-limited per reason, so that a new reason is told
// at once, and the loss of communication is told once, when it happens. A one-shot request does
// not wait for a device that is gone.
void Channel::failed(const std::string &reason, const std::string &why) {
    log.limited("fail:" + label() + ":" + reason, label() + ": " + why);
    last_failure = why;
    count_failure(reason.substr(0, reason.find(':')));
}

// Silence is mostly a wrong address, baud rate or wiring: said once, with where the host
// listened, until the device answers again; on a line that loses a reply now and then, at most
// once a minute, with how many were not said.
void Channel::failed_silent() {
    if (!silence_told)
        log.limited("silent:" + label(), label() + " (address " + std::to_string(address) + " on " +
                                             line->port().name() + " at " + std::to_string(baud) +
                                             " baud): no reply within " + timeout_text +
                                             ": check the address, the baud rate and the wiring");
    silence_told = true;
    last_failure = "no reply within " + timeout_text;
    count_failure("no-reply");
}

// `reason`: the failure's key ("no-reply"), told with '_' for '-' as a metric label wants it.
void Channel::count_failure(std::string reason) {
    std::replace(reason.begin(), reason.end(), '-', '_');
    events.tell(&Observer::round_failed, RoundFailed{device->data_id, reason});
    ++consecutive_failures;
    if (consecutive_failures == kLostAfter && !lost)
        lose_communication();
    if (lost && line->shared())
        back_off.failed();
    // A run that counts its rounds (one-shot requests set one) does not wait for ever on a
    // device that never answered.
    const bool counted = !plan.operations.empty() || plan.rounds != 0;
    if (consecutive_failures >= kLostAfter && completed == 0 && counted && !done)
        give_up("no round completed in " + std::to_string(consecutive_failures) + " tries");
}

void Channel::lose_communication() {
    lost = true;
    device->comm_status = 0;
    events.tell(&Observer::communication_changed,
                CommunicationChanged{device->data_id, true, last_failure});
    cancel_remote("communication with the device lost");
}

void Channel::give_up(const std::string &why) {
    if (plan.operations.empty())
        log.line(label() + ": " + std::to_string(plan.rounds) + " rounds asked for: " + why);
    else
        log.line(label() + ": " + plan.operations.front().text + ": not carried out: " + why);
    owner.failure(1);
    finish();
}

void Channel::arm_reply_deadline(Clock::time_point deadline) {
    const unsigned gen = ++reply_generation;
    reply_timer.expires_at(deadline);
    reply_timer.async_wait([this, gen](error_code ec) {
        if (!ec && gen == reply_generation && !done)
            reply_overdue();
    });
}

void Channel::cancel_reply_timer() {
    ++reply_generation;
    reply_timer.cancel();
}

void Channel::reply_overdue() {
    unsettled = true;
    if (phase == Phase::Polling && reply_bytes == 0) {
        went_idle();
        failed_silent();
    } else if (phase == Phase::Polling)
        abandon("incomplete", "no complete reply within " + timeout_text + " (" +
                                  std::to_string(reply_bytes) + " bytes received)");
    else if (phase == Phase::Controlling)
        finish_control();
}

// The device keeps its turn while the line settles; the line tells when it is quiet.
void Channel::settle() {
    phase = Phase::Settling;
    unsettled = false;
    line->settle();
}

void Channel::line_quiet() {
    if (!done && phase == Phase::Settling)
        idle();
}

// A reply's deadline counts from the end of its command on the wire; bytes coming in renew it,
// but never past the time the largest reply would have taken on top of it.
int Channel::send(const unsigned char *data, unsigned len) {
    if (!port_open())
        return -1;
    ++commands;
    sent_bytes += len;
    reply_bytes = 0;
    line->send(data, len);
    const auto sent_at = Clock::now() + seconds(wire_seconds(len, baud));
    reply_cap = sent_at + reply_timeout + largest_reply;
    arm_reply_deadline(sent_at + reply_timeout);
    return static_cast<int>(len);
}

void Channel::on_bytes(unsigned char *data, size_t len) {
    if (done)
        return;
    switch (phase) {
    case Phase::Idle: // nothing was asked: a late reply or noise, and the line is not quiet
    case Phase::Settling:
        return settle();
    case Phase::Polling:
    case Phase::Controlling:
        break;
    }
    arm_reply_deadline(std::min(Clock::now() + reply_timeout, reply_cap));
    received_bytes += len;
    reply_bytes += len;
    int delivered = 0;
    guarded("process", [&] { delivered = serial->process(data, static_cast<unsigned>(len)); });
    if (phase == Phase::Controlling && delivered > 0)
        finish_control();
}

void Channel::on_port_error(const std::string &what) {
    log.limited("port:" + label() + ":" + what, label() + ": " + line->port().name() + ": " + what);
    unsettled = false;             // the port is closed; a new connection starts clean
    if (phase == Phase::Polling) { // the line above told it; it is also the cause of a loss
        went_idle();
        last_failure = line->port().name() + ": " + what;
        count_failure("port-error");
    } else if (phase == Phase::Controlling)
        finish_control();
    else if (phase == Phase::Settling)
        went_idle();
}

// RoundDone publishes the block: the round is complete.
void Channel::published(const unsigned char *data, unsigned len) {
    ++completed;
    // Read once, for every output alike; a block that cannot be read is told here, once, and
    // the outputs leave it out.
    DecodedBlock decoded;
    std::string unreadable;
    if (decode_block(data, len, decoded, unreadable))
        last_block = std::move(decoded);
    else {
        last_block.reset();
        log.limited("block:" + label(), label() + ": unreadable block: " + unreadable);
    }
    if (last_block) {
        const PlantShape now = plant_shape(*last_block);
        if (lost && shape && *shape != now)
            events.tell(&Observer::plant_changed, PlantChanged{device->data_id, line->port().name(),
                                                               difference(*shape, now)});
        plant_differs = lost && shape && *shape != now;
        shape = now;
    }
    consecutive_failures = 0;
    silence_told = false;
    back_off.succeeded();
    // In the order they came about: what answers, the round's alarms (the driver's, then the
    // modules'), the communication back.
    if (last_block && module_alarms_on) {
        const auto changes = module_alarms.update(device->data_id, *last_block, local_time_text());
        held_alarms.insert(held_alarms.end(), changes.begin(), changes.end());
    }
    release_held_alarms();
    if (lost) {
        lost = false;
        events.tell(&Observer::communication_changed,
                    CommunicationChanged{device->data_id, false, ""});
    }
    RoundCompleted round;
    round.data_id = device->data_id;
    round.block = data;
    round.length = len;
    round.decoded = last_block ? &*last_block : nullptr;
    round.unreadable = unreadable;
    round.cost.round = completed;
    round.cost.commands = commands;
    round.cost.elapsed_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - round_started).count();
    round.cost.sent_bytes = sent_bytes;
    round.cost.received_bytes = received_bytes;
    events.tell(&Observer::round_completed, round);
    // Still inside the device's process(): what follows calls the device again, so it waits.
    if (phase == Phase::Polling)
        went_idle();
}

void Channel::alarm_changed(const AlarmRecord &alarm) {
    if (lost)
        return held_alarms.push_back(alarm);
    events.tell(&Observer::alarm_changed, alarm);
}

// The alarms of the round that brought communication back, once its block showed what answers:
// where another power system answers, what clears is its reading, not a fault gone, and says so.
void Channel::release_held_alarms() {
    for (AlarmRecord &alarm : held_alarms) {
        if (plant_differs && !alarm.raised)
            alarm.detail = "a different power system answers; " + alarm.detail;
        events.tell(&Observer::alarm_changed, alarm);
    }
    held_alarms.clear();
    plant_differs = false;
}

// A control for a module the last block does not show is refused here, whatever its source, as
// only here is the power system's shape known: the command line's one-shot learns it from its
// first round. Without a readable block there is nothing to judge by, and it goes.
void Channel::run_operation(const Operation &op) {
    if (op.kind == Operation::Get)
        return read_value(op.text);
    const bool force = op.remote ? op.remote->force : op.force;
    const char *hint = op.remote ? op.remote->force_hint : "--force";
    const std::string refused = op.kind == Operation::Control && shape
                                    ? module_refusal(op.text, shape->modules, force, hint)
                                    : "";
    if (!refused.empty())
        return refuse_control(op, refused);
    begin_control(op);
}

// Nothing went out: told and recorded like any refusal, and on the command line the caller's
// mistake (2).
void Channel::refuse_control(const Operation &op, const std::string &reason) {
    if (op.remote)
        return refuse_remote(*op.remote, {"refused", reason});
    log.error("--control: " + label() + ": " + reason);
    RequestConcluded told;
    told.request = request_record(device->data_id, nullptr, false, op.text, {"refused", reason});
    events.tell(&Observer::request_concluded, told);
    owner.failure(2);
}

void Channel::read_value(const std::string &name) {
    ValueRead read;
    read.data_id = device->data_id;
    read.name = name;
    double value = 0.0;
    const BlockValue in_block =
        read_block_field(name, last_block ? &*last_block : nullptr, value, read.error);
    if (in_block == BlockValue::Read)
        read.value = static_cast<float>(value);
    if (in_block == BlockValue::Missing)
        owner.failure(1);
    if (in_block != BlockValue::NotInBlock)
        return events.tell(&Observer::value_read, read);
    try {
        read.value = device->Get_Value(0, name);
    } catch (const std::exception &e) {
        read.error = e.what();
        owner.failure(1);
    }
    events.tell(&Observer::value_read, read);
}

void Channel::begin_control(const Operation &op) {
    phase = Phase::Controlling;
    commands = 0;
    control = op;
    control_result = 0;
    const int code = op.kind == Operation::Set ? protocol::control_code::kSetParameter
                                               : protocol::control_code::kRemoteControl;
    int used = 0;
    guarded("DeviceIoControl", [&] {
        control_result = device->DeviceIoControl(
            code, op.text.data(), static_cast<int>(op.text.size()), nullptr, 0, used);
    });
    if (commands == 0) // nothing went out: no answer can come
        finish_control();
}

int Channel::refusal() const {
    const auto *engine = dynamic_cast<const PMBusProtocol *>(device.get());
    return engine ? engine->refusal() : -1;
}

// A refused request is the caller's mistake (2); one that went unanswered is the line's (1).
void Channel::finish_control() {
    const bool set = control->kind == Operation::Set;
    int32_t status = 0;
    int used = 0;
    guarded("DeviceIoControl", [&] {
        device->DeviceIoControl(set ? protocol::control_code::kSetParameterStatus
                                    : protocol::control_code::kRemoteControlStatus,
                                nullptr, 0, &status, sizeof status, used);
    });
    const RequestOutcome outcome = control_outcome(status);
    const std::shared_ptr<RemoteRequest> from = control->remote;
    RequestConcluded told;
    told.request = request_record(device->data_id, from.get(), set, control->text, outcome);
    told.on_line = true;
    told.result = control_result;
    told.status = status;
    told.sent = commands > 0;
    told.request.reached = told.sent;
    events.tell(&Observer::request_concluded, told);
    if (!from && commands == 0)
        owner.failure(2);
    else if (!from && status != 1)
        owner.failure(1);
    control.reset();
    went_idle();
    if (from && from->done)
        from->done(outcome);
}

RequestOutcome Channel::control_outcome(int32_t status) const {
    if (commands == 0)
        return {"refused", "refused by the driver: nothing sent"};
    if (status == 1)
        return {"answered", ""};
    if (refusal() >= 0) {
        char why[48];
        std::snprintf(why, sizeof why, "refused by the device, RTN 0x%02X", refusal() & 0xFF);
        return {"refused", why};
    }
    return {"not answered", ""};
}

// One request per device at a time: a second one while the first waits or runs is busy. A
// device without communication cannot carry one out, and a request must not wait for it to
// come back (it could be long stale by then).
void Channel::submit(RemoteRequest request) {
    if (done)
        return refuse_remote(request, {"refused", "the host is stopping"});
    if (remote || (control && control->remote))
        return refuse_remote(request, {"busy", "another request to this device is in progress"});
    if (lost)
        return refuse_remote(request, {"refused", "no communication with the device"});
    auto r = std::make_shared<RemoteRequest>(std::move(request));
    remote = Operation{r->set ? Operation::Set : Operation::Control, r->text, r};
    // Not from inside the caller (a broker's message callback): the line takes it when free.
    asio::post(io, [this] { next_step(); });
}

void Channel::refuse_remote(RemoteRequest &request, const RequestOutcome &outcome) {
    conclude_unsent(events, device->data_id, request, outcome);
}

void Channel::cancel_remote(const std::string &reason) {
    if (!remote)
        return;
    const std::shared_ptr<RemoteRequest> r = remote->remote;
    remote.reset();
    refuse_remote(*r, {"refused", reason});
}

} // namespace host
