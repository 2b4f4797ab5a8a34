// A real MQTT broker (the Debian mosquitto program) for a test: its own temporary folder with
// the accounts, their access rules, persistence and optionally TLS, on a free local port that
// it keeps across a stop and start. The destructor stops it and removes the folder.
#pragma once

#include "host/tests/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testing_host {

enum class Tls { Off, On };

struct MqttAccount {
    const char *user;
    const char *password;
};

// The site host publishes, the operator may also change settings and control, the viewer
// only reads.
inline const std::vector<MqttAccount> &mqtt_accounts() {
    static const std::vector<MqttAccount> accounts = {
        {"host", "host-secret"}, {"operator", "operator-secret"}, {"viewer", "viewer-secret"}};
    return accounts;
}

class MqttBroker {
public:
    static constexpr const char *kMosquitto = "/usr/sbin/mosquitto";
    static constexpr const char *kMosquittoPasswd = "/usr/bin/mosquitto_passwd";
    static constexpr const char *kOpenssl = "/usr/bin/openssl";

    explicit MqttBroker(std::string prefix = "site", Tls tls = Tls::Off)
        : topic_prefix(std::move(prefix)), with_tls(tls == Tls::On), listen_port(free_port()) {
        write_passwords();
        write_file("acl", acl_text());
        if (with_tls)
            make_certificates();
        write_file("mosquitto.conf", conf_text());
    }

    ~MqttBroker() { stop(); }

    MqttBroker(const MqttBroker &) = delete;
    MqttBroker &operator=(const MqttBroker &) = delete;

    int port() const { return listen_port; }
    const std::string &prefix() const { return topic_prefix; }
    const std::string &dir() const { return folder.path; }
    bool running() const { return pid > 0; }
    std::string ca_file() const { return path("ca.crt"); }

    // Who may read and write what, in the broker's own acl_file form. Discovery lives outside
    // the prefix, where a hub looks for it; the host also reads it to find what to forget.
    std::string acl_text() const {
        struct Rule {
            const char *user, *access, *topic;
            bool in_prefix;
        };
        static const Rule rules[] = {
            {"host", "write", "#", true},
            {"host", "read", "+/set", true},
            {"host", "read", "+/control", true},
            {"host", "readwrite", "homeassistant/#", false},
            {"operator", "read", "#", true},
            {"operator", "write", "+/set", true},
            {"operator", "write", "+/control", true},
            {"operator", "read", "homeassistant/#", false},
            {"viewer", "read", "#", true},
            {"viewer", "read", "homeassistant/#", false},
        };
        std::string text, user;
        for (const auto &r : rules) {
            if (user != r.user)
                text += (text.empty() ? "user " : "\nuser ") + (user = r.user) + "\n";
            text += std::string("topic ") + r.access + " " +
                    (r.in_prefix ? topic_prefix + "/" : "") + r.topic + "\n";
        }
        return text;
    }

    // A file holding the account's password on one line, as a program is given it.
    std::string password_file_for(const std::string &user) const {
        for (const auto &a : mqtt_accounts())
            if (user == a.user)
                return write_file(user + ".password", std::string(a.password) + "\n");
        throw std::invalid_argument("no MQTT account " + user);
    }

    // Everything the broker has logged in this folder, across restarts.
    std::string log() const {
        std::ifstream in(path("mosquitto.log"));
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Starts the broker and returns once it accepts connections.
    void start() {
        if (running())
            return;
        spawn();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!accepts_connections()) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                throw std::runtime_error("mosquitto exited at start:\n" + log());
            }
            if (std::chrono::steady_clock::now() > end) {
                stop();
                throw std::runtime_error("mosquitto did not listen on port " +
                                         std::to_string(listen_port) + " within 10 s:\n" + log());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Stops the broker the way a service manager would, so that it writes its persistent
    // sessions and their queued messages before it exits.
    void stop() {
        if (!running())
            return;
        kill(pid, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid, nullptr, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid = -1;
    }

private:
    // The temporary folder, a member of its own so that it goes even when the constructor
    // throws half way.
    struct Folder {
        Folder() {
            const char *tmp = std::getenv("TMPDIR");
            std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/mpx23-mqtt-XXXXXX";
            if (!mkdtemp(name.data()))
                throw std::runtime_error("cannot make a folder from " + name);
            path = name;
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::string path;
    };

    static int free_port() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const bool ok = fd >= 0 &&
                        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
        if (fd >= 0)
            close(fd);
        if (!ok)
            throw std::runtime_error("no free local port");
        return ntohs(address.sin_port);
    }

    bool accepts_connections() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(listen_port));
        const bool ok =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }

    std::string path(const std::string &name) const { return folder.path + "/" + name; }

    std::string write_file(const std::string &name, const std::string &text) const {
        const std::string file = path(name);
        std::ofstream out(file, std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + file);
        return file;
    }

    static void run(const std::vector<std::string> &args) {
        ChildProcess child(args);
        const auto result = child.finish(std::chrono::seconds(20));
        if (result.exit_code != 0)
            throw std::runtime_error(args[0] + " " + args[1] + " failed:\n" + result.err +
                                     result.out);
    }

    void write_passwords() const {
        bool first = true;
        for (const auto &a : mqtt_accounts()) {
            std::vector<std::string> args = {kMosquittoPasswd, "-b"};
            if (first)
                args.push_back("-c");
            args.insert(args.end(), {path("passwords"), a.user, a.password});
            run(args);
            first = false;
        }
    }

    // A certificate authority and a server certificate it signed for this machine: short EC
    // keys, so that a test does not wait for them.
    void make_certificates() const {
        write_file("tls.cnf", "[req]\n"
                              "distinguished_name = dn\n"
                              "prompt = no\n"
                              "[dn]\n"
                              "CN = mpx23 test CA\n"
                              "[ca]\n"
                              "basicConstraints = critical, CA:TRUE\n"
                              "keyUsage = critical, keyCertSign, cRLSign\n"
                              "subjectKeyIdentifier = hash\n"
                              "[server]\n"
                              "basicConstraints = CA:FALSE\n"
                              "keyUsage = critical, digitalSignature\n"
                              "extendedKeyUsage = serverAuth\n"
                              "subjectAltName = DNS:localhost, IP:127.0.0.1\n");
        const std::string cnf = path("tls.cnf");
        for (const char *key : {"ca.key", "server.key"})
            run({kOpenssl, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-out", path(key)});
        run({kOpenssl, "req", "-config", cnf, "-x509", "-new", "-key", path("ca.key"),
             "-extensions", "ca", "-days", "2", "-out", ca_file()});
        run({kOpenssl, "req", "-config", cnf, "-new", "-key", path("server.key"), "-subj",
             "/CN=localhost", "-out", path("server.csr")});
        run({kOpenssl, "x509", "-req", "-in", path("server.csr"), "-CA", ca_file(), "-CAkey",
             path("ca.key"), "-set_serial", "2", "-days", "2", "-extfile", cnf, "-extensions",
             "server", "-out", path("server.crt")});
    }

    std::string conf_text() const {
        std::string text = "listener " + std::to_string(listen_port) + " 127.0.0.1\n";
        if (with_tls)
            text += "cafile " + ca_file() + "\ncertfile " + path("server.crt") + "\nkeyfile " +
                    path("server.key") + "\n";
        text += "allow_anonymous false\n"
                "password_file " +
                path("passwords") + "\nacl_file " + path("acl") +
                "\npersistence true\npersistence_location " + dir() +
                "/\n"
                "log_dest stderr\n"
                "log_timestamp_format %H:%M:%S\n"
                "max_queued_messages 10000\n";
        // Started as root, the broker would switch to its own system account, which cannot
        // read this private folder; naming whoever runs the test keeps it as that user.
        if (const passwd *me = getpwuid(geteuid()))
            text += std::string("user ") + me->pw_name + "\n";
        return text;
    }

    // Forks rather than spawns so that the broker gets SIGTERM if the test program dies
    // without its destructors (an abort, a time-out's kill), instead of running on; that
    // signal follows the thread that started the broker, which is therefore a test's own. Its
    // output is appended to the log file; the child only makes async-signal-safe calls.
    void spawn() {
        const std::string log_file = path("mosquitto.log"), conf = path("mosquitto.conf");
        char *const argv[] = {const_cast<char *>(kMosquitto), const_cast<char *>("-c"),
                              const_cast<char *>(conf.c_str()), nullptr};
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child < 0)
            throw std::runtime_error("cannot fork for mosquitto");
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(127);
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (in < 0 || out < 0)
                _exit(127);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execve(kMosquitto, argv, environ);
            _exit(127);
        }
        pid = child;
    }

    Folder folder;
    std::string topic_prefix;
    bool with_tls;
    int listen_port;
    pid_t pid = -1;
};

} // namespace testing_host
