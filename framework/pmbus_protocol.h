// The host's protocol engine for the serial power-system protocol: frames and sends commands,
// receives and checks replies, and hands every accepted reply to the driver's process_payload
// with rx_frame pointing at it:
//
//   rx_frame[0]     VER
//   rx_frame[1]     ADR
//   rx_frame[2]     CID1 of the replying group
//   rx_frame[3]     RTN (always 0: other replies never reach the driver)
//   rx_frame[4..5]  LENID, low byte first, without the LCHKSUM nibble
//   rx_frame[6..]   INFO, LENID / 2 bytes
#pragma once

#include "kvo_api.h"
#include "vdevice.h"

#include <cstdint>
#include <memory>
#include <string>

// Why the engine dropped a frame. Every kind is counted separately.
enum class FrameFault : uint8_t {
    Character,      // a character that is neither a hex digit nor an allowed blank pair
    Length,         // character count does not match LENID (or LENID is odd)
    LengthChecksum, // the four nibbles of LENGTH do not sum to 0 modulo 16
    Checksum,       // ASCII sum plus CHKSUM is not 0 modulo 65536
    Echo,           // the adapter's echo of the command just sent
    Address,        // a reply from another address
    ReturnCode,     // RTN other than 0x00
    Overflow,       // no EOI before the largest legal frame was exceeded
    Cut,            // a new SOI arrived before the frame's EOI
};
constexpr int kFrameFaultKinds = 9;

class KVO_API PMBusProtocol : public KVOSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Settings keys (all optional):
    //   "address"          device address, integer 1..254 (default 1)
    //   "protocol_version" VER sent with every command, integer 0..255 or a hex text such
    //                      as "0x21" (default 0x20)
    // Returns 1, or 0 with setting_error() naming the offending key; nothing changes then.
    int InitSetting(const Json::Value &settings) override;
    int process(unsigned char *data, unsigned len) override;

    // slot 31: called for every accepted reply; returns 0 when the exchange is over.
    virtual int process_payload() = 0;
    // slot 32: called for every dropped frame, last_fault() telling why.
    virtual void process_error();

    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char *info, int len);

    unsigned fault_count(FrameFault fault) const;
    unsigned frames_accepted() const;
    FrameFault last_fault() const;
    // RTN of a reply that refused the last command sent (RTN other than 0x00 from the
    // configured address); -1 while no such reply has arrived since that command.
    int refusal() const;
    const std::string &setting_error() const;
    uint8_t address() const;
    uint8_t version() const;

    int32_t poll_state = 0;
    unsigned char *rx_frame = nullptr;
    uint8_t frame_option = 0;

private:
    struct Link;
    std::unique_ptr<Link> link;
};
