// The table of virtual operations is the binary contract with the closed host: each operation
// must sit in its slot. Checked on the buffered device base here and on the driver in
// mpx23/tests/plugin_test.cpp.
#include "tests/abi_slots.h"
#include "tests/probe_device.h"

TEST(Abi, BufferedDeviceSlotsFollowTheHostTable) {
    expect_device_slots<ProbeDevice>();
}
