#include "host/common/catalogue.h"
#include "host/common/wire_timing.h"
#include "host/core/request_form.h"
#include "host/mqtt/mqtt_client.h"
#include "host/program/command_line.h"
#include "host/program/config_file.h"
#include "host/stores/history_time.h"

#include <json/reader.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include <gtest/gtest.h>

namespace {

using host::ConfigError;
using host::Options;
using host::PortLocation;

Json::Value json(const std::string &text) {
    Json::CharReaderBuilder builder;
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
    return v;
}

std::string config_error(const std::string &text) {
    try {
        host::parse_config(json(text));
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "accepted";
}

// The command line with the built-in simulator as its port, when it names none of its own: what
// the other options do does not depend on the port.
std::vector<std::string> on_sim(std::vector<std::string> args) {
    const bool names_its_devices = std::any_of(args.begin(), args.end(), [](const std::string &a) {
        return a == "--port" || a == "--config" || a == "--demo" || a == "history" || a == "list" ||
               a == "capture" || a == "mqtt-forget" || a == "--help" || a == "--version";
    });
    if (!names_its_devices)
        args.insert(args.begin(), {"--port", "sim"});
    return args;
}

Options parse(const std::vector<std::string> &args) {
    return host::parse_command_line(on_sim(args));
}

std::string command_line_error(const std::vector<std::string> &args) {
    try {
        parse(args);
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "accepted";
}

TEST(Config, ReadsEveryDeviceKey) {
    const auto devices = host::parse_config(json(R"({"devices": [
        {"port": "/dev/ttyS1",
         "settings": {"address": 3, "protocol_version": "0x21", "alarm_profile": 0},
         "data_id": 1001, "interval": 0.5, "timeout": 2, "baud": 19200,
         "alarm_settings": {"220600140010": 1}, "alarm_thresholds": {"210600320010": 47.5}},
        {"port": "tcp:10.0.0.7:4001", "data_id": 1002, "name": "Site 17"},
        {"port": "sim", "sim": {"modules": 4, "events": [{"round": 2, "event": "mains_fail"}]}}]})"));
    ASSERT_EQ(devices.size(), 3u);
    const auto &a = devices[0];
    EXPECT_EQ(a.port_location.kind, PortLocation::Kind::Serial);
    EXPECT_EQ(a.port_location.path, "/dev/ttyS1");
    EXPECT_EQ(a.settings["address"].asInt(), 3);
    EXPECT_EQ(a.settings["alarm_profile"].asInt(), 0);
    EXPECT_EQ(a.data_id, 1001u);
    EXPECT_DOUBLE_EQ(a.interval, 0.5);
    EXPECT_DOUBLE_EQ(a.reply_timeout(), 2.0);
    EXPECT_EQ(a.baud, 19200u);
    EXPECT_EQ(a.alarm_settings.at("220600140010"), 1);
    EXPECT_FLOAT_EQ(a.alarm_thresholds.at("210600320010"), 47.5f);
    EXPECT_EQ(devices[1].port_location.kind, PortLocation::Kind::Tcp);
    EXPECT_EQ(devices[1].port_location.path, "10.0.0.7");
    EXPECT_EQ(devices[1].port_location.tcp_port, 4001);
    EXPECT_EQ(devices[1].name, "Site 17");
    EXPECT_EQ(a.name, "");
    // Defaults: the simulator, data id 1, five seconds, 9600 baud.
    const auto &c = devices[2];
    EXPECT_EQ(c.port_location.kind, PortLocation::Kind::Sim);
    EXPECT_EQ(c.data_id, 1u);
    EXPECT_DOUBLE_EQ(c.interval, 5.0);
    EXPECT_EQ(c.baud, 9600u);
    EXPECT_EQ(c.sim["modules"].asInt(), 4);
}

// Without a word about alarms every alarm of the driver is on at the default limits, with the
// two-input profile, so that a one-input plant gets them too; the configuration overrides one
// alarm, the mains frequency, or all of them.
TEST(Config, AlarmsAreOnUnlessSwitchedOff) {
    const auto devices = host::parse_config(json(R"({"devices": [
        {"port": "sim", "data_id": 1},
        {"port": "sim", "data_id": 2, "settings": {"address": 2, "alarm_profile": 0}, "mains_frequency": 60,
         "alarm_settings": {"220600140010": 0}, "alarm_thresholds": {"210600320010": 46.5}},
        {"port": "sim", "data_id": 3, "settings": {"address": 3}, "alarms": false,
         "alarm_settings": {"220600140010": 1}}]})"));
    const auto plain = devices[0].effective_alarm_settings();
    EXPECT_EQ(plain.size(), 8u);
    for (const auto &[id, setting] : plain)
        EXPECT_EQ(setting, 1) << id;
    EXPECT_EQ(devices[0].driver_settings()["alarm_profile"].asInt(), 2);
    const auto limits = devices[0].effective_alarm_thresholds();
    EXPECT_FLOAT_EQ(limits.at("220600160010"), 55.0f);
    EXPECT_FLOAT_EQ(limits.at("220600170010"), 45.0f);
    EXPECT_FLOAT_EQ(limits.at("210600320010"), 47.0f);
    EXPECT_FLOAT_EQ(limits.at("210600330010"), 45.0f);
    EXPECT_FLOAT_EQ(limits.at("210600340010"), 57.6f);
    EXPECT_EQ(limits.count("220600140010"), 0u); // the driver's fixed limit

    EXPECT_EQ(devices[1].effective_alarm_settings().at("220600140010"), 0);
    EXPECT_EQ(devices[1].driver_settings()["alarm_profile"].asInt(), 0);
    EXPECT_FLOAT_EQ(devices[1].effective_alarm_thresholds().at("220600160010"), 66.0f);
    EXPECT_FLOAT_EQ(devices[1].effective_alarm_thresholds().at("220600170010"), 54.0f);
    EXPECT_FLOAT_EQ(devices[1].effective_alarm_thresholds().at("210600320010"), 46.5f);

    int on = 0;
    for (const auto &[id, setting] : devices[2].effective_alarm_settings())
        on += setting;
    EXPECT_EQ(on, 1);
    EXPECT_FALSE(devices[2].driver_settings().isMember("alarm_profile"));

    // The plausible range of each threshold holds the alarm's own default, at either frequency.
    for (const auto &alarm : host::catalogue::kAlarms)
        for (unsigned hz : {50u, 60u})
            if (const auto range = host::threshold_range(alarm, hz)) {
                const double limit = hz == 60 ? alarm.limit.at_60hz : alarm.limit.at_50hz;
                EXPECT_TRUE(limit >= range->low && limit <= range->high) << alarm.name << hz;
            }
}

TEST(Config, MessagesNameTheKeyAtFault) {
    const std::pair<const char *, const char *> cases[] = {
        {R"({"devices": [{"port": "sim", "interval": -1}]})",
         "config: devices[0].interval: expected a number of seconds from 0.001 to 86400"},
        {R"({"devices": [{"port": "sim"}, {"port": "sim", "interval": "5"}]})",
         "config: devices[1].interval: expected a number of seconds"},
        {R"({"devices": [{"port": "sim", "timeout": 0}]})",
         "config: devices[0].timeout: expected a number of seconds from 0.01 to 3600"},
        {R"({"devices": [{"port": "sim", "interval": 1e-300}]})",
         "config: devices[0].interval: expected a"},
        {R"({"devices": [{"port": "sim", "interval": 1e300}]})",
         "config: devices[0].interval: expected a"},
        {R"({"devices": [{"port": "sim", "timeout": 1e300}]})",
         "config: devices[0].timeout: expected a"},
        {R"({"devices": [{"port": "sim", "baud": 9601}]})",
         "config: devices[0].baud: expected one of 300,"},
        {R"({"devices": [{"port": 5}]})", "config: devices[0].port: expected a text"},
        // A device without a port is no simulated plant under the site's name.
        {R"({"devices": [{"data_id": 1701, "name": "Site 17 plant A"}]})",
         "config: devices[0].port: missing: name the port the power system is on"},
        {R"({"devices": [{"port": "sim", "name": ""}]})",
         "config: devices[0].name: expected a text that is not"},
        {R"({"devices": [{"port": "sim", "name": 17}]})",
         "config: devices[0].name: expected a text that is not"},
        {R"({"devices": [{"port": "tcp:host:99999"}]})",
         "config: devices[0].port: expected tcp:HOST:PORT"},
        // Names and texts that reach topics, labels and documents: UTF-8 without controls.
        {"{\"devices\": [{\"port\": \"sim\", \"name\": \"Site \xff\xfe\"}]}",
         "config: devices[0].name: expected UTF-8 text without control characters"},
        {R"({"devices": [{"port": "sim", "name": "Site\u0000A"}]})",
         "config: devices[0].name: expected UTF-8"},
        {R"({"devices": [{"port": "sim", "name": "Site\r\nA"}]})",
         "config: devices[0].name: expected UTF-8"},
        {R"({"devices": [{"port": "/dev/ttyS0\n"}]})", "config: devices[0].port: expected UTF-8"},
        {R"({"devices": [{"port": "sim"}], "mqtt": {"url": "mqtt://h", "prefix": "site\u0000x"}})",
         "config: mqtt.prefix: expected UTF-8 text without control characters"},
        {"{\"devices\": [{\"port\": \"sim\"}], \"mqtt\": {\"url\": \"mqtt://h\", \"client_id\": "
         "\"a\xc3\"}}",
         "config: mqtt.client_id: expected UTF-8"},
        {R"({"devices": [{"port": "sim"}], "mqtt": {"url": "mqtt://h", "discovery": "ha\u001b"}})",
         "config: mqtt.discovery: expected UTF-8"},
        {R"({"devices": [{"port": "sim", "data_id": -3}]})",
         "config: devices[0].data_id: expected a whole"},
        {R"({"devices": [{"port": "sim", "settings": [1]}]})",
         "config: devices[0].settings: expected an object"},
        {R"({"devices": [{"port": "sim", "alarm_settings": {"220600140010": "on"}}]})",
         "config: devices[0].alarm_settings.220600140010: expected a whole number"},
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"210600320010": null}}]})",
         "config: devices[0].alarm_thresholds.210600320010: expected a number"},
        {R"({"devices": [{"port": "sim", "alarm_settings": {"220600140011": 1}}]})",
         "config: devices[0].alarm_settings.220600140011: not an alarm of the driver"},
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"210600320010": 1e300}}]})",
         "config: devices[0].alarm_thresholds.210600320010: expected a number from"},
        // A threshold where its alarm means something, and only for an alarm that takes one.
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"210600320010": 0}}]})",
         "config: devices[0].alarm_thresholds.210600320010: expected DC voltage low from 40 to 60"},
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"210600340010": 1000}}]})",
         "config: devices[0].alarm_thresholds.210600340010: expected DC voltage high from 40"},
        {R"({"devices": [{"port": "sim", "mains_frequency": 60,
                          "alarm_thresholds": {"220600160010": 55}}]})",
         "config: devices[0].alarm_thresholds.220600160010: expected AC input frequency high from "
         "60.5 to 72 Hz"},
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"220600170010": 50}}]})",
         "config: devices[0].alarm_thresholds.220600170010: expected AC input frequency low"},
        {R"({"devices": [{"port": "sim", "alarm_thresholds": {"220600120010": 260}}]})",
         "config: devices[0].alarm_thresholds.220600120010: AC input over-voltage has the "
         "driver's fixed limit, 280 V: it takes no threshold"},
        {R"({"devices": [{"port": "sim", "alarms": 0}]})",
         "config: devices[0].alarms: expected true or false"},
        {R"({"devices": [{"port": "sim", "mains_frequency": 55}]})",
         "config: devices[0].mains_frequency: expected 50 or 60"},
        {R"({"devices": [{"port": "sim", "settings": {"address": "1"}}]})",
         "config: devices[0].settings.address: expected a whole number from 1 to 254"},
        {R"({"devices": [{"port": "sim", "settings": {"alarm_profile": 1}}]})",
         "config: devices[0].settings.alarm_profile: expected 0 or 2"},
        {R"({"devices": [{"port": "sim", "intervall": 5}]})",
         "config: devices[0].intervall: unknown key"},
        {R"({"devices": [{"port": "sim", "settings": {"adress": 7}}]})",
         "config: devices[0].settings.adress: unknown key"},
        {R"({"devices": [{"port": "/dev/ttyS0", "sim": {}}]})",
         "config: devices[0].sim: only for the port \"sim\""},
        {R"({"devices": [{"port": "sim", "sim": {"modules": "many"}}]})",
         "config: devices[0].sim: scenario"},
        {R"({"devices": [{"port": "sim", "data_id": 1}, {"port": "sim", "data_id": 2}]})",
         "config: devices[1].settings.address: address 1 already used on sim by devices[0]"},
        {R"({"devices": [{"port": "/dev/ttyS1", "baud": 19200},
                         {"port": "/dev/ttyS1", "data_id": 2, "settings": {"address": 2}}]})",
         "config: devices[1].baud: 9600 on /dev/ttyS1, where devices[0] has 19200"},
        {R"({"devices": [{"port": "sim", "data_id": 4}, {"port": "sim", "data_id": 4}]})",
         "config: devices[1].data_id: already used by devices[0]"},
        {R"({"devices": []})", "config: devices: expected a list"},
        {R"({"device": []})", "config: device: unknown key"},
        {R"([1])", "config: expected a JSON object"},
    };
    for (const auto &[text, message] : cases)
        EXPECT_EQ(config_error(text).rfind(message, 0), 0u)
            << text << "\n  gave: " << config_error(text);
}

// A key given twice, a trailing comma or text after the document is refused; comments are
// allowed.
TEST(Config, AFileIsStrictJsonButForComments) {
    const std::string path = testing::TempDir() + "/strict.json";
    const auto load = [&](const char *text) -> std::string {
        std::ofstream(path) << text;
        try {
            host::load_config_file(path, nullptr);
        } catch (const ConfigError &e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(load("// a site\n{\"devices\": [{\"port\": \"sim\", \"interval\": 1 /* s */}]}"),
              "accepted");
    EXPECT_NE(load(R"({"devices": [{"port": "sim", "interval": 1, "interval": 2}]})")
                  .find("not valid JSON"),
              std::string::npos);
    EXPECT_NE(load(R"({"devices": [{"port": "sim"}]} {"devices": []})").find("not valid JSON"),
              std::string::npos);
    for (const char *trailing : {R"({"devices": [{"port": "sim", "interval": 1,}]})",
                                 R"({"devices": [{"port": "sim"},]})"})
        EXPECT_NE(load(trailing).find("not valid JSON"), std::string::npos) << trailing;
    std::remove(path.c_str());
    // The commented sample the package installs as /etc/mpx23/site.json.
    EXPECT_EQ(host::load_config_file(HOST_SAMPLE_CONFIG, nullptr).at(0).port, "/dev/ttyUSB0");
}

TEST(Config, PortsAndTimeouts) {
    EXPECT_EQ(host::parse_port("sim").kind, PortLocation::Kind::Sim);
    EXPECT_EQ(host::parse_port("/dev/ttyUSB0").path, "/dev/ttyUSB0");
    const auto tcp = host::parse_port("tcp:[::1]:4001");
    EXPECT_EQ(tcp.path, "[::1]");
    EXPECT_EQ(tcp.tcp_port, 4001);
    for (const char *bad : {"", "tcp:", "tcp::4001", "tcp:host", "tcp:host:0", "tcp:host:x1",
                            "tcp:host:+80", "tcp:host: 80", "tcp:[::1:80", "sim:"})
        EXPECT_THROW(host::parse_port(bad), ConfigError) << bad;

    // The largest reply must fit in the timeout at every line speed, never below half a second.
    EXPECT_DOUBLE_EQ(host::default_timeout(115200), 0.5);
    EXPECT_GT(host::default_timeout(9600), 0.5 + 0.25);
    EXPECT_GT(host::default_timeout(1200), 530 * 10 / 1200.0);
    EXPECT_GT(host::default_timeout(1200), host::default_timeout(2400));
    host::DeviceConfig d;
    d.baud = 2400;
    EXPECT_DOUBLE_EQ(d.reply_timeout(), host::default_timeout(2400));
}

TEST(Config, CommandLine) {
    Options o = parse({"--port", "/dev/ttyS2", "--address", "7", "--data-id", "12", "--interval",
                       "0.25", "--baud", "4800"});
    ASSERT_EQ(o.devices.size(), 1u);
    EXPECT_EQ(o.devices[0].port_location.path, "/dev/ttyS2");
    EXPECT_EQ(o.devices[0].settings["address"].asInt(), 7);
    EXPECT_EQ(o.devices[0].data_id, 12u);
    EXPECT_DOUBLE_EQ(o.devices[0].interval, 0.25);
    EXPECT_EQ(o.devices[0].baud, 4800u);
    EXPECT_EQ(o.rounds, 0u);
    EXPECT_EQ(o.devices[0].key_name("settings.protocol_version"), "--protocol-version");

    // A one-shot operation ends the run after it unless --rounds says otherwise.
    EXPECT_EQ(parse({"--get", "out_v"}).rounds, 1u);
    EXPECT_EQ(parse({"--control", "419500200001", "--rounds", "3"}).rounds, 3u);
    EXPECT_EQ(parse({"--demo"}).rounds, 25u);

    o = parse({"history", "--history", "h.db", "--csv"});
    EXPECT_EQ(o.mode, Options::Mode::History);
    EXPECT_TRUE(o.csv);

    // Durations the clock cannot hold, or that would spin the event loop, are refused.
    for (const char *extreme : {"0", "1e-10", "1e-300", "1e10", "1e300", "inf", "nan"})
        EXPECT_EQ(command_line_error({"--interval", extreme}),
                  "--interval: expected a number of seconds from 0.001 to 86400")
            << extreme;
    for (const char *extreme : {"1e-10", "1e300"})
        EXPECT_EQ(command_line_error({"--timeout", extreme}),
                  "--timeout: expected a number of seconds from 0.01 to 3600");
    EXPECT_EQ(command_line_error({"--baud", "1000"}).rfind("--baud: expected one of", 0), 0u);
    EXPECT_EQ(command_line_error({"--rounds"}), "--rounds: needs a value (N)");
    EXPECT_EQ(command_line_error({"--config", "x.json", "--port", "sim"}),
              "--port: not together with --config");
    EXPECT_EQ(command_line_error({"--config", "/nonexistent/x.json"}),
              "config: cannot read /nonexistent/x.json: No such file or directory");
    // Numbers are plain decimal, and an option is given once.
    for (const auto &[option, value] :
         std::vector<std::pair<const char *, const char *>>{{"--address", "0x01"},
                                                            {"--address", " 1"},
                                                            {"--address", "+1"},
                                                            {"--interval", "0x1p-3"},
                                                            {"--interval", " 1"},
                                                            {"--interval", "+1"},
                                                            {"--rounds", "-0"}})
        EXPECT_NE(command_line_error({option, value}).find(": expected a"), std::string::npos)
            << option << " " << value;
    EXPECT_EQ(command_line_error({"--interval", "1", "--interval", "2"}),
              "--interval: given twice");
    EXPECT_EQ(command_line_error({"history"}), "history: --history FILE is required");
    EXPECT_EQ(command_line_error({"--csv"}), "--csv: only for the history subcommand");
    EXPECT_EQ(command_line_error({"--frobnicate"}), "unknown option --frobnicate (see --help)");

    // A request aimed at one device names one that is configured.
    o = parse({"--data-id", "0", "--device", "0", "--get", "out_v"});
    EXPECT_EQ(o.target, std::optional<uint32_t>(0));
    EXPECT_FALSE(parse({"--get", "out_v"}).target);
    EXPECT_EQ(command_line_error({"--data-id", "7", "--device", "8", "--get", "out_v"}),
              "--device: no device with data_id 8");
    EXPECT_EQ(command_line_error({"--device", "1"}),
              "--device: only with --get, --set or --control");
}

// The history listing selects with its own options and refuses every one it cannot use; those
// options are refused outside it.
TEST(Config, HistoryListingOptions) {
    const Options o =
        parse({"history", "--history", "h.db", "--requests", "--device", "7", "--since",
               "2026-12-08", "--until", "2026-12-08 14:00:05", "--last", "5"});
    EXPECT_EQ(o.history_filter.data_id, std::optional<uint32_t>(7));
    EXPECT_EQ(o.history_filter.since, "2026-12-08 00:00:00");
    EXPECT_EQ(o.history_filter.until, "2026-12-08 14:00:05");
    EXPECT_EQ(o.history_filter.last, std::optional<unsigned>(5));
    EXPECT_FALSE(parse({"history", "--history", "h.db"}).history_filter.last);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"history", "--history", "h.db", "--rounds", "5"},
         "--rounds: not for the history subcommand"},
        {{"history", "--port", "sim", "--history", "h.db"}, "--port: not for the history"},
        {{"history", "--history", "h.db", "--get", "x"}, "--get: not for the history"},
        {{"history", "--history", "h.db", "--mqtt", "mqtt://h"}, "--mqtt: not for the history"},
        {{"history", "--history", "h.db", "--last", "0"}, "--last: expected a whole number"},
        {{"history", "--history", "h.db", "--until", "2026-02-30"},
         std::string("--until: expected ") + host::kHistoryTimeForms},
        {{"--since", "2h"}, "--since: only for the history subcommand"},
        {{"--demo", "--last", "3"}, "--last: only for the history subcommand"},
    };
    for (const auto &[args, message] : refused)
        EXPECT_EQ(command_line_error(args).rfind(message, 0), 0u)
            << args[1] << "\n  gave: " << command_line_error(args);
    EXPECT_EQ(parse({"-h"}).mode, Options::Mode::Help);
    EXPECT_EQ(parse({"history", "--version"}).mode, Options::Mode::Version);
}

// A TIME is read into the local time the history stores: an offset or Z converted, a span
// counted back from now.
TEST(Config, HistoryTimes) {
    const char *zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    setenv("TZ", "XYZ-2", 1); // two hours east of UTC, no summer time
    tzset();
    const std::time_t noon_utc = 1796731200; // 2026-12-08 12:00:00 UTC
    const std::pair<const char *, const char *> read[] = {
        {"2026-12-08", "2026-12-08 00:00:00"},
        {"2026-12-08T14:00", "2026-12-08 14:00:00"},
        {"2026-12-08 14:00:05", "2026-12-08 14:00:05"},
        {"2026-12-08T12:00Z", "2026-12-08 14:00:00"},
        {"2026-12-08T14:00:05+02:00", "2026-12-08 14:00:05"},
        {"2026-12-08T23:30-0130", "2026-12-09 03:00:00"},
        {"2026-12-08 10:00-05", "2026-12-08 17:00:00"},
        {"90m", "2026-12-08 12:30:00"},
        {"7d", "2026-12-01 14:00:00"},
    };
    for (const auto &[text, local] : read)
        EXPECT_EQ(host::history_time(text, "--since", noon_utc), local) << text;
    for (const char *bad : {"", "2026-12-08Z", "2026-13-01", "2026-02-30", "2026-12-08T24:00",
                            "2026-12-08T14", "2026-12-08T14:00+24:00", "2026-12-08T14:00 ",
                            "26-12-08", "5w", "m", "-3h", "1969-12-31"})
        EXPECT_THROW(host::history_time(bad, "--since", noon_utc), ConfigError) << bad;
    if (zone)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// The refusal of a malformed request: what was expected, the names first, the raw form last.
bool names_the_raw_form(const std::string &error, const std::string &option,
                        const std::string &raw) {
    return error.rfind(option + ": expected ", 0) == 0 && error.size() >= raw.size() &&
           error.compare(error.size() - raw.size(), raw.size(), raw) == 0;
}

// One-shot requests are checked for their form before anything is polled, by the driver's own
// rule: what the host lets through, the driver takes; what the driver would drop with nothing
// sent, the host refuses with a message.
TEST(Config, OneShotRequestForms) {
    for (const char *set :
         {"{", "[]", R"({"signal_id": "4196A3201001"})", R"({"signal_id": 5, "SetValue": 1})",
          R"({"signal_id": "4196A3201001", "SetValue": "x"})"})
        EXPECT_EQ(command_line_error({"--set", set}).rfind("--set: expected", 0), 0u) << set;
    const auto set_value = [](const std::string &value) {
        return R"({"signal_id": "4196A3201001", "SetValue": )" + value + "}";
    };
    // A text is one complete decimal number, blanks around it allowed, or it is refused.
    for (const char *refused :
         {"\"0x20\"", "\"inf\"", "\"nan\"", "\"53.5 volts\"", "\"\"", "\"1e\"", "\"\\n53.5\""})
        EXPECT_TRUE(names_the_raw_form(command_line_error({"--set", set_value(refused)}), "--set",
                                       host::kSetRequestForm))
            << refused;
    for (const char *taken : {"\"53.5\"", "\" 53.5 \"", "\"5.35e1\"", "\"-1\"", "5.35e1", "-1"})
        EXPECT_EQ(command_line_error({"--set", set_value(taken)}), "accepted") << taken;

    for (const char *control : {"", "41950020", "419500200", "4195002000001", "419500200x",
                                "419500200256", "419500200+1", "419500200 1"})
        EXPECT_TRUE(names_the_raw_form(command_line_error({"--control", control}), "--control",
                                       host::kControlRequestForm))
            << control;
    EXPECT_EQ(command_line_error({"--get", ""}), "--get: expected a value name");
    EXPECT_EQ(command_line_error({"--set", set_value("\"54.1\""), "--control", "419500200003",
                                  "--control", "419500200255", "--get", "out_v"}),
              "--control: given twice");
}

// The broker's options: from the configuration file's "mqtt" object, each one overridden by its
// option on the command line; nonsense refused with the key that holds it.
TEST(Config, MqttOptions) {
    const std::string dir = ::testing::TempDir();
    const std::string path = dir + "/mqtt-config.json";
    {
        std::ofstream f(path);
        f << R"({"devices": [{"port": "sim:a"}, {"port": "sim:b", "data_id": 2}],
                 "mqtt": {"url": "mqtts://broker.example:8884", "ca": ")"
          << path << R"(",
                          "user": "site", "password_file": "/etc/pw", "prefix": "fleet/site-1",
                          "client_id": "site-1", "control": true, "backlog": 500,
                          "discovery": "hub/discovery", "values": true, "heartbeat": 60,
                          "full_state": true}})";
    }
    Options o = parse({"--config", path, "--mqtt-user", "other"});
    EXPECT_EQ(o.mqtt.url, "mqtts://broker.example:8884");
    EXPECT_EQ(o.mqtt.ca_file, path); // any readable file will do here
    // A missing authority or an empty file name is refused at start, not found at connect.
    EXPECT_EQ(command_line_error({"--mqtt", "mqtts://b", "--mqtt-ca", "/nonexistent/ca.pem"}),
              "--mqtt-ca: cannot read /nonexistent/ca.pem: No such file or directory");
    for (const char *option : {"--history", "--capture", "--plugin", "--config", "--mqtt-ca"})
        EXPECT_EQ(command_line_error({option, ""}),
                  std::string(option) + ": expected a file name, not an empty text");
    EXPECT_EQ(o.mqtt.user, "other");
    EXPECT_EQ(o.mqtt.password_file, "/etc/pw");
    EXPECT_EQ(o.mqtt.prefix, "fleet/site-1");
    EXPECT_EQ(o.mqtt.client_id, "site-1");
    EXPECT_TRUE(o.mqtt.control);
    EXPECT_EQ(o.mqtt.backlog, 500u);
    EXPECT_EQ(o.mqtt.discovery_prefix, "hub/discovery");
    EXPECT_TRUE(o.mqtt.values);
    EXPECT_EQ(o.mqtt.heartbeat, 60.0);
    EXPECT_TRUE(o.mqtt.full_state);
    EXPECT_EQ(parse({"--config", path, "--mqtt-heartbeat", "0.5"}).mqtt.heartbeat, 0.5);
    // Two simulated lines of their own: the same address on each is no clash.
    ASSERT_EQ(o.devices.size(), 2u);
    EXPECT_NE(o.devices[0].port, o.devices[1].port);

    o = parse({"--mqtt", "mqtt://127.0.0.1:1884", "--mqtt-control"});
    EXPECT_TRUE(o.mqtt.control);
    EXPECT_EQ(o.mqtt.discovery_prefix, "");
    // Discovery's prefix may be left out, before another option or at the end.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--mqtt", "mqtt://h", "--mqtt-discovery", "--mqtt-control"},
             {"--mqtt", "mqtt://h", "--mqtt-discovery"}}) {
        o = parse(args);
        EXPECT_EQ(o.mqtt.discovery_prefix, "homeassistant");
    }
    o = parse({"--mqtt-discovery", "hub", "--mqtt", "mqtt://h"});
    EXPECT_EQ(o.mqtt.discovery_prefix, "hub");
    EXPECT_EQ(parse({"--config", path, "--mqtt-discovery"}).mqtt.discovery_prefix, "homeassistant");
    EXPECT_EQ(host::parse_mqtt_url("mqtt://10.0.0.5").port, 1883);
    EXPECT_EQ(host::parse_mqtt_url("mqtts://broker").port, 8883);
    EXPECT_TRUE(host::parse_mqtt_url("mqtts://broker").tls);

    for (const char *url : {"broker:1883", "mqtt://", "mqtt://:1883", "mqtt://host:0",
                            "mqtt://host:65536", "mqtt://host:x", "http://host", "mqtt://a/b"})
        EXPECT_EQ(command_line_error({"--mqtt", url}).rfind("--mqtt: expected mqtt://", 0), 0u)
            << url;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--mqtt-user", "u"}, "--mqtt-*: only with --mqtt URL"},
        {{"--mqtt-control"}, "--mqtt-*: only with --mqtt URL"},
        {{"--mqtt", "mqtt://h", "--mqtt-ca", "ca.pem"}, "--mqtt-ca: only with an mqtts:// URL"},
        {{"--mqtt", "mqtt://h", "--mqtt-password-file", "pw"},
         "--mqtt-password-file: only with --mqtt-user"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "site/#"}, "--mqtt-prefix: expected topic"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "site/"}, "--mqtt-prefix: expected topic"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "a//b"}, "--mqtt-prefix: expected topic"},
        {{"--mqtt", "mqtt://h", "--mqtt-backlog", "0"}, "--mqtt-backlog: expected a whole"},
        {{"--mqtt", "mqtt://h", "--mqtt-discovery", "ha/+"}, "--mqtt-discovery: expected topic"},
        {{"--mqtt", "mqtt://h", "--mqtt-client-id", "site\xff"},
         "--mqtt-client-id: expected UTF-8 text without control characters"},
        {{"--mqtt-discovery"}, "--mqtt-*: only with --mqtt URL"},
        {{"--mqtt-values"}, "--mqtt-*: only with --mqtt URL"},
        {{"--mqtt-full-state"}, "--mqtt-*: only with --mqtt URL"},
        {{"--mqtt", "mqtt://h", "--mqtt-heartbeat", "-1"},
         "--mqtt-heartbeat: expected a number of seconds from 0 to 86400"},
        {{"mqtt-forget", "1"}, "mqtt-forget: expected mpx23-host mqtt-forget --config FILE"},
        {{"mqtt-forget", "--config", path}, "mqtt-forget: expected mpx23-host mqtt-forget"},
        {{"mqtt-forget", "--config", path, "1", "--history", "h.db"},
         "mqtt-forget: --history: not for this subcommand"},
    };
    for (const auto &[args, message] : refused)
        EXPECT_EQ(command_line_error(args).rfind(message, 0), 0u)
            << args[0] << "\n  gave: " << command_line_error(args);
    EXPECT_EQ(
        config_error(R"({"devices": [{"port": "sim"}], "mqtt": {"url": "mqtt://h", "qos": 2}})"),
        "config: mqtt.qos: unknown key");
    EXPECT_EQ(config_error(
                  R"({"devices": [{"port": "sim"}], "mqtt": {"url": "mqtt://h", "control": 1}})"),
              "config: mqtt.control: expected true or false");
    EXPECT_EQ(config_error(
                  R"({"devices": [{"port": "sim"}], "mqtt": {"url": "mqtt://h", "discovery": 1}})"),
              "config: mqtt.discovery: expected a text");
    o = parse({"mqtt-forget", "--config", path, "17"});
    EXPECT_EQ(o.mode, Options::Mode::MqttForget);
    EXPECT_EQ(*o.target, 17u);
    EXPECT_EQ(o.mqtt.prefix, "fleet/site-1");
    EXPECT_EQ(config_error(R"({"devices": [{"port": "sim"}], "mqtt": {"url": 5}})"),
              "config: mqtt.url: expected a text");
    EXPECT_EQ(host::parse_port("sim:line-2").kind, PortLocation::Kind::Sim);
}

} // namespace

#ifdef MPX23_HOST_SNMP
// The system's agent is joined at its own socket unless one is named; --agentx takes a value only
// when one follows it.
TEST(Config, SnmpAgentx) {
    auto agentx = [](const std::string &snmp) {
        std::optional<std::string> out;
        host::parse_config(json(R"({"devices": [{"port": "sim"}], "snmp": )" + snmp + "}"), nullptr,
                           nullptr, &out);
        return out ? "[" + *out + "]" : std::string("none");
    };
    EXPECT_EQ(agentx(R"({"agentx": true})"), "[]");
    EXPECT_EQ(agentx(R"({"agentx": "tcp:localhost:705"})"), "[tcp:localhost:705]");
    EXPECT_EQ(agentx(R"({"agentx": false})"), "none");
    EXPECT_EQ(config_error(R"({"devices": [{"port": "sim"}], "snmp": {"agentx": ""}})"),
              "config: snmp.agentx: expected true, false or the master agent's socket (a path or "
              "tcp:HOST:PORT)");
    EXPECT_EQ(config_error(R"({"devices": [{"port": "sim"}], "snmp": {"agent": true}})"),
              "config: snmp.agent: unknown key");
    EXPECT_EQ(parse({"--agentx"}).agentx, std::optional<std::string>(""));
    EXPECT_EQ(parse({"--agentx", "--quiet"}).agentx, std::optional<std::string>(""));
    EXPECT_EQ(parse({"--agentx", "/run/agentx"}).agentx, std::optional<std::string>("/run/agentx"));
    EXPECT_FALSE(parse({}).agentx);
}
#endif
