// Where failures become Python exceptions: driver and transport errors, and
// internal failures caught at every entry point before they can cross into
// the interpreter.
#pragma once

#include <Python.h>

#include <exception>

#include "damiao/cycle.hpp"
#include "damiao/error.hpp"
#include "python/internal_failure.hpp"
#include "transport/transport.hpp"

namespace jointbus::python {

// Raises the driver's error: ValueError for limits an MIT command cannot be
// encoded against (the caller's argument is wrong), RuntimeError for every
// failure on the bus or in the motor's answers. The text is the error's
// message, unchanged.
void raise_driver_error(const damiao::Error& error);

// The exception raise_driver_error would raise, as an object, not raised:
// what a cycle puts in the place of a motor that failed.
[[nodiscard]] PyObject* driver_error_object(const damiao::Error& error);

// Raises a cycle's failure the same way, its text naming the command at
// fault when one was refused before anything was sent.
void raise_cycle_failure(const damiao::CycleFailure& failure);

// Raises OSError whose only argument is the system error's text, for a
// transport that could not be opened.
void raise_open_error(const transport::TransportError& error);

// Sets PanicException for the exception in flight, and reports it on stderr.
void raise_internal_failure(std::exception_ptr failure) noexcept;

// The interpreter said it failed; make sure an exception is actually set.
void ensure_exception_set() noexcept;

// Runs an entry point's body; a C++ exception never leaves it.
template <typename Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_internal_failure(std::current_exception());
        return {};
    }
}

}  // namespace jointbus::python
