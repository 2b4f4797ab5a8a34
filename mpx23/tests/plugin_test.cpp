// The built plug-in loaded the way the host loads it.
#include "plugin/mpx23_provider.h"
#include "tests/abi_slots.h"
#include "tests/driver_fixture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <typeinfo>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct PluginTest : ::testing::Test {
    void SetUp() override {
        handle = dlopen(MPX23_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        get_providers = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
        ASSERT_NE(get_providers, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle)
            dlclose(handle);
    }
    void *handle = nullptr;
    GetProviders get_providers = nullptr;
};

TEST_F(PluginTest, ProvidersCreateIndependentPollingDevices) {
    testing_host::RecordingHost host;
    auto providers = get_providers();
    ASSERT_EQ(providers.size(), 1u);
    const Provider &provider = *providers[0];
    EXPECT_STREQ(typeid(provider).name(), typeid(MPX23Provider).name());
    EXPECT_NE(get_providers()[0].get(), providers[0].get());

    auto *factory = dynamic_cast<KVOSPDeviceProvider *>(providers[0].get());
    ASSERT_NE(factory, nullptr);
    std::unique_ptr<KVOVDevice> a(factory->create());
    std::unique_ptr<KVOVDevice> b(factory->create());
    ASSERT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "mpx23");
    EXPECT_THROW(a->Get_Value(0, "out_v"), std::out_of_range);

    // Through the host's classes only: a polling round starts with the parameter query.
    auto *device = dynamic_cast<PMBusProtocol *>(a.get());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->baud_rate, 9600);
    EXPECT_EQ(device->RefreshStatus(), 1);
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].wire, "~200142470000FDAC\r");
    CaptureStdout();
    int used = 0;
    int32_t answer = 0;
    EXPECT_EQ(a->DeviceIoControl(301, nullptr, 0, &answer, 4, used), 0);
    EXPECT_EQ(GetCapturedStdout(), "MPX23 DeviceIoControl code:301\n");
    EXPECT_EQ(answer, -1);

    providers.clear(); // devices outlive their provider
    EXPECT_EQ(b->DeviceType(), "mpx23");
}

TEST_F(PluginTest, LoadedDriverCompletesARoundThroughTheHostClasses) {
    testing_host::RecordingHost host;
    auto providers = get_providers();
    auto *factory = dynamic_cast<KVOSPDeviceProvider *>(providers[0].get());
    ASSERT_NE(factory, nullptr);
    std::unique_ptr<KVOVDevice> device(factory->create());
    auto *engine = dynamic_cast<PMBusProtocol *>(device.get());
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->Init({}, 4242, Json::Value(Json::objectValue)), 1);

    auto reply = [&](uint8_t cid1, const Bytes &info) {
        auto wire = frames::bytes(frames::reply(cid1, info));
        engine->process(wire.data(), static_cast<unsigned>(wire.size()));
    };
    const auto lines = std::vector<body::AcLine>(2);
    const auto modules = std::vector<body::Module>(3);
    CaptureStdout();
    engine->RefreshStatus();
    reply(0x42, Bytes{0, 1, 0, 0, 0, 0, 0, 0, 2, 0x14, 0xE6, 0x16, 0x08, 0, 0, 0, 0, 0});
    reply(0x40, cat({0, 1}, body::ac_analogue(lines)));
    reply(0x40, cat({0, 1}, body::ac_status({0, 0})));
    reply(0x40, cat({0, 1}, body::ac_alarms(2)));
    reply(0x41, body::rc_analogue(0, 5300, modules));
    reply(0x41, body::rc_status(3));
    reply(0x41, body::rc_alarms(3));
    reply(0x42, cat({0, 1}, body::dc_analogue()));
    reply(0x42, cat({0, 1}, body::dc_alarms()));
    GetCapturedStdout();

    EXPECT_EQ(host.sent.size(), 9u);
    const auto *published = host.last("SendSP");
    ASSERT_NE(published, nullptr);
    ASSERT_EQ(published->bytes.size(), 381u);
    uint32_t data_id = 0;
    std::memcpy(&data_id, published->bytes.data() + 183, sizeof data_id);
    EXPECT_EQ(data_id, 4242u);
    EXPECT_EQ(device->Get_Value(0, "out_v"), 53.0f);
}

TEST(Abi, DriverSlotsFollowTheHostTable) {
    expect_device_slots<MPX23>();
}

} // namespace
