#include "host/program/ask_service.h"

#include "host/common/run_folder.h"
#include "host/console/table.h"
#include "host/control/control_client.h"
#include "host/core/named_requests.h"
#include "host/json/json_writer.h"

#include <json/reader.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace host {
namespace {

constexpr std::chrono::seconds kStatusPatience{2};
// A set or control request waits for its turn on the line: a round and its reply at most.
constexpr std::chrono::seconds kRequestPatience{60};

constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;

Json::Value parsed(const std::string &text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, nullptr))
        return Json::Value();
    return v;
}

std::string request_text(const Json::Value &fields) {
    std::string out;
    JsonWriter w(out);
    w.object();
    for (const auto &key : fields.getMemberNames()) {
        w.key(key);
        const Json::Value &v = fields[key];
        if (v.isBool())
            w.boolean(v.asBool());
        else if (v.isUInt())
            w.number(v.asUInt());
        else
            w.text(v.asString());
    }
    w.end();
    return out;
}

// A port by the device it stands for: a link (/dev/serial/by-id/...) is its device.
std::string device_of(const std::string &port) {
    char real[PATH_MAX];
    return ::realpath(port.c_str(), real) ? real : port;
}

struct Found {
    std::string socket;
    uint32_t data_id = 0;
};

// The running host and device a one-shot request of these options is for: by data_id when one
// is given, else by port (and the address, when the host polls several devices there).
std::optional<Found> find_device(const Options &o, const Json::Value &status,
                                 const std::string &socket) {
    for (const Json::Value &d : status["devices"]) {
        const uint32_t id = d["data_id"].asUInt();
        for (const DeviceConfig &mine : o.devices) {
            // A built-in simulator is each host's own: another host's "sim" is another plant.
            if (mine.port_location.kind == PortLocation::Kind::Sim && !o.target)
                continue;
            const unsigned address =
                mine.settings["address"].isUInt() ? mine.settings["address"].asUInt() : 1;
            const bool wanted = o.target
                                    ? id == *o.target && mine.data_id == *o.target
                                    : device_of(d["port"].asString()) == device_of(mine.port) &&
                                          d["address"].asUInt() == address;
            if (wanted)
                return Found{socket, id};
        }
    }
    return std::nullopt;
}

int print_value(const Options &o, const Json::Value &a, Output &out) {
    const std::string label = "device " + a["data_id"].asString() + ": ";
    if (a.isMember("error")) {
        out.line(label + o.get.value() + " = error: " + a["error"].asString());
        return kExitFailure;
    }
    const std::string number = value_text(*o.get, a["value"].asDouble(), o.quiet);
    out.line(o.quiet ? number : label + *o.get + " = " + number);
    return 0;
}

// As a run of its own would end: answered 0; the request's own fault (the driver refused it, or
// a safeguard did: nothing sent) 2; anything else the line's or the device's, 1.
int print_outcome(const Options &o, uint32_t data_id, const Json::Value &a, Output &out) {
    const bool set = o.set.has_value();
    const std::string outcome = a["outcome"].asString(), reason = a["reason"].asString();
    out.line("device " + std::to_string(data_id) + ": " + (set ? "set " : "control ") +
             (set ? *o.set : *o.control) + ": " + outcome +
             (reason.empty() ? "" : " (" + reason + ")"));
    if (outcome == "answered")
        return 0;
    return reason.rfind("refused by the driver", 0) == 0 || asks_confirmation(reason)
               ? kExitRefused
               : kExitFailure;
}

} // namespace

std::optional<int> ask_running_host(const Options &o, Output &out, Log &log) {
    for (const std::string &socket : host_sockets(o.socket)) {
        const auto status = ask_host(socket, R"({"request":"status"})", kStatusPatience);
        if (!status)
            continue;
        const auto found = find_device(o, parsed(*status), socket);
        if (!found)
            continue;
        Json::Value fields;
        fields["data_id"] = found->data_id;
        if (o.get) {
            fields["request"] = "get";
            fields["name"] = *o.get;
        } else {
            fields["request"] = o.set ? "set" : "control";
            fields["text"] = o.set ? *o.set : *o.control;
            fields["force"] = o.force;
            if (o.control)
                fields["all_modules"] = o.all_modules;
        }
        const auto answer =
            ask_host(socket, request_text(fields), o.get ? kStatusPatience : kRequestPatience);
        if (!answer) {
            log.error(socket + ": the running host did not answer");
            return kExitFailure;
        }
        const Json::Value a = parsed(*answer);
        if (a.isMember("error") && !o.get) {
            log.error(socket + ": " + a["error"].asString());
            return kExitFailure;
        }
        return o.get ? print_value(o, a, out) : print_outcome(o, found->data_id, a, out);
    }
    return std::nullopt;
}

int print_status(const Options &o, Output &out, Log &log) {
    unsigned answered = 0;
    std::string refused;
    for (const std::string &socket : host_sockets(o.socket)) {
        const auto status = ask_host(socket, R"({"request":"status"})", kStatusPatience, &refused);
        if (!status)
            continue;
        ++answered;
        if (o.json) {
            out.line(*status);
            continue;
        }
        const Json::Value s = parsed(*status);
        out.line("host " + s["pid"].asString() + " (mpx23-host " + s["version"].asString() + "), " +
                 socket);
        for (const Json::Value &d : s["devices"]) {
            std::string line = "  device " + d["data_id"].asString();
            if (!d["name"].asString().empty())
                line += " \"" + d["name"].asString() + "\"";
            line += " on " + d["port"].asString() + ": " + d["communication"].asString();
            line += d["last_round"].isString() ? ", last round " + d["last_round"].asString()
                                               : ", no round yet";
            if (d["alarms"].empty())
                line += ", no alarm active";
            for (const Json::Value &a : d["alarms"])
                line += "\n    alarm " + a["signal_id"].asString() + " " + a["name"].asString() +
                        " since " + a["since"].asString();
            out.line(line);
        }
    }
    if (answered > 0)
        return 0;
    // A folder there but closed to this user is the service's, not none.
    for (const std::string &folder : run_folders())
        if (refused.empty() && ::access(folder.c_str(), F_OK) == 0 &&
            ::access(folder.c_str(), R_OK | X_OK) != 0)
            refused = folder + ": " + std::strerror(errno);
    log.error(refused.empty() ? "no running mpx23-host answers on this machine"
                              : "cannot ask the running host: " + refused +
                                    " (the socket is its user's and group's: mpx23)");
    return kExitFailure;
}

} // namespace host
