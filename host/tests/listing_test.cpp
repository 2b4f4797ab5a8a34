// `mpx23-host list` against the driver: its parameters and controls are the driver's own tables,
// its alarms the ones the loaded plug-in reports in a few rounds against the simulator, and each
// value of the driver's is one the plug-in answers.
#include "host/core/devices.h"
#include "host/core/host.h"
#include "host/program/listing.h"
#include "host/tests/host_stack.h"
#include "host/tests/json_reading.h"
#include "host/tests/plugin_path.h"
#include "protocol/identifiers.h"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// Every alarm the driver checks, whatever its state: the host's alarm service told each time.
class AlarmCollectingHost : public host::Host {
public:
    using host::Host::Host;
    bool CheckThresholdBool(KVOVDevice &device, int setting, const std::string &id,
                            const std::string &id2, const std::string &detail,
                            const std::string &text, bool active, unsigned short flag) override {
        reported.insert(id);
        return Host::CheckThresholdBool(device, setting, id, id2, detail, text, active, flag);
    }
    std::set<std::string> reported;
};

// After its first round the driver has entered every alarm it knows in the device's settings
// (as off): each is switched on for the rounds that follow.
struct EnableEveryAlarm : host::Observer {
    explicit EnableEveryAlarm(KVOVDevice &device) : device(device) {}
    void round_completed(const host::RoundCompleted &) override {
        for (auto &setting : device.alarm_settings)
            setting.second = 1;
    }
    KVOVDevice &device;
};

std::set<std::string> listed(const Json::Value &rows, const char *key) {
    std::set<std::string> out;
    for (const auto &row : rows)
        out.insert(row[key].asString());
    return out;
}

template <size_t N> std::set<std::string> ids(const protocol::IdentifiedCode (&table)[N]) {
    std::set<std::string> out;
    for (const auto &entry : table)
        out.insert(entry.id);
    return out;
}

TEST(Names, TheListAgreesWithTheDriversTablesAndReports) {
    NEEDS_PLUGIN();
    const Json::Value list = testing_host::parsed(host::listing_json());
    EXPECT_EQ(listed(list["parameters"], "signal_id"), ids(protocol::kParameterIds));
    EXPECT_EQ(listed(list["controls"], "command_id"), ids(protocol::kControlIds));

    host::Plugin plugin(testing_host::plugin_path());
    FILE *log_file = std::tmpfile();
    host::Log log(log_file);
    host::DeviceConfig d;
    d.interval = 0.05;
    auto device = host::make_device(plugin, d, std::make_shared<KVOController>());
    boost::asio::io_context io;
    host::Events events;
    EnableEveryAlarm enable(*device);
    events.listen(enable);
    AlarmCollectingHost h(io, log, events, {3, {}, {}, {}});
    h.add(d, device);
    run_to_its_end(io, h);
    std::fclose(log_file);
    ASSERT_FALSE(h.reported.empty());
    EXPECT_EQ(listed(list["alarms"], "signal_id"), h.reported);

    for (const auto &value : list["values"]) {
        if (value["source"] != "driver")
            continue;
        const std::string name = value["name"].asString();
        EXPECT_NO_THROW(device->Get_Value(0, name)) << name;
    }
}

} // namespace
