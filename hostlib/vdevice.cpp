// Out-of-line bodies of the host's device classes: each forwards to the installed host
// services, so that a host program or a test decides what a service does.
#include "framework/vdevice.h"
#include "hostlib/host_services.h"

#include <cstring>

using kvo::services;

KVOVDevice::KVOVDevice() = default;
KVOVDevice::~KVOVDevice() = default;

int KVOVDevice::DeviceIoControl(int, const void *, int, void *, int, int &out_used) {
    out_used = 0;
    return -1;
}

int KVOVDevice::InitV(KVOVDevice *parent_device, unsigned id, const Json::Value &settings) {
    parent = parent_device;
    data_id = id;
    return InitSetting(settings);
}

int KVOVDevice::Init(std::weak_ptr<KVOController> owner, unsigned id, const Json::Value &settings) {
    controller = std::move(owner);
    data_id = id;
    return InitSetting(settings);
}

int KVOVDevice::InitSetting(const Json::Value &) {
    return 1;
}

bool KVOVDevice::IsSupportDevice(const std::string &type) const {
    return type == device_type;
}

int KVOVDevice::SendSP(int type_code, const unsigned char *data, unsigned len, bool flag) {
    return services().SendSP(*this, type_code, data, len, flag);
}

int KVOVDevice::SendDelayData(int) {
    return 0;
}
int KVOVDevice::SendDoData(int, char) {
    return 0;
}
int KVOVDevice::ReadDi(int) {
    return 0;
}
float KVOVDevice::ReadAi(int) {
    return 0.0f;
}
float KVOVDevice::Get_SP_Value(unsigned index, const std::string &name) {
    return Get_Value(index, name);
}
int KVOVDevice::RefreshStatus() {
    return 1;
}

bool KVOVDevice::CheckAOReport(const std::string &name, float value) {
    return services().CheckAOReport(*this, name, value);
}

bool KVOVDevice::CheckThreshold(const std::string &name, const std::string &text, float &value,
                                int flag) {
    return services().CheckThreshold(*this, name, text, value, flag);
}

bool KVOVDevice::CheckThresholdBool(int setting, const std::string &signal_id,
                                    const std::string &signal_id2, const std::string &detail,
                                    const std::string &text, bool active, unsigned short flag) {
    return services().CheckThresholdBool(*this, setting, signal_id, signal_id2, detail, text,
                                         active, flag);
}

bool KVOVDevice::DoBatchCheckThreshold(std::vector<rule_value> &rules) {
    return services().DoBatchCheckThreshold(*this, rules);
}

bool KVOVDevice::SaveDeviceHistory(const unsigned char *data, unsigned len) {
    return services().SaveDeviceHistory(*this, data, len);
}

void KVOVDevice::InfoLog(const char *format, unsigned value) {
    if (auto owner = controller.lock())
        owner->InfoLog(format, value);
    std::string line = format ? format : "";
    auto mark = line.find("{}");
    if (mark != std::string::npos)
        line.replace(mark, 2, std::to_string(value));
    services().InfoLog(*this, line);
}

KVOSPDevice::KVOSPDevice() = default;
KVOSPDevice::~KVOSPDevice() = default;

void KVOSPDevice::Reset() {
    services().Reset(*this);
}

int KVOSPDevice::Init(std::weak_ptr<KVOController> owner, unsigned id,
                      const Json::Value &settings) {
    return KVOVDevice::Init(std::move(owner), id, settings);
}

int KVOSPDevice::RefreshStatus() {
    return services().RefreshStatus(*this);
}
int KVOSPDevice::process(unsigned char *, unsigned) {
    return 0;
}
bool KVOSPDevice::IsProcessing() {
    return false;
}
bool KVOSPDevice::IsStalled() {
    return false;
}

int KVOSPDevice::SendData(const unsigned char *data, unsigned len) {
    return services().SendData(*this, data, len);
}

int KVOSPDevice::SendParityData(const unsigned char *data, unsigned len, EnumParity) {
    return SendData(data, len);
}

int KVOSPDevice::OpenPort() {
    return services().OpenPort(*this);
}
int KVOSPDevice::ClosePort() {
    return 0;
}

ttime get_ttime(const boost::posix_time::ptime &local_time) {
    ttime record{};
    if (local_time.is_special())
        return record;
    const auto date = local_time.date();
    const auto tod = local_time.time_of_day();
    const uint16_t year = static_cast<uint16_t>(date.year());
    std::memcpy(record.bytes, &year, sizeof year);
    record.bytes[2] = static_cast<unsigned char>(date.month().as_number());
    record.bytes[3] = static_cast<unsigned char>(date.day());
    record.bytes[4] = static_cast<unsigned char>(tod.hours());
    record.bytes[5] = static_cast<unsigned char>(tod.minutes());
    record.bytes[6] = static_cast<unsigned char>(tod.seconds());
    return record;
}
