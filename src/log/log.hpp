// The library's one log facade. Nothing in the core logs on a hot path; the
// facade exists so that an embedding program (the Python module) can route
// whatever is logged to its own logging system through one process-wide sink.
#pragma once

#include <cstdint>
#include <string_view>

namespace jointbus::log {

enum class Level : std::uint8_t { Error = 1, Warning, Info, Debug, Trace };

struct Record {
    Level level;
    std::string_view target;  // "module::path" of the code that logged
    std::string_view message;
    std::string_view file;
    std::uint32_t line;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void forward(const Record& record) noexcept = 0;

protected:
    Sink() = default;
    Sink(const Sink&) = default;
    Sink& operator=(const Sink&) = default;
};

// Registers the process's one sink. False if one is already registered: the
// first owner keeps it for the life of the process.
[[nodiscard]] bool set_sink(Sink& sink) noexcept;

// Records less severe than `level` are dropped before they reach the sink.
void set_max_level(Level level) noexcept;

// Hands the record to the sink, if one is registered and the level passes.
void emit(const Record& record) noexcept;

}  // namespace jointbus::log
