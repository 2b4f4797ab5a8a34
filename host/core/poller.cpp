#include "host/core/poller.h"

#include "host/common/wire_timing.h"
#include "host/outputs/block_view.h"
#include "mpx23/control_codes.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
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

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

} // namespace

// ---- Reporter ------------------------------------------------------------------------------

Json::Value Reporter::block(uint32_t data_id, const unsigned char *data, size_t len,
                            const RoundCost &cost, bool document_wanted) {
    DecodedBlock decoded;
    std::string error;
    if (!decode_block(data, len, decoded, error)) {
        log.limited("block:" + std::to_string(data_id),
                    "device " + std::to_string(data_id) + ": unreadable block: " + error);
        return Json::Value();
    }
    if (!json)
        out.line(block_table(data_id, decoded));
    if (!json && !document_wanted)
        return Json::Value();
    Json::Value line = block_json(data_id, decoded, data, len);
    line["poll"]["round"] = cost.round;
    line["poll"]["commands"] = cost.commands;
    line["poll"]["elapsed_ms"] = cost.elapsed_ms;
    line["poll"]["sent_bytes"] = static_cast<Json::UInt64>(cost.sent_bytes);
    line["poll"]["received_bytes"] = static_cast<Json::UInt64>(cost.received_bytes);
    if (json)
        out.line(json_line(line));
    return line;
}

void Reporter::alarm(const AlarmRecord &a) {
    out.line(json ? json_line(alarm_json(a)) : alarm_text(a));
}

void Reporter::value(uint32_t data_id, const std::string &name, std::optional<float> value,
                     const std::string &error) {
    if (!json) {
        char number[32];
        if (value)
            std::snprintf(number, sizeof number, "%.7g", static_cast<double>(*value));
        out.line("device " + std::to_string(data_id) + ": " + name + " = " +
                 (value ? std::string(number) : "error: " + error));
        return;
    }
    Json::Value line;
    line["get"] = name;
    line["data_id"] = data_id;
    if (value)
        line["value"] = static_cast<double>(*value);
    else
        line["error"] = error;
    out.line(json_line(line));
}

void Reporter::control(uint32_t data_id, const std::string &kind, const std::string &request,
                       int result, int32_t status, bool sent, int refusal) {
    // A device that refuses a command (invalid data, say) answers with an error return, which
    // never reaches the driver: the engine tells it apart from a command that went unanswered.
    char refused[48];
    std::snprintf(refused, sizeof refused, "refused by the device, RTN 0x%02X", refusal & 0xFF);
    const char *outcome = !sent          ? "nothing sent"
                          : status == 1  ? "answered"
                          : refusal >= 0 ? refused
                                         : "not answered";
    if (!json) {
        out.line("device " + std::to_string(data_id) + ": " + kind + " " + request + ": result " +
                 std::to_string(result) + ", status " + std::to_string(status) + " (" + outcome +
                 ")");
        return;
    }
    Json::Value line;
    line[kind] = request;
    line["data_id"] = data_id;
    line["result"] = result;
    line["status"] = status;
    line["outcome"] = outcome;
    out.line(json_line(line));
}

// ---- Channel -------------------------------------------------------------------------------

Channel::Channel(Host &owner, const DeviceConfig &config, std::shared_ptr<KVOVDevice> dev,
                 std::shared_ptr<Line> shared_line)
    : host(owner), device(std::move(dev)), serial(dynamic_cast<KVOSPDevice *>(device.get())),
      baud(config.baud), interval(seconds(config.interval)),
      reply_timeout(seconds(config.reply_timeout())),
      largest_reply(seconds(largest_reply_seconds(config.baud))),
      guard(seconds(quiet_guard(config.baud))), timeout_text(seconds_text(config.reply_timeout())),
      round_timer(owner.io), reply_timer(owner.io) {
    const auto *engine = dynamic_cast<const PMBusProtocol *>(device.get());
    line = std::move(shared_line);
    line->join(*this, config, engine ? engine->address() : 1);
    const RunOptions &o = owner.options;
    if (o.target && *o.target != config.data_id)
        return;
    if (o.get)
        operations.push_back({Operation::Get, *o.get, nullptr});
    if (o.set)
        operations.push_back({Operation::Set, *o.set, nullptr});
    if (o.control)
        operations.push_back({Operation::Control, *o.control, nullptr});
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
        host.log.limited("throw:" + label(), label() + ": " + what + " failed: " + e.what());
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
    host.channel_done();
}

bool Channel::rounds_reached() const {
    return host.options.rounds != 0 && completed >= host.options.rounds;
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
    if (ticks_to_skip > 0) {
        --ticks_to_skip;
        return;
    }
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
    const bool operations_due = completed > 0 && (!operations.empty() || remote);
    if (!operations_due && rounds_reached()) {
        line->release(*this);
        return finish();
    }
    if (!operations_due && !overdue)
        return line->release(*this);
    if (!line->acquire(*this))
        return; // queued: called again when the turn comes
    while (completed > 0 && (!operations.empty() || remote)) {
        Operation op;
        if (!operations.empty()) {
            op = operations.front();
            operations.pop_front();
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
    asio::post(host.io, [this] { next_step(); });
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
    round_started = std::chrono::steady_clock::now();
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
    ++consecutive_failures;
    host.log.limited("fail:" + label() + ":" + reason, label() + ": " + why);
    if (consecutive_failures == kLostAfter && !lost) {
        lost = true;
        device->comm_status = 0;
        host.log.line(label() + ": communication lost");
        if (host.observer)
            host.observer->communication_changed(device->data_id, true);
        cancel_remote("communication with the device lost");
    }
    if (lost && line->shared()) {
        back_off = std::min(back_off * 2, kLongestBackOff);
        ticks_to_skip = back_off - 1;
    }
    if (consecutive_failures >= kLostAfter && completed == 0 && !operations.empty() && !done)
        give_up("no round completed in " + std::to_string(consecutive_failures) + " tries");
}

void Channel::give_up(const std::string &why) {
    host.log.line(label() + ": " + operations.front().text + ": not carried out: " + why);
    host.failure(1);
    finish();
}

void Channel::arm_reply_deadline(Clock::time_point deadline) {
    const unsigned gen = ++reply_generation;
    reply_timer.expires_at(deadline);
    reply_timer.async_wait([this, gen](error_code ec) {
        if (ec || gen != reply_generation || done)
            return;
        if (phase == Phase::Settling) {
            idle();
        } else {
            reply_overdue();
        }
    });
}

void Channel::cancel_reply_timer() {
    ++reply_generation;
    reply_timer.cancel();
}

void Channel::reply_overdue() {
    unsettled = true;
    if (phase == Phase::Polling && reply_bytes == 0)
        abandon("silence", "no reply within " + timeout_text);
    else if (phase == Phase::Polling)
        abandon("incomplete", "no complete reply within " + timeout_text + " (" +
                                  std::to_string(reply_bytes) + " bytes received)");
    else if (phase == Phase::Controlling)
        finish_control();
}

// The line settles for at most a few guard times: a line that never falls quiet must not stop
// the rounds, whose failures then tell of it.
void Channel::settle() {
    phase = Phase::Settling;
    unsettled = false;
    settle_cap = Clock::now() + 4 * guard;
    settle_until(Clock::now() + guard);
}

void Channel::settle_until(Clock::time_point quiet_at) {
    arm_reply_deadline(std::min(quiet_at, settle_cap));
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
        return settle();
    case Phase::Settling:
        return settle_until(Clock::now() + guard);
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
    host.log.limited("port:" + label() + ":" + what,
                     label() + ": " + line->port().name() + ": " + what);
    unsettled = false; // the port is closed; a new connection starts clean
    if (phase == Phase::Polling)
        abandon("port-closed", "port closed");
    else if (phase == Phase::Controlling)
        finish_control();
    else if (phase == Phase::Settling)
        went_idle();
}

// RoundDone publishes the block: the round is complete.
void Channel::published(const unsigned char *data, unsigned len) {
    ++completed;
    consecutive_failures = 0;
    back_off = 1;
    ticks_to_skip = 0;
    if (lost) {
        lost = false;
        host.log.line(label() + ": communication re-established");
        if (host.observer)
            host.observer->communication_changed(device->data_id, false);
    }
    Reporter::RoundCost cost;
    cost.round = completed;
    cost.commands = commands;
    cost.elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - round_started)
            .count();
    cost.sent_bytes = sent_bytes;
    cost.received_bytes = received_bytes;
    const Json::Value state =
        host.reporter.block(device->data_id, data, len, cost, host.observer != nullptr);
    if (host.observer && !state.isNull())
        host.observer->block_published(device->data_id, state);
    // Still inside the device's process(): what follows calls the device again, so it waits.
    if (phase == Phase::Polling)
        went_idle();
}

void Channel::run_operation(const Operation &op) {
    if (op.kind != Operation::Get)
        return begin_control(op);
    try {
        host.reporter.value(device->data_id, op.text, device->Get_Value(0, op.text), "");
    } catch (const std::exception &e) {
        host.reporter.value(device->data_id, op.text, std::nullopt, e.what());
        host.failure(1);
    }
}

void Channel::begin_control(const Operation &op) {
    phase = Phase::Controlling;
    commands = 0;
    control = op;
    control_result = 0;
    const int code =
        op.kind == Operation::Set ? control_code::kSetParameter : control_code::kRemoteControl;
    int used = 0;
    guarded("DeviceIoControl", [&] {
        control_result = device->DeviceIoControl(
            code, op.text.data(), static_cast<int>(op.text.size()), nullptr, 0, used);
    });
    if (commands == 0) // nothing went out: no answer can come
        finish_control();
}

// A refused request is the caller's mistake (2); one that went unanswered is the line's (1).
void Channel::finish_control() {
    const bool set = control->kind == Operation::Set;
    int32_t status = 0;
    int used = 0;
    guarded("DeviceIoControl", [&] {
        device->DeviceIoControl(set ? control_code::kSetParameterStatus
                                    : control_code::kRemoteControlStatus,
                                nullptr, 0, &status, sizeof status, used);
    });
    const auto *engine = dynamic_cast<const PMBusProtocol *>(device.get());
    host.reporter.control(device->data_id, set ? "set" : "control", control->text, control_result,
                          status, commands > 0, engine ? engine->refusal() : -1);
    const RequestOutcome outcome = control_outcome(status);
    const std::shared_ptr<RemoteRequest> from = control->remote;
    host.record_request({0, device->data_id, local_time_text(),
                         from ? from->source : "command line", set ? "set" : "control",
                         from ? from->request_id : "", control->text, outcome.outcome,
                         outcome.reason});
    if (!from && commands == 0)
        host.failure(2);
    else if (!from && status != 1)
        host.failure(1);
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
    const auto *engine = dynamic_cast<const PMBusProtocol *>(device.get());
    if (engine && engine->refusal() >= 0) {
        char why[48];
        std::snprintf(why, sizeof why, "refused by the device, RTN 0x%02X",
                      engine->refusal() & 0xFF);
        return {"refused", why};
    }
    return {"not answered", ""};
}

// One request per device at a time: a second one while the first waits or runs is busy. A
// device without communication cannot carry one out, and a request must not wait for it to
// come back (it could be long stale by then).
void Channel::submit(RemoteRequest request) {
    if (done)
        return host.conclude(device->data_id, request, {"refused", "the host is stopping"});
    if (remote || (control && control->remote))
        return host.conclude(device->data_id, request,
                             {"busy", "another request to this device is in progress"});
    if (lost)
        return host.conclude(device->data_id, request,
                             {"refused", "no communication with the device"});
    auto r = std::make_shared<RemoteRequest>(std::move(request));
    remote = Operation{r->set ? Operation::Set : Operation::Control, r->text, r};
    // Not from inside the caller (a broker's message callback): the line takes it when free.
    asio::post(host.io, [this] { next_step(); });
}

void Channel::cancel_remote(const std::string &reason) {
    if (!remote)
        return;
    const std::shared_ptr<RemoteRequest> r = remote->remote;
    remote.reset();
    host.conclude(device->data_id, *r, {"refused", reason});
}

// ---- Host ----------------------------------------------------------------------------------

Host::Host(asio::io_context &io, Output &out, Log &log, History *history, RunOptions options)
    : io(io), log(log), history(history), options(std::move(options)),
      reporter(out, log, this->options.json), signals(io) {}

Host::~Host() = default;

void Host::add(const DeviceConfig &config, std::shared_ptr<KVOVDevice> device) {
    auto &line = lines[config.port];
    if (!line)
        line = std::make_shared<Line>(io, log, config.port);
    line->set_capture(options.capture);
    all.push_back(std::make_unique<Channel>(*this, config, device, line));
    by_device[device.get()] = all.back().get();
}

int Host::run() {
    kvo::ScopedServices installed(*this);
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.async_wait([this](error_code ec, int number) {
        if (ec)
            return;
        log.line(std::string("stopping on ") + (number == SIGINT ? "SIGINT" : "SIGTERM"));
        stop();
    });
    for (auto &c : all)
        c->start();
    io.run();
    return exit_status;
}

void Host::stop() {
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
    if (observer) // first: its time of the event is then never later than the line printed
        observer->alarm_changed(record);
    reporter.alarm(record);
    if (history) {
        try {
            history->store_alarm(record);
            history_stored();
        } catch (const HistoryError &e) {
            history_failed(e.what());
        }
    }
    return true;
}

void Host::submit(uint32_t data_id, RemoteRequest request) {
    for (auto &c : all)
        if (c->data_id() == data_id)
            return c->submit(std::move(request));
    conclude(data_id, request, {"refused", "no such device"});
}

void Host::conclude(uint32_t data_id, const RemoteRequest &request, const RequestOutcome &outcome) {
    record_request({0, data_id, local_time_text(), request.source, request.set ? "set" : "control",
                    request.request_id, request.text, outcome.outcome, outcome.reason});
    if (request.done)
        request.done(outcome);
}

void Host::record_request(const RequestRecord &request) {
    if (!history)
        return;
    try {
        history->store_request(request);
        history_stored();
    } catch (const HistoryError &e) {
        history_failed(e.what());
    }
}

int Host::SendSP(KVOVDevice &device, int, const unsigned char *data, unsigned len, bool) {
    if (Channel *c = find(device))
        c->published(data, len);
    return 1;
}

bool Host::SaveDeviceHistory(KVOVDevice &device, const unsigned char *data, unsigned len) {
    if (!history)
        return false;
    try {
        history->store_block(device.data_id, local_time_text(), data, len);
        history_stored();
        return true;
    } catch (const HistoryError &e) {
        history_failed(e.what());
        return false;
    }
}

// A full or read-only disk is told once, and again when storing works again.
void Host::history_failed(const std::string &what) {
    ++history_lost;
    if (history_failing)
        return;
    history_failing = true;
    log.line("history: cannot store: " + what);
}

void Host::history_stored() {
    if (!history_failing)
        return;
    history_failing = false;
    log.line("history: storing again (" + std::to_string(history_lost) + " records not stored)");
    history_lost = 0;
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
    const std::string label = "device " + std::to_string(device.data_id);
    log.limited("frame:" + label + kvo::fault_name(fault),
                label + ": frame dropped (" + kvo::fault_name(fault) + ", " +
                    std::to_string(device.fault_count(fault)) + " so far)");
}

} // namespace host
