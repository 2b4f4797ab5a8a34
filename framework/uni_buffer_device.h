// Base of a driver that polls through a protocol engine and publishes every polling round as
// one block of bytes (the device data block). Carried by the plug-in itself.
#pragma once

#include "vdevice.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

template <class Engine, int TypeCode> class UniBufferDevice : public Engine {
protected:
    // The base's own members come first, in this order; this implementation's additions follow.
    int32_t record_len = 0;                                 // length of the device data block
    std::shared_ptr<std::vector<unsigned char>> record_buf; // the block; none until created

public:
    using SteadyClock = std::chrono::steady_clock;
    using VDeviceInterface::LoadFromCache;

    UniBufferDevice() = default;
    ~UniBufferDevice() override = default;

    // Takes a block the host kept (for example from an earlier run) as the current block.
    // The bytes are not decoded. A negative length, or no bytes behind a positive length,
    // leaves the device as it is and returns 0.
    int LoadFromCache(const unsigned char *data, int len) override {
        if (len < 0 || (data == nullptr && len > 0))
            return 0;
        if (!record_buf || len != record_len)
            replace_block(len);
        if (len > 0)
            std::memcpy(record_buf->data(), data, static_cast<size_t>(len));
        this->data_ready = 1;
        stamp_update();
        return 1;
    }

    // Ends a polling round: marks the data ready, runs the derived class's end-of-round work
    // (which refreshes the block), checks the host's analogue values, then publishes the block,
    // resets the serial device, runs the batch check and stores the block as history. Without
    // a block there is nothing to publish or store; the other steps still run.
    void RoundDone() override {
        if (this->data_ready != 1)
            this->data_ready = 1;
        round_completed = true;
        this->comm_status = 1;
        this->report_pending = false;
        RunCheckThreshold();
        check_analogue_values();
        stamp_update();
        if (record_buf)
            this->SendSP(TypeCode, record_buf->data(), static_cast<unsigned>(record_len), false);
        this->Reset();
        if (this->DoBatchCheckThreshold(this->pending_rules))
            this->report_pending = true;
        if (record_buf)
            this->SaveDeviceHistory(record_buf->data(), static_cast<unsigned>(record_len));
        this->pending_rules.clear();
    }

    int InitSetting(const Json::Value &settings) override { return Engine::InitSetting(settings); }

    // The last slot: end-of-round threshold work of the derived class.
    virtual void RunCheckThreshold() {}

    // Clock of the data's age: monotonic, so that setting the wall clock does not make stale
    // data fresh or fresh data stale. Replaceable for tests.
    SteadyClock::time_point (*steady_now)() = &SteadyClock::now;

protected:
    // Replaces the block by a zero-filled one of `len` bytes.
    void replace_block(int len) {
        record_len = len;
        record_buf = std::make_shared<std::vector<unsigned char>>(static_cast<size_t>(len), 0);
    }

    bool has_completed_round() const { return round_completed; }
    SteadyClock::time_point update_stamp() const { return update_steady; }

private:
    void stamp_update() {
        this->last_update = boost::posix_time::second_clock::local_time();
        update_steady = steady_now();
    }

    void check_analogue_values() {
        for (const auto &name : this->ao_names) {
            auto found = this->ao_values.find(name);
            if (found == this->ao_values.end())
                continue;
            if (this->CheckAOReport(name, found->second))
                this->report_pending = true;
            this->CheckThreshold(name, "", found->second, 1);
        }
    }

    bool round_completed = false; // this object has finished a polling round
    SteadyClock::time_point update_steady{};
};
