// The host's objects as its SNMP subagent serves them (MPX23-MIB.txt beside this file), and the
// notifications it sends: built from the site state and the events, without the agent library,
// so that what a walk returns is the same value /metrics and the state document show.
//
// Every reading is a scaled integer (hundredths or tenths of its unit): a reading that is not a
// number, or does not fit, has no instance at all rather than a wrong one.
#pragma once

#include "host/common/events.h"
#include "host/state/site_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

using Oid = std::vector<uint32_t>;

// The module's root: the enterprise number is named here and nowhere else in the code.
extern const Oid kMpx23Mib;
// The subtree the subagent registers (the objects) and the one its notifications are under.
Oid mpx23_objects();
Oid mpx23_notification(uint32_t number);

struct SnmpValue {
    enum class Type { Integer, Unsigned, Gauge, Counter, TimeTicks, Text };
    Type type = Type::Integer;
    int64_t number = 0;
    std::string text;
};

// One instance: the object's OID and its index after it.
struct SnmpObject {
    Oid oid;
    size_t object_length = 0; // oid[0, object_length) is the object the MIB defines
    SnmpValue value;
};

// What the configuration says of a plant, which the site state does not keep.
struct SnmpPlant {
    uint32_t data_id = 0;
    std::string port;
    unsigned address = 1;
};

struct SnmpHost {
    std::string version;
    std::vector<SnmpPlant> plants;
};

// Every instance the subagent serves, in OID order; the uptime's TimeTicks is the agent's to
// read when asked.
std::vector<SnmpObject> snmp_objects(const SiteState &site, const SnmpHost &host);

// A notification: its OID and its varbinds, in the MIB's order.
struct SnmpNotification {
    Oid trap;
    std::vector<SnmpObject> varbinds;
};

SnmpNotification alarm_notification(const AlarmRecord &alarm);
SnmpNotification communication_notification(const CommunicationChanged &change);
SnmpNotification plant_changed_notification(const PlantChanged &change);

// `text` as an octet string of the MIB's UTF-8 convention: at most 255 bytes, cut before a
// character that does not fit, with every byte that is not UTF-8 replaced.
std::string snmp_utf8(const std::string &text);

} // namespace host
