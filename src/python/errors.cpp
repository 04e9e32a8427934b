#include "python/errors.hpp"

#include <cstdio>

#include "python/texts.hpp"

namespace jointbus::python {
namespace {

// Created on first use and kept for the life of the process.
PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(texts::panic_exception_name, texts::panic_exception_doc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

struct FailureReport {
    std::string message;
    const char* file = nullptr;
    int line = 0;
};

FailureReport describe(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const InternalFailure& internal) {
        return {internal.what(), internal.file(), internal.line()};
    } catch (const std::exception& other) {
        return {other.what()};
    } catch (...) {
        return {texts::non_text_failure};
    }
}

}  // namespace

namespace {

PyObject* exception_type_for(const damiao::Error& error) {
    return damiao::is_argument_error(error) ? PyExc_ValueError : PyExc_RuntimeError;
}

void raise_with_text(PyObject* type, const std::string& text) {
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message != nullptr) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

}  // namespace

void raise_driver_error(const damiao::Error& error) { raise_with_text(exception_type_for(error), damiao::message(error)); }

PyObject* driver_error_object(const damiao::Error& error) {
    const std::string text = damiao::message(error);
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) {
        return nullptr;
    }
    PyObject* exception = PyObject_CallOneArg(exception_type_for(error), message);
    Py_DECREF(message);
    return exception;
}

void raise_cycle_failure(const damiao::CycleFailure& failure) {
    raise_with_text(exception_type_for(failure.error), damiao::message(failure));
}

void raise_open_error(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::BackendError>(&error);
    const std::string text = backend != nullptr ? transport::message(backend->system) : transport::message(error);
    PyErr_SetString(PyExc_OSError, text.c_str());
}

void raise_internal_failure(std::exception_ptr failure) noexcept {
    // Building the report may itself run out of memory; nothing can be said then.
    try {
        const FailureReport report = describe(failure);
        if (report.file != nullptr) {
            std::fprintf(stderr, "jointbus: internal failure at %s:%d: %s\n", report.file, report.line,
                         report.message.c_str());
        } else {
            std::fprintf(stderr, "jointbus: internal failure: %s\n", report.message.c_str());
        }
        if (PyObject* type = panic_exception_type()) {
            PyErr_SetString(type, report.message.c_str());
        }
    } catch (...) {
        PyErr_NoMemory();
    }
}

void ensure_exception_set() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, texts::no_exception_set);
    }
}

}  // namespace jointbus::python
