// A control command that the power system refuses (an error return) is reported as such, apart
// from one that is answered and one that goes unanswered.
#include "host/core/devices.h"
#include "host/tests/file_contents.h"
#include "host/tests/host_stack.h"
#include "host/tests/plugin_path.h"

#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

// One round against the built-in simulator, then the parameter setting `request`; returns the
// line that reports its outcome.
std::string set_outcome_line(const std::string &request, const char *fault) {
    static host::Plugin plugin(testing_host::plugin_path());
    FILE *out_file = std::tmpfile();
    FILE *log_file = std::tmpfile();
    host::Output out(out_file);
    host::Log log(log_file);
    host::DeviceConfig d;
    d.interval = 0.05;
    d.timeout = 0.5; // generous: a refusal or a silence is waited out, not raced
    d.sim = Json::Value(Json::objectValue);
    if (fault)
        d.sim["faults"].append(fault);
    {
        boost::asio::io_context io;
        HostStack stack(io, out, log, nullptr, {1, {}, request, {}}, false);
        host::Host &h = stack.core;
        h.add(d, host::make_device(plugin, d, std::make_shared<KVOController>()));
        run_to_its_end(io, h);
    }
    const std::string text = contents(out_file);
    std::fclose(out_file);
    std::fclose(log_file);
    const size_t at = text.find("device 1: set ");
    return at == std::string::npos ? text : text.substr(at, text.find('\n', at) - at);
}

TEST(ControlOutcome, ARefusalIsReportedApartFromNoAnswer) {
    NEEDS_PLUGIN();
    const std::string too_high = R"({"signal_id": "4196A3201001", "SetValue": 655.35})";
    const std::string plausible = R"({"signal_id": "4196A3201001", "SetValue": 54})";
    EXPECT_EQ(set_outcome_line(too_high, nullptr),
              "device 1: set " + too_high +
                  ": result 0, status -1 (refused by the device, RTN 0x06)");
    EXPECT_EQ(set_outcome_line(plausible, nullptr),
              "device 1: set " + plausible + ": result 0, status 1 (answered)");
    EXPECT_EQ(set_outcome_line(plausible, "silence:cmd=4249"),
              "device 1: set " + plausible + ": result 0, status -1 (not answered)");
    EXPECT_EQ(set_outcome_line(plausible, "rtn:code=0x80:cmd=4249"),
              "device 1: set " + plausible +
                  ": result 0, status -1 (refused by the device, RTN 0x80)");
}

} // namespace
