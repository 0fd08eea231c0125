#pragma once
// A program run as a child process with its standard output and error
// captured, for tests of the command line. The child gets no display: its
// environment lacks DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unless the
// test sets one.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

struct ProcessResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

class Process {
public:
    // Starts Argv[0] with the arguments; Env adds or replaces variables.
    explicit Process(const std::vector<std::string>& Argv, const std::map<std::string, std::string>& Env = {})
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : Argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || Env.count(name))
                continue;
            envStrings.push_back(entry);
        }
        for (const auto& [name, value] : Env)
            envStrings.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            fPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        fOut = out[0];
        fErr = err[0];
    }

    ~Process()
    {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            Reap();
        }
        if (fOut >= 0)
            close(fOut);
        if (fErr >= 0)
            close(fErr);
    }

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return fPid > 0; }
    void signal(int sig) const
    {
        if (fPid > 0)
            kill(fPid, sig);
    }

    // Reads until stdout holds at least `lines` lines or `limit` passed.
    bool waitForOutLines(int lines, std::chrono::milliseconds limit)
    {
        return PumpUntil([&] { return Count(fResult.out, '\n') >= lines; }, limit);
    }
    // Reads until stderr holds `text` or `limit` passed.
    bool waitForErr(const std::string& text, std::chrono::milliseconds limit)
    {
        return PumpUntil([&] { return fResult.err.find(text) != std::string::npos; }, limit);
    }

    // Reads everything to the end and waits for the exit; a child still
    // running after `limit` is killed (and the result says so).
    ProcessResult finish(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        if (!PumpUntil([&] { return fOut < 0 && fErr < 0; }, limit))
            kill(fPid, SIGKILL);
        Reap();
        return fResult;
    }

    const std::string& out() const { return fResult.out; }
    const std::string& err() const { return fResult.err; }

private:
    static int Count(const std::string& s, char c)
    {
        int n = 0;
        for (char x : s)
            n += x == c;
        return n;
    }

    template <class Done>
    bool PumpUntil(Done done, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || (fOut < 0 && fErr < 0))
                return done();
            pollfd p[2] = {{fOut, POLLIN, 0}, {fErr, POLLIN, 0}};
            const int r = poll(p, 2, static_cast<int>(left.count()));
            if (r < 0 && errno != EINTR)
                return done();
            ReadFrom(p[0], fOut, fResult.out);
            ReadFrom(p[1], fErr, fResult.err);
        }
        return true;
    }

    static void ReadFrom(const pollfd& p, int& fd, std::string& into)
    {
        if (fd < 0 || p.revents == 0)
            return;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }

    void Reap()
    {
        int status = 0;
        while (waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
        }
        fResult.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        fPid = -1;
    }

    pid_t fPid = -1;
    int fOut = -1;
    int fErr = -1;
    ProcessResult fResult;
};

// Runs a program to its end.
inline ProcessResult RunProcess(const std::vector<std::string>& Argv,
                                const std::map<std::string, std::string>& Env = {})
{
    Process p(Argv, Env);
    return p.finish();
}

} // namespace testsupport
