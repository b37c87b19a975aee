// tz52 bridge as a child process of a benchmark: started with posix_spawn,
// its log (stderr) drained all along and kept for WaitForLine and a
// failure's message, stopped with SIGTERM.
#ifndef TZ52DRV_BENCH_BRIDGE_PROCESS_H
#define TZ52DRV_BENCH_BRIDGE_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class BridgeProcess {
public:
    ~BridgeProcess() { Stop(); }

    bool Start(const std::string& tz52, const std::vector<std::string>& arguments, std::string* error) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            *error = std::string("pipe2: ") + std::strerror(errno);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(tz52.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, tz52.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            close(fds[0]);
            pid_ = 0;
            *error = tz52 + ": " + std::strerror(spawned);
            return false;
        }
        // The log is drained all along: a bridge whose stderr is full stops.
        reader_ = std::thread([this, fd = fds[0]] { Drain(fd); });
        return true;
    }

    // Waits until a log line contains `text`; false when the bridge ended or
    // the time ran out first.
    bool WaitForLine(const std::string& text, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            if (ended_) return true;
            return std::any_of(lines_.begin(), lines_.end(),
                               [&](const std::string& line) { return line.find(text) != std::string::npos; });
        }) && !ended_;
    }

    // The last `count` lines of its log, for a failure's message.
    std::string Tail(size_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string tail;
        for (size_t i = lines_.size() > count ? lines_.size() - count : 0; i < lines_.size(); ++i) {
            tail += "  | " + lines_[i] + "\n";
        }
        return tail;
    }

    // The child's process id while it runs, else 0.
    pid_t pid() const { return pid_; }

    // "" while it runs; else how it ended ("exit code 1", "signal 9").
    std::string Ended() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            ending_ = Describe(status);
        }
        return ending_;
    }

    // SIGTERM, then SIGKILL when it has not ended within five seconds.
    // Returns how it ended.
    std::string Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            pid_t ended = 0;
            for (int waited = 0; waited < 500 && (ended = waitpid(pid_, &status, WNOHANG)) == 0; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ended == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = 0;
            ending_ = Describe(status);
        }
        if (reader_.joinable()) reader_.join();
        return ending_;
    }

private:
    static std::string Describe(int status) {
        if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return std::string("signal ") + std::to_string(WTERMSIG(status));
        return "status " + std::to_string(status);
    }

    void Drain(int fd) {
        char buffer[4096];
        std::string partial;
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            partial.append(buffer, static_cast<size_t>(got));
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
                // The audit log grows with every write; the start is kept.
                if (lines_.size() < 10000) lines_.push_back(partial.substr(0, end));
            }
            changed_.notify_all();
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = 0;
    std::string ending_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

#endif  // TZ52DRV_BENCH_BRIDGE_PROCESS_H
