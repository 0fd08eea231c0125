#pragma once
// The libmodbus RTU slave as a child process: it prints the path of its pty
// on the first line and serves requests there until it is killed.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

class ModbusPeer {
public:
    // baud 0 leaves the pty's rate as the system sets it.
    explicit ModbusPeer(const std::string& program, int slaveId = 1, int baud = 0)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            fError = std::string("pipe: ") + std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string id = std::to_string(slaveId);
        const std::string rate = std::to_string(baud);
        std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--id"),
                                   const_cast<char*>(id.c_str())};
        if (baud != 0) {
            argv.push_back(const_cast<char*>("--baud"));
            argv.push_back(const_cast<char*>(rate.c_str()));
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&fPid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            fPid = -1;
            fError = "spawn " + program + ": " + std::strerror(rc);
            close(out[0]);
            return;
        }
        fPath = ReadLine(out[0], std::chrono::seconds(20));
        close(out[0]);
        if (fPath.empty())
            fError = "the slave printed no device path";
    }

    ~ModbusPeer()
    {
        if (fPid > 0) {
            kill(fPid, SIGTERM);
            int status = 0;
            while (waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    ModbusPeer(const ModbusPeer&) = delete;
    ModbusPeer& operator=(const ModbusPeer&) = delete;

    bool ok() const { return !fPath.empty(); }
    const std::string& error() const { return fError; }
    // The pty device the slave listens on.
    const std::string& path() const { return fPath; }

private:
    static std::string ReadLine(int fd, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string line;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return {};
            char c = 0;
            const ssize_t got = read(fd, &c, 1);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return {};
            if (c == '\n')
                return line;
            line += c;
        }
    }

    pid_t fPid = -1;
    std::string fPath;
    std::string fError;
};

} // namespace testsupport
