// The host's device framework as the driver sees it: VDeviceInterface -> KVOVDevice ->
// KVOSPDevice. The order in which the virtual operations are declared below is the binary
// contract with the closed host: every slot of the table of virtual operations must stay where
// it is (framework/tests/abi_test.cpp checks each slot index). Bodies written here are the ones
// the plug-in carries itself; everything else is the host's and stays undefined in the plug-in.
#pragma once

#include "host_records.h"
#include "kvo_api.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class KVOVDevice;

enum EnumParity { ParityNone = 0, ParityOdd, ParityEven, ParityMark, ParitySpace };

class KVO_API VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface &) = delete;
    VDeviceInterface &operator=(const VDeviceInterface &) = delete;

    // slot 0
    virtual float Get_Value(unsigned /*index*/, const std::string & /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    // slot 1
    virtual int LoadFromCache(const std::string &block) {
        return LoadFromCache(reinterpret_cast<const unsigned char *>(block.data()),
                             static_cast<int>(block.size()));
    }
    // slot 2
    virtual int LoadFromCache(const unsigned char * /*data*/, int /*len*/) { return 0; }
    // slot 3
    virtual unsigned DataId() const { return data_id; }
    // slot 4
    virtual const std::string &DeviceType() const { return device_type; }
    // slot 5
    virtual int DeviceIoControl(int code, const void *in, int in_len, void *out, int out_len,
                                int &out_used) = 0;
    // slot 6
    virtual void RoundDone() {}
    // slot 7
    virtual bool UseControllerDb() { return use_controller_db; }
    // slots 8 and 9 (complete and deleting destructor)
    virtual ~VDeviceInterface() = default;
    // slot 10
    virtual void Reset() = 0;

    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;
};

class KVO_API KVOVDevice : public VDeviceInterface {
public:
    KVOVDevice();
    ~KVOVDevice() override;

    int DeviceIoControl(int code, const void *in, int in_len, void *out, int out_len,
                        int &out_used) override;

    // slot 11
    virtual int InitV(KVOVDevice *parent, unsigned data_id, const Json::Value &settings);
    // slot 12
    virtual int Init(std::weak_ptr<KVOController> controller, unsigned data_id,
                     const Json::Value &settings);
    // slot 13
    virtual int InitSetting(const Json::Value &settings);
    // slot 14
    virtual bool IsSupportDevice(const std::string &type) const;
    // slot 15
    virtual std::shared_ptr<KVOVDevice> GetChildVDevice(unsigned /*index*/) { return {}; }
    // slot 16
    virtual std::vector<std::shared_ptr<KVOVDevice>> GetAllChildVDevices() { return {}; }
    // slot 17
    virtual int SendSP(int type_code, const unsigned char *data, unsigned len, bool flag);
    // slot 18
    virtual int SendDelayData(int delay);
    // slot 19
    virtual int SendDoData(int channel, char value);
    // slot 20
    virtual int ReadDi(int channel);
    // slot 21
    virtual float ReadAi(int channel);
    // slot 22
    virtual float Get_SP_Value(unsigned index, const std::string &name);
    // slot 23
    virtual int RefreshStatus();

    // Host services (not virtual).
    bool CheckAOReport(const std::string &name, float value);
    bool CheckThreshold(const std::string &name, const std::string &text, float &value, int flag);
    bool CheckThresholdBool(int setting, const std::string &signal_id,
                            const std::string &signal_id2, const std::string &detail,
                            const std::string &text, bool active, unsigned short flag);
    bool DoBatchCheckThreshold(std::vector<rule_value> &rules);
    bool SaveDeviceHistory(const unsigned char *data, unsigned len);
    // Logs `format` with its one "{}" replaced by `value`.
    void InfoLog(const char *format, unsigned value);

    std::weak_ptr<KVOController> controller;
    KVOVDevice *parent = nullptr;
    std::map<std::string, int> alarm_settings;
    std::map<std::string, float> alarm_thresholds;
    uint8_t data_ready = 0;
    boost::posix_time::ptime last_update;
    uint16_t comm_status = 0;
    bool report_pending = false;
    std::vector<std::string> ao_names;
    std::map<std::string, float> ao_values;
    std::vector<rule_value> pending_rules;
};

class KVO_API KVOSPDevice : public KVOVDevice {
public:
    KVOSPDevice();
    ~KVOSPDevice() override;

    void Reset() override;
    int Init(std::weak_ptr<KVOController> controller, unsigned data_id,
             const Json::Value &settings) override;
    int RefreshStatus() override;

    // slot 24
    virtual int process(unsigned char *data, unsigned len);
    // slot 25
    virtual bool IsProcessing();
    // slot 26
    virtual bool IsStalled();
    // slot 27
    virtual int SendData(const unsigned char *data, unsigned len);
    // slot 28
    virtual int SendParityData(const unsigned char *data, unsigned len, EnumParity parity);
    // slot 29
    virtual int OpenPort();
    // slot 30
    virtual int ClosePort();

    int32_t baud_rate = 9600;
    uint8_t link_option = 0;
};
