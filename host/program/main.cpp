// mpx23-host: the reference host. Loads the driver plug-in, polls its power systems over serial
// lines, serial servers or the built-in simulator, keeps history in SQLite and reports alarms.
#include "capture/format.h"
#include "capture/transcript.h"
#include "capture/writer.h"
#include "host/block/block_fields.h"
#include "host/common/log.h"
#include "host/common/run_folder.h"
#include "host/console/terminal.h"
#include "host/control/control_requests.h"
#include "host/control/control_server.h"
#include "host/core/devices.h"
#include "host/core/host.h"
#include "host/core/plugin_loader.h"
#include "host/http/http_routes.h"
#include "host/http/http_server.h"
#include "host/line/port_lock.h"
#include "host/mqtt/mqtt_forget.h"
#include "host/mqtt/mqtt_publisher.h"
#include "host/program/ask_service.h"
#include "host/program/command_line.h"
#include "host/program/demo.h"
#include "host/program/history_report.h"
#include "host/program/listing.h"
#include "host/program/one_shot.h"
#ifdef MPX23_HOST_SNMP
#include "host/snmp/snmp_agent.h"
#endif
#include "host/state/site_state.h"
#include "host/stores/history.h"
#include "host/stores/history_lock.h"
#include "host/stores/history_recorder.h"
#include "host/stores/outbox.h"
#include "mpx23_version.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

#ifndef MPX23_HOST_PLUGIN
#define MPX23_HOST_PLUGIN "mpx23.so"
#endif
#ifndef MPX23_HOST_PLUGIN_INSTALLED
#define MPX23_HOST_PLUGIN_INSTALLED "../lib/mpx23/mpx23.so"
#endif

namespace {

using namespace host;

constexpr int kExitFailure = 1;
constexpr int kExitConfig = 2;

// The host's results go to a private copy of standard output, so that file descriptor 1 can be
// handed to the driver, which prints its diagnostics there.
std::FILE *private_output() {
    const int fd = dup(STDOUT_FILENO);
    std::FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    return f ? f : stdout;
}

bool redirect_driver_output(const Options &o, std::string &error) {
    std::fflush(stdout);
    if (o.verbose) {
        setvbuf(stdout, nullptr, _IOLBF, 0); // interleave sensibly with the host's lines
        return true;
    }
    const int fd = open(o.driver_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "--driver-log: cannot open " + o.driver_log + ": " + std::strerror(errno);
        return false;
    }
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return true;
}

// A damaged history stops the host unless it was told to move the file aside and start anew.
std::unique_ptr<History> open_history(const Options &o, Log &log) {
    std::unique_ptr<History> history;
    try {
        history = std::make_unique<History>(o.history, o.retention);
    } catch (const HistoryDamaged &e) {
        if (!o.history_recover)
            throw HistoryDamaged(std::string(e.what()) +
                                 "; --history-recover moves it aside and starts a new one");
        const std::string moved = move_aside(o.history);
        log.line(std::string(e.what()) + ": moved to " + moved + ", starting a new one");
        history = std::make_unique<History>(o.history, o.retention);
    }
    history->set_commit_interval(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(o.history_commit)));
    return history;
}

// Blocks waiting for their commit reach the file within their interval even when rounds stop
// (every device lost, say); a stop commits them at once, so that a failure is still told.
class HistoryCommits {
public:
    HistoryCommits(boost::asio::io_context &io, HistoryRecorder &recorder)
        : timer(io), recorder(recorder) {
        wait();
    }
    ~HistoryCommits() { recorder.commit_now(); }

private:
    void wait() {
        timer.expires_after(std::chrono::seconds(5));
        timer.async_wait([this](boost::system::error_code ec) {
            if (ec)
                return;
            recorder.commit_due();
            wait();
        });
    }

    boost::asio::steady_timer timer;
    HistoryRecorder &recorder;
};

// The site's state, kept once from the events for the broker and the HTTP side alike.
std::unique_ptr<SiteState> keep_site_state(const std::vector<DeviceConfig> &devices,
                                           History *history) {
    std::vector<uint32_t> data_ids;
    for (const auto &d : devices)
        data_ids.push_back(d.data_id);
    auto site = std::make_unique<SiteState>(data_ids);
    for (const auto &d : devices) {
        site->set_name(d.data_id, d.name);
        site->set_alarms(d);
    }
    if (history)
        recall_recent_rounds(*site, *history);
    return site;
}

// What the HTTP API's documents are written from, over HTTP and the control socket alike. The
// page asks again about as often as the quickest device completes a round.
HttpSources document_sources(const std::vector<DeviceConfig> &devices, const SiteState &site,
                             History *history, MqttPublisher *publisher, Outbox *backlog) {
    double quickest = 10.0;
    for (const auto &d : devices)
        quickest = std::min(quickest, d.interval);
    HttpSources sources{site, history, nullptr, std::max(0.5, quickest), mpx23_version()};
    if (publisher)
        sources.mqtt = [publisher, backlog] {
            MqttHealth health;
            health.connected = publisher->connected();
            try {
                health.backlog = backlog->size();
            } catch (const HistoryError &) {
            }
            return std::optional<MqttHealth>(health);
        };
    return sources;
}

// The HTTP side: the server that shows the site's state.
std::unique_ptr<HttpServer> serve_http(const Options &o, boost::asio::io_context &io, Log &log,
                                       const HttpSources &sources) {
    HttpLimits limits;
    limits.max_connections = o.http.max_connections;
    limits.idle_timeout = limits.request_timeout =
        std::chrono::milliseconds(static_cast<long>(o.http.timeout * 1000));
    return std::make_unique<HttpServer>(
        io, log, o.http.listen, limits,
        [sources](const std::string &path, const std::map<std::string, std::string> &query) {
            return http_route(sources, path, query);
        });
}

#ifdef MPX23_HOST_SNMP
// The plants as the SNMP tables name them: what the configuration says of each.
SnmpHost snmp_host(const std::vector<DeviceConfig> &devices) {
    SnmpHost host{mpx23_version(), {}};
    for (const auto &d : devices) {
        const Json::Value &address = d.settings["address"];
        host.plants.push_back({d.data_id, d.port, address.isUInt() ? address.asUInt() : 1});
    }
    return host;
}
#endif

int run(const Options &o, Output &out, Log &log) {
    Plugin plugin(o.plugin.empty()
                      ? default_plugin_path({MPX23_HOST_PLUGIN, MPX23_HOST_PLUGIN_INSTALLED})
                      : o.plugin);
    std::optional<HistoryLock> history_lock;
    std::unique_ptr<History> history;
    if (!o.history.empty()) {
        history_lock.emplace(o.history);
        history = open_history(o, log);
    }
    const std::vector<DeviceConfig> devices =
        o.mode == Options::Mode::Demo ? std::vector<DeviceConfig>{demo_device()} : o.devices;
    // Every port this host polls is its own for as long as it runs.
    const std::string run_folder = own_run_folder();
    std::map<std::string, std::unique_ptr<PortLock>> port_locks;
    for (const auto &d : devices)
        if (!port_locks.count(d.port))
            port_locks[d.port] =
                std::make_unique<PortLock>(d.port, d.port_location, run_folder, log);
    std::unique_ptr<capture::CaptureWriter> capture;
    if (!o.capture.empty())
        capture = std::make_unique<capture::CaptureWriter>(
            o.capture, o.capture_max, [&log](const std::string &text) { log.line(text); });
    auto controller = std::make_shared<KVOController>();
    boost::asio::io_context io;
    RunOptions run_options{o.rounds, o.get, o.set, o.control, o.target};
    run_options.capture = capture.get();
    run_options.force = o.force;
    Events events;
    Host host(io, log, events, run_options);
    for (const auto &d : devices) {
        auto device = make_device(plugin, d, controller);
        if (history)
            restore_cache(*history, *device, log);
        host.add(d, device);
    }
    // The site state hears every event first: the broker and the HTTP side read it.
    std::unique_ptr<SiteState> site;
    // A host that polls until stopped answers on its control socket; a one-shot run does not.
    const bool serves = !o.get && !o.set && !o.control;
    const bool snmp_wanted = o.agentx && serves;
    if (!o.mqtt.url.empty() || !o.http.listen.empty() || serves) {
        site = keep_site_state(devices, history.get());
        events.listen(*site);
    }
    // Events wait for the broker in the history's file; without one, in memory only.
    std::unique_ptr<Outbox> backlog;
    std::unique_ptr<MqttPublisher> publisher;
    if (!o.mqtt.url.empty()) {
        if (history) {
            backlog = std::make_unique<Outbox>(history->database());
        } else {
            backlog = std::make_unique<Outbox>(":memory:");
            log.line("mqtt: no --history: events wait for the broker in memory only");
        }
        publisher =
            std::make_unique<MqttPublisher>(io, log, host, *backlog, *site, o.mqtt, devices);
        host.on_stop([&publisher] { publisher->stop(); });
    }
    // The outputs, in the order they hear each event: the broker's first, so that an event's
    // time there is never later than the line the terminal prints for it.
    // A reader that goes away (a pipe into head) stops the run as a signal would; any other
    // write error is told once and polling, history and broker go on.
    bool output_lost = false;
    out.on_failure([&](bool closed, const std::string &why) {
        if (closed) {
            log.line("standard output closed: stopping");
            boost::asio::post(io, [&host] { host.stop(); });
            return;
        }
        output_lost = true;
        log.line("standard output: cannot write: " + why + "; polling goes on");
    });
    Terminal terminal(out, log, o.json, !o.quiet);
    std::optional<HistoryRecorder> recorder;
    std::optional<HistoryCommits> commits;
    if (history) {
        recorder.emplace(*history, events);
        commits.emplace(io, *recorder);
    }
    if (publisher)
        events.listen(*publisher);
    events.listen(terminal);
    if (recorder)
        events.listen(*recorder);
#ifdef MPX23_HOST_SNMP
    // After the terminal: a notification leaves for each transition the terminal prints.
    std::unique_ptr<SnmpAgent> snmp;
    if (snmp_wanted) {
        snmp = std::make_unique<SnmpAgent>(io, log, *site, snmp_host(devices), *o.agentx);
        events.listen(*snmp);
    }
#else
    (void)snmp_wanted;
#endif
    if (publisher)
        publisher->start();
    std::unique_ptr<HttpServer> http;
    std::unique_ptr<ControlRequests> control_requests;
    std::unique_ptr<ControlServer> control;
    if (site) {
        const HttpSources sources =
            document_sources(devices, *site, history.get(), publisher.get(), backlog.get());
        if (!o.http.listen.empty())
            http = serve_http(o, io, log, sources);
        // Discovery goes out once connected, in the loop: the page is known by then.
        if (publisher)
            publisher->describe_host(mpx23_version(),
                                     http ? reachable_page(http->local_endpoint()) : "");
        const std::string socket = !o.socket.empty()    ? o.socket
                                   : run_folder.empty() ? ""
                                                        : control_socket_path(run_folder);
        if (serves && socket.empty())
            log.line("no control socket: no run folder this user may write (--socket PATH)");
        if (serves && !socket.empty()) {
            control_requests = std::make_unique<ControlRequests>(host, *site, sources, devices,
                                                                 [] { return listing_json(); });
            control = std::make_unique<ControlServer>(
                io, log, socket,
                [&control_requests](const std::string &line, const Asker &asker,
                                    ControlServer::Answer answer) {
                    control_requests->handle(line, asker, answer);
                });
        }
    }
    if (o.mode == Options::Mode::Demo && !o.json)
        out.line(demo_banner(o.rounds));
    const int status = host.run();
    commits.reset();
    return output_lost ? std::max(status, kExitFailure) : status;
}

int history_command(const Options &o, Output &out, Log &log) {
    if (access(o.history.c_str(), R_OK) != 0) {
        log.error("history " + o.history + ": " + std::strerror(errno));
        return kExitFailure;
    }
    History history = History::for_reading(o.history);
    return print_history(history, o, out, log);
}

// A request a safeguard refused sends nothing: it is told, recorded as refused, and the run
// ends before any polling.
int refuse_request(const Options &o, Log &log) {
    log.error(o.refused->reason);
    try {
        record_refusal(o);
    } catch (const HistoryError &e) {
        log.error(e.what());
    }
    return kExitConfig;
}

// "list": the names the host takes.
int list_names(const Options &o, Output &out) {
    if (o.json)
        out.line(listing_json());
    else {
        std::string table = listing_table();
        table.pop_back(); // the line's own newline ends it
        out.line(table);
    }
    return 0;
}

// "mqtt-forget": each topic cleared on standard output.
int mqtt_forget(const Options &o, Output &out, Log &log) {
    const ForgetResult r = forget_device(o.mqtt, *o.target, log);
    for (const auto &topic : r.cleared)
        out.line(topic);
    if (!r.done)
        log.error("mqtt-forget: " + r.error +
                  (r.unconfirmed ? "; " + std::to_string(r.unconfirmed) +
                                       " topics not confirmed cleared: run it again"
                                 : ""));
    return r.done ? 0 : kExitFailure;
}

// "capture show FILE": the transcript on standard output.
int capture_show(const Options &o, Output &out, Log &log) {
    std::ifstream in(o.capture, std::ios::binary);
    std::string first;
    if (in && !std::getline(in, first).fail() && first != capture::kCaptureHeader) {
        log.error("capture " + o.capture + ": not a capture (its first line is not \"" +
                  capture::kCaptureHeader + "\")");
        return kExitFailure;
    }
    try {
        for (const auto &line : capture::capture_transcript(capture::read_capture(o.capture)))
            out.line(line);
        return 0;
    } catch (const capture::CaptureError &e) {
        log.error("capture " + std::string(e.what()));
        return kExitFailure;
    }
}

using Report = int (*)(const Options &, Output &, Log &);

const std::map<Options::Mode, Report> reports = {
    {Options::Mode::Status, print_status},
    {Options::Mode::History, history_command},
    {Options::Mode::CaptureShow, capture_show},
    {Options::Mode::List, [](const Options &o, Output &out, Log &) { return list_names(o, out); }},
    {Options::Mode::MqttForget, mqtt_forget},
};

// A listing whose reader goes away (a pipe into head) has said what was wanted; one that cannot
// be written at all has not, and says so.
int print_report(Report report, const Options &o, Output &out, Log &log) {
    bool lost = false;
    out.on_failure([&](bool closed, const std::string &why) {
        if (closed)
            return;
        lost = true;
        log.error("standard output: cannot write: " + why);
    });
    const int status = report(o, out, log);
    return lost ? std::max(status, kExitFailure) : status;
}

int start(int argc, char **argv, Log &log) {
    // Nothing to poll was named: what the program takes, not a simulated plant.
    if (argc <= 1) {
        std::fputs(usage().c_str(), stderr);
        return kExitConfig;
    }
    const Options options = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    if (options.mode == Options::Mode::Help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (options.mode == Options::Mode::Version) {
        std::printf("mpx23-host %s\n", mpx23_version());
        return 0;
    }
    Output out(private_output());
    if (const auto report = reports.find(options.mode); report != reports.end())
        return print_report(report->second, options, out, log);
    if (options.refused)
        return refuse_request(options, log);
    // The port is the running host's: it is asked, and the port left alone.
    if (options.mode == Options::Mode::Run && (options.get || options.set || options.control))
        if (const auto status = ask_running_host(options, out, log))
            return *status;
    std::string error;
    if (!redirect_driver_output(options, error)) {
        log.error(error);
        return kExitConfig;
    }
    return run(options, out, log);
}

} // namespace

// Whatever goes wrong, the host ends with a message and an exit code, never an abort. Each room
// throws its own error; here, and only here, each becomes its exit status.
int main(int argc, char **argv) {
    // Writes past a file-size limit and into a closed pipe fail with an error the host tells
    // and survives, instead of killing it without a word.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    Log log;
    try {
        return start(argc, argv, log);
    } catch (const ConfigError &e) {
        log.error(e.what());
        return kExitConfig;
    } catch (const HistoryError &e) {
        log.error(e.what());
    } catch (const PluginError &e) {
        log.error(e.what());
    } catch (const PortBusy &e) {
        log.error(e.what());
    } catch (const capture::CaptureError &e) {
        log.error(e.what());
    } catch (const std::exception &e) {
        log.error(std::string("unexpected error: ") + e.what());
    } catch (...) {
        log.error("unexpected error");
    }
    return kExitFailure;
}
