// A program run by a test: its standard output and error read through pipes as it writes them
// (a thread of the test's reads them all along, so the program never blocks on a full pipe,
// however long the test takes between its looks), a time limit on everything, and no process
// left behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
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
        out_fd = out_read = out_pipe[0];
        err_fd = err_read = err_pipe[0];
        if (rc != 0 || pipe2(stop_pipe, O_CLOEXEC) != 0) {
            stop_reader();
            throw std::runtime_error("cannot start " + args[0]);
        }
        reader = std::thread([this] { read_all(); });
    }

    ~ChildProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        stop_reader();
    }

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The first line of standard output not taken yet, without its newline ("" at the time
    // limit or at the end of the output).
    std::string first_line(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, limit,
                         [this] { return pending.find('\n') != std::string::npos || out_ended; });
        const auto nl = pending.find('\n');
        if (nl == std::string::npos)
            return "";
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
    }

    // Lets the program run for `duration`; what it writes is read all along, so that it never
    // blocks on a full pipe.
    void keep_reading(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

    // Whether standard error holds `text` by the time limit.
    bool said(const std::string &text, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            return errors.find(text) != std::string::npos || err_ended;
        }) && errors.find(text) != std::string::npos;
    }

    // Sends a signal (for example SIGTERM) to the program.
    void signal(int number) { kill(pid, number); }
    pid_t process_id() const { return pid; }

    // Waits until the program ends and its output is read; kills it at the time limit.
    Result finish(std::chrono::milliseconds limit) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!changed.wait_for(lock, limit, [this] { return out_ended && err_ended; }))
                kill(pid, SIGKILL);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        stop_reader();
        Result r;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::lock_guard<std::mutex> lock(mutex);
        r.out = std::move(pending);
        r.err = std::move(errors);
        return r;
    }

private:
    // Reads both pipes as the program writes them, until both end (the program and whatever it
    // started have closed them) or the reader is stopped.
    void read_all() {
        while (true) {
            pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0)
                continue;
            if (fds[2].revents)
                return;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                std::lock_guard<std::mutex> lock(mutex);
                if (n <= 0) {
                    (i == 0 ? out_ended : err_ended) = true;
                    (i == 0 ? out_fd : err_fd) = -1; // closed by stop_reader
                } else {
                    (i == 0 ? pending : errors).append(buf, static_cast<size_t>(n));
                }
                changed.notify_all();
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (out_ended && err_ended)
                return;
        }
    }

    void stop_reader() {
        if (reader.joinable()) {
            const char stop = 1;
            if (write(stop_pipe[1], &stop, 1) < 0) {
                // The reader ends by itself once both pipes have ended.
            }
            reader.join();
        }
        for (int fd : {out_read, err_read, stop_pipe[0], stop_pipe[1]})
            if (fd >= 0)
                close(fd);
        out_read = err_read = stop_pipe[0] = stop_pipe[1] = -1;
    }

    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;     // what the reader still polls
    int out_read = -1, err_read = -1; // the pipes' read ends, closed at the end
    int stop_pipe[2] = {-1, -1};
    std::mutex mutex;
    std::condition_variable changed;
    std::string pending, errors;
    bool out_ended = false, err_ended = false;
    std::thread reader;
};

} // namespace testing_host
