// A program run by a test: its standard output and error read through pipes, a time limit on
// everything, and no process left behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace testing_host {

class ChildProcess {
public:
    struct Result {
        int exit_code = -1; // -1: killed at the time limit or by a signal
        std::string out, err;
    };

    explicit ChildProcess(const std::vector<std::string> &args, bool keep_stderr = true) {
        int out_pipe[2], err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        if (keep_stderr)
            posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out_pipe[1]);
        close(err_pipe[1]);
        out_fd = out_pipe[0];
        err_fd = err_pipe[0];
        if (rc != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }

    ~ChildProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out_fd);
        close(err_fd);
    }

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The first line of standard output, without its newline ("" at the time limit).
    std::string first_line(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (pending.find('\n') == std::string::npos) {
            if (!read_some(end, true))
                return "";
        }
        const auto nl = pending.find('\n');
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
    }

    // Reads what the program writes for `duration`, so that it never blocks on a full pipe.
    void keep_reading(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while ((out_fd >= 0 || err_fd >= 0) && read_some(end, false)) {
        }
    }

    // Sends a signal (for example SIGTERM) to the program.
    void signal(int number) { kill(pid, number); }
    pid_t process_id() const { return pid; }

    // Reads everything until the program ends; kills it at the time limit.
    Result finish(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        Result r;
        while (out_fd >= 0 || err_fd >= 0) {
            if (!read_some(end, false)) {
                kill(pid, SIGKILL);
                break;
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = std::move(pending);
        r.err = std::move(errors);
        return r;
    }

private:
    // One poll and read of whatever is ready; false at the time limit, or at the end of
    // standard output when only that was wanted.
    bool read_some(std::chrono::steady_clock::time_point end, bool out_only) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {out_only ? -1 : err_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            int &fd = i == 0 ? out_fd : err_fd;
            if (n <= 0) {
                close(fd);
                fd = -1;
                if (out_only)
                    return false;
                continue;
            }
            (i == 0 ? pending : errors).append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;
    std::string pending, errors;
};

} // namespace testing_host
