#include "host/snmp/snmp_agent.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <utility>

// The library's headers last (they define macros of their own), in the order it asks for: its
// configuration, the library, its agent.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>

namespace host {
namespace {

constexpr const char *kAppName = "mpx23-host";
// snmpTrapOID.0, the first varbind of every notification.
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

SnmpAgent *the_agent = nullptr; // the library's state is global: so is its one agent

std::vector<oid> library_oid(const Oid &arcs) {
    return std::vector<oid>(arcs.begin(), arcs.end());
}

Oid our_oid(const oid *name, size_t length) {
    Oid arcs;
    arcs.reserve(length);
    for (size_t i = 0; i < length; ++i)
        arcs.push_back(static_cast<uint32_t>(std::min<oid>(name[i], UINT32_MAX)));
    return arcs;
}

void set_value(netsnmp_variable_list *vb, const SnmpValue &value, int64_t uptime) {
    using Type = SnmpValue::Type;
    if (value.type == Type::Text) {
        snmp_set_var_typed_value(vb, ASN_OCTET_STR,
                                 reinterpret_cast<const u_char *>(value.text.data()),
                                 value.text.size());
        return;
    }
    if (value.type == Type::Integer) {
        const long n = static_cast<long>(value.number);
        snmp_set_var_typed_value(vb, ASN_INTEGER, reinterpret_cast<const u_char *>(&n), sizeof n);
        return;
    }
    const u_char type = value.type == Type::Counter     ? ASN_COUNTER
                        : value.type == Type::TimeTicks ? ASN_TIMETICKS
                        : value.type == Type::Gauge     ? ASN_GAUGE
                                                        : ASN_UNSIGNED;
    const u_long n = static_cast<u_long>(value.type == Type::TimeTicks ? uptime : value.number);
    snmp_set_var_typed_value(vb, type, reinterpret_cast<const u_char *>(&n), sizeof n);
}

int answer_requests(netsnmp_mib_handler *, netsnmp_handler_registration *,
                    netsnmp_agent_request_info *info, netsnmp_request_info *requests) {
    const bool next = info->mode == MODE_GETNEXT;
    if (!the_agent || (info->mode != MODE_GET && !next))
        return SNMP_ERR_NOERROR;
    for (netsnmp_request_info *r = requests; r; r = r->next) {
        if (r->processed)
            continue;
        netsnmp_variable_list *vb = r->requestvb;
        const SnmpObject *found = the_agent->find(our_oid(vb->name, vb->name_length), next);
        if (!found) {
            // A next past the subtree's end is left unanswered: the agent goes on to the next
            // subtree.
            if (!next)
                netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
            continue;
        }
        if (next) {
            const std::vector<oid> name = library_oid(found->oid);
            snmp_set_var_objid(vb, name.data(), name.size());
        }
        set_value(vb, found->value, the_agent->uptime_ticks());
    }
    return SNMP_ERR_NOERROR;
}

int session_started(int, int, void *, void *) {
    if (the_agent)
        the_agent->session_started();
    return SNMPERR_SUCCESS;
}

int session_stopped(int, int, void *, void *) {
    if (the_agent)
        the_agent->session_stopped();
    return SNMPERR_SUCCESS;
}

int library_logged(int, int, void *message, void *) {
    const auto *m = static_cast<const snmp_log_message *>(message);
    if (the_agent && m && m->msg)
        the_agent->library_said(m->priority, m->msg);
    return SNMPERR_SUCCESS;
}

// What the library is told before it starts: a subagent of `socket`; no configuration files, no
// state written to disk (the controller's flash), no signal for its alarms (the loop runs them),
// its messages to the host's log.
void configure_library(const std::string &socket) {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    if (!socket.empty())
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    // The subagent serves numbers: the machine's MIB files would cost start-up time and memory,
    // and their index a write to disk, for nothing.
    setenv("MIBS", "", 1);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "");
    snmp_disable_log();
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_ERR);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, library_logged, nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, session_started,
                           nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, session_stopped,
                           nullptr);
}

// The library's one interval serves two ends: how often it tries to join its master while it is
// away, and how often it pings the master once joined. A ping waits for its answer with no
// time-out, so a master that hangs (stopped, not gone) would hold the loop for as long as it
// hangs. The host wants the tries and not the pings: a master that goes away closes its socket,
// which the loop sees at once. So the interval is set to a year while a session starts, which is
// when the library registers its pings, and back to the tries' once it has.
constexpr int kNoPing = 365 * 24 * 3600;

void retry_interval(int seconds) {
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, seconds);
}

void register_objects() {
    const std::vector<oid> root = library_oid(mpx23_objects());
    netsnmp_handler_registration *registration = netsnmp_create_handler_registration(
        "mpx23", answer_requests, root.data(), root.size(), HANDLER_CAN_RONLY);
    if (!registration || netsnmp_register_handler(registration) != MIB_REGISTERED_OK)
        throw std::runtime_error("snmp: cannot register the host's objects");
}

} // namespace

SnmpAgent::SnmpAgent(boost::asio::io_context &io, Log &log, const SiteState &site, SnmpHost host,
                     const std::string &socket)
    : io(io), log(log), site(site), host(std::move(host)),
      where(socket.empty() ? std::string(NETSNMP_AGENTX_SOCKET) : socket), timer(io) {
    if (the_agent)
        throw std::logic_error("snmp: one agent per process");
    the_agent = this;
    configure_library(socket);
    init_agent(kAppName);
    register_objects();
    retry_interval(kRetrySeconds); // after init_agent, which sets its own
    init_snmp(kAppName);           // the first try to join the master
    retry_interval(kRetrySeconds);
    if (!in_session) {
        log.line("snmp: no master agent at " + where + ": trying again every " +
                 std::to_string(kRetrySeconds) + " s; polling goes on");
        told_away = true;
    }
    watch();
}

SnmpAgent::~SnmpAgent() {
    timer.cancel();
    forget_sockets();
    snmp_shutdown(kAppName);
    shutdown_agent();
    the_agent = nullptr;
}

void SnmpAgent::session_started() {
    in_session = true;
    sessions_changed = true;
    retry_interval(kNoPing);
    if (!told_away) {
        log.line("snmp: joined the master agent at " + where);
        return;
    }
    told_away = false;
    std::string line = "snmp: master agent at " + where + " re-established";
    if (unsent)
        line +=
            "; " + std::to_string(unsent) + " notifications could not be sent while it was away";
    unsent = 0;
    log.line(line);
}

void SnmpAgent::session_stopped() {
    in_session = false;
    sessions_changed = true;
    if (told_away)
        return;
    told_away = true;
    log.line("snmp: lost the master agent at " + where + ": trying again every " +
             std::to_string(kRetrySeconds) + " s; polling goes on");
}

void SnmpAgent::library_said(int priority, const std::string &text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    log.limited("snmp-library-" + std::to_string(priority), "snmp: " + line);
}

const SnmpObject *SnmpAgent::find(const Oid &name, bool next) {
    if (stale) {
        snapshot = snmp_objects(site, host);
        stale = false;
    }
    auto at = std::lower_bound(snapshot.begin(), snapshot.end(), name,
                               [](const SnmpObject &o, const Oid &key) { return o.oid < key; });
    if (next && at != snapshot.end() && at->oid == name)
        ++at;
    if (at == snapshot.end() || (!next && at->oid != name))
        return nullptr;
    return &*at;
}

int64_t SnmpAgent::uptime_ticks() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - started).count() / 10 % (1ll << 32);
}

void SnmpAgent::alarm_changed(const AlarmRecord &alarm) {
    stale = true;
    send(alarm_notification(alarm));
}

void SnmpAgent::communication_changed(const CommunicationChanged &change) {
    stale = true;
    send(communication_notification(change));
}

void SnmpAgent::plant_changed(const PlantChanged &change) {
    send(plant_changed_notification(change));
}

void SnmpAgent::send(const SnmpNotification &notification) {
    if (!in_session) {
        ++unsent;
        return;
    }
    netsnmp_variable_list *vars = nullptr;
    const std::vector<oid> trap = library_oid(notification.trap);
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char *>(trap.data()),
                              trap.size() * sizeof(oid));
    for (const SnmpObject &o : notification.varbinds) {
        const std::vector<oid> name = library_oid(o.oid);
        netsnmp_variable_list *vb =
            snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
        if (vb)
            set_value(vb, o.value, uptime_ticks());
    }
    send_v2trap(vars);
    snmp_free_varbind(vars);
    watch(); // a notification can leave the library with something to wait for
}

// Whatever is ready: requests read and answered, time-outs and the library's alarms run (the
// ping, the next try to join).
void SnmpAgent::process() {
    agent_check_and_process(0);
    retry_interval(kRetrySeconds);
    watch();
}

// The library's sockets and its next time-out, handed to the loop after every call into it. A
// socket keeps its wait while the library keeps the same set; when the set changes, or a session
// to the master opened or closed (a socket closed and opened again under the same number), every
// socket is watched afresh.
void SnmpAgent::watch() {
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    int count = 0, block = 1;
    timeval timeout{};
    snmp_select_info2(&count, &fds, &timeout, &block);
    std::vector<int> wanted;
    for (int fd = 0; fd < count; ++fd)
        if (NETSNMP_LARGE_FD_ISSET(fd, &fds))
            wanted.push_back(fd);
    netsnmp_large_fd_set_cleanup(&fds);
    if (sessions_changed || wanted != watched_fds()) {
        forget_sockets();
        for (int fd : wanted)
            sockets.push_back(
                {fd, std::make_unique<boost::asio::posix::stream_descriptor>(io, fd), false});
        sessions_changed = false;
    }
    for (Watched &w : sockets) {
        if (w.waiting)
            continue;
        w.waiting = true;
        w.socket->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                             [this, fd = w.fd, set = generation](boost::system::error_code ec) {
                                 if (ec || set != generation)
                                     return;
                                 for (Watched &ready : sockets)
                                     ready.waiting = ready.waiting && ready.fd != fd;
                                 process();
                             });
    }
    if (block) {
        timer.cancel();
        return;
    }
    timer.expires_after(std::chrono::seconds(timeout.tv_sec) +
                        std::chrono::microseconds(timeout.tv_usec));
    timer.async_wait([this](boost::system::error_code ec) {
        if (!ec)
            process();
    });
}

std::vector<int> SnmpAgent::watched_fds() const {
    std::vector<int> fds;
    for (const Watched &w : sockets)
        fds.push_back(w.fd);
    return fds;
}

// The waits given up and the sockets handed back to the library, which closes them itself.
void SnmpAgent::forget_sockets() {
    ++generation;
    for (Watched &w : sockets) {
        boost::system::error_code ignored;
        w.socket->cancel(ignored);
        w.socket->release();
    }
    sockets.clear();
}

} // namespace host
