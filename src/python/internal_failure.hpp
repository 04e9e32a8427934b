// A broken invariant of the module itself. Thrown inside an entry point and
// caught by its guard, which ends the Python call with PanicException.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace jointbus::python {

class InternalFailure : public std::exception {
public:
    InternalFailure(std::string message, const char* file, int line)
        : message_(std::move(message)), file_(file), line_(line) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    std::string message_;
    const char* file_;
    int line_;
};

#define JOINTBUS_ENSURE(condition, message)                                           \
    do {                                                                              \
        if (!(condition)) {                                                           \
            throw ::jointbus::python::InternalFailure((message), __FILE__, __LINE__); \
        }                                                                             \
    } while (false)

}  // namespace jointbus::python
