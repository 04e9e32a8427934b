#include "sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace jointbus::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int read_end = -1;
    int write_end = -1;
};

Pipe make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    return {ends[0], ends[1]};
}

int millis_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long>(left, 0));
}

ExitStatus decode(int raw_status) {
    if (WIFEXITED(raw_status)) {
        return {true, WEXITSTATUS(raw_status)};
    }
    return {false, WTERMSIG(raw_status)};
}

}  // namespace

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args) {
    const Pipe out = make_pipe();
    const Pipe err = make_pipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out.write_end);
    ::close(err.write_end);
    out_ = out.read_end;
    err_ = err.read_end;
    if (spawned != 0) {
        ::close(out_);
        ::close(err_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
}

SimProcess::~SimProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        (void)wait(std::chrono::seconds(10));
    }
    ::close(out_);
    ::close(err_);
}

// Reads what is there (waiting until the deadline for the first byte);
// false once the writer has closed its end.
bool SimProcess::fill(int descriptor, std::string& buffer, Clock::time_point deadline) {
    pollfd waiting{descriptor, POLLIN, 0};
    if (::poll(&waiting, 1, millis_until(deadline)) <= 0) {
        return true;
    }
    std::array<char, 4096> chunk;
    const ssize_t got = ::read(descriptor, chunk.data(), chunk.size());
    if (got <= 0) {
        return false;
    }
    buffer.append(chunk.data(), static_cast<std::size_t>(got));
    return true;
}

std::optional<std::string> SimProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto newline = out_buffer_.find('\n'); newline != std::string::npos) {
            std::string line = out_buffer_.substr(0, newline);
            out_buffer_.erase(0, newline + 1);
            return line;
        }
        if (Clock::now() >= deadline || !fill(out_, out_buffer_, deadline)) {
            return std::nullopt;
        }
    }
}

std::optional<ExitStatus> SimProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (running()) {
        ::kill(pid_, signal);
    }
    return wait(timeout);
}

std::optional<ExitStatus> SimProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int raw_status = 0;
        if (::waitpid(pid_, &raw_status, WNOHANG) == pid_) {
            status_ = decode(raw_status);
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status_;
}

std::string SimProcess::error_text() {
    // Takes whatever is waiting in the pipe, without waiting for more.
    for (;;) {
        pollfd waiting{err_, POLLIN, 0};
        if (::poll(&waiting, 1, 0) <= 0 || !fill(err_, err_buffer_, Clock::now())) {
            return err_buffer_;
        }
    }
}

}  // namespace jointbus::testing
