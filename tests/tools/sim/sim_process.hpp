// jointbus-sim run as a child process for the vcan tests: its standard
// output read line by line, its standard error kept, its exit observed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace jointbus::testing {

struct ExitStatus {
    bool exited = false;  // false: killed by a signal
    int code = 0;         // the exit code, or the signal number
};

class SimProcess {
public:
    // Starts `program` with `args`; throws std::runtime_error if it cannot.
    SimProcess(const std::string& program, const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The next whole line on standard output (without its newline), or
    // nothing if none came within `timeout` or the output ended.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Sends `signal` and waits for the exit.
    std::optional<ExitStatus> stop(int signal, std::chrono::milliseconds timeout);
    // Waits for the exit; nothing if it did not come within `timeout`.
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    // What the program wrote to standard error so far.
    std::string error_text();
    [[nodiscard]] bool running() const { return !status_; }

private:
    bool fill(int descriptor, std::string& buffer, std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_buffer_;
    std::string err_buffer_;
    std::optional<ExitStatus> status_;
};

}  // namespace jointbus::testing
