// The host as an AgentX subagent of the system's own SNMP agent: the agent keeps the network
// side (users, communities, views, trap sinks); the host registers its subtree with it and sends
// its notifications through it.
//
// net-snmp's agent library runs on the host's event loop: its sockets and its next time-out are
// handed to Asio after every call into it, so it needs no thread and never polls. A master agent
// that is absent at the start, or goes away later, is tried again every few seconds; each episode
// is told once, and the rounds never wait for it. One that hangs without going away is not
// pinged: the library would wait for the answer without a time-out.
#pragma once

#include "host/common/events.h"
#include "host/common/log.h"
#include "host/snmp/snmp_objects.h"
#include "host/state/site_state.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace host {

class SnmpAgent : public Observer {
public:
    // Seconds between tries to join the master agent while it is away.
    static constexpr int kRetrySeconds = 5;

    // `socket`: the master's AgentX socket, "" for the library's own default. One agent per
    // process: the library's state is global.
    SnmpAgent(boost::asio::io_context &io, Log &log, const SiteState &site, SnmpHost host,
              const std::string &socket);
    ~SnmpAgent() override;
    SnmpAgent(const SnmpAgent &) = delete;
    SnmpAgent &operator=(const SnmpAgent &) = delete;

    bool joined() const { return in_session; }

    void round_completed(const RoundCompleted &) override { stale = true; }
    void alarm_changed(const AlarmRecord &alarm) override;
    void communication_changed(const CommunicationChanged &change) override;
    void plant_changed(const PlantChanged &change) override;

    // For the library's callbacks (C functions), which reach the agent through these.
    void session_started();
    void session_stopped();
    void library_said(int priority, const std::string &text);
    // The instance at `name` (get) or the first after it (next); nullptr when none.
    const SnmpObject *find(const Oid &name, bool next);
    // The uptime, in hundredths of a second, now.
    int64_t uptime_ticks() const;

private:
    void send(const SnmpNotification &notification);
    void process();
    void watch();
    std::vector<int> watched_fds() const;
    void forget_sockets();

    struct Watched {
        int fd;
        std::unique_ptr<boost::asio::posix::stream_descriptor> socket;
        bool waiting;
    };

    boost::asio::io_context &io;
    Log &log;
    const SiteState &site;
    SnmpHost host;
    std::string where; // the socket, as the messages name it
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::vector<SnmpObject> snapshot;
    bool stale = true;
    bool in_session = false;
    bool told_away = false;
    unsigned long unsent = 0; // notifications lost while the master was away
    std::vector<Watched> sockets;
    bool sessions_changed = false; // since the sockets were last taken from the library
    unsigned long generation = 0;  // of `sockets`: a wait armed for an earlier set is void
    boost::asio::steady_timer timer;
};

} // namespace host
