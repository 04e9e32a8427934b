#include "log/log.hpp"

#include <atomic>

namespace jointbus::log {
namespace {

std::atomic<Sink*> registered_sink{nullptr};
std::atomic<Level> max_level{Level::Error};

}  // namespace

bool set_sink(Sink& sink) noexcept {
    Sink* expected = nullptr;
    return registered_sink.compare_exchange_strong(expected, &sink);
}

void set_max_level(Level level) noexcept { max_level.store(level); }

void emit(const Record& record) noexcept {
    Sink* sink = registered_sink.load();
    if (sink != nullptr && record.level <= max_level.load()) {
        sink->forward(record);
    }
}

}  // namespace jointbus::log
