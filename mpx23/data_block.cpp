// The device data block: the byte image of the whole telemetry store, published and stored by
// the host after every round.
//
//   0              rcData (45)
//   45             R x mpx23_rc_channel (19 each)
//   45 + 19R       acData (37)
//   82 + 19R       A x mpx23_ac_channel (22 each)
//   82 + 19R + 22A dcData (194)
//   276 + ...      param47_a (2), param47_b (2), host byte order
#include "mpx23/mpx23.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstring>

namespace {

// Appends byte runs to a block and never writes past its end.
class BlockWriter {
public:
    explicit BlockWriter(std::vector<unsigned char> &block) : block(block) {}
    void put(const void *bytes, size_t n) {
        if (n == 0 || block.size() - at < n)
            return;
        std::memcpy(block.data() + at, bytes, n);
        at += n;
    }

private:
    std::vector<unsigned char> &block;
    size_t at = 0;
};

} // namespace

void MPX23::refresh_block() {
    const int length = static_cast<int>(280 + sizeof(mpx23_rc_channel) * rc_channels.size() +
                                        sizeof(mpx23_ac_channel) * ac_channels.size());
    // A block of another length (a cached image, or lists re-sized by the power system) is
    // replaced rather than overrun.
    if (!record_buf || record_len != length)
        replace_block(length);

    // Stamped at every refresh, so that blocks after a cache load carry the device's identifier.
    acData.data_id = data_id;
    rcData.data_id = data_id;
    dcData.data_id = data_id;

    const ttime stamp = get_ttime(boost::posix_time::second_clock::local_time());
    std::memcpy(dcData.time, stamp.bytes, sizeof stamp.bytes);
    std::memcpy(acData.time, dcData.time, sizeof dcData.time);
    std::memcpy(rcData.time, acData.time, sizeof acData.time);

    BlockWriter out(*record_buf);
    out.put(&rcData, sizeof rcData);
    out.put(rc_channels.data(), sizeof(mpx23_rc_channel) * rc_channels.size());
    out.put(&acData, sizeof acData);
    out.put(ac_channels.data(), sizeof(mpx23_ac_channel) * ac_channels.size());
    out.put(&dcData, sizeof dcData);
    out.put(&param47_a, sizeof param47_a);
    out.put(&param47_b, sizeof param47_b);
}
