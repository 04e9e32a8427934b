#include "python/logging_bridge.hpp"

#include <Python.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "log/log.hpp"
#include "python/errors.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error:
            return 40;
        case log::Level::Warning:
            return 30;
        case log::Level::Info:
            return 20;
        case log::Level::Debug:
            return 10;
        default:
            return 5;
    }
}

// One node per "::"-separated component of a target. A target's logger and
// whether it is enabled at each level are looked up once and kept: this
// sits on whatever path logs, and asking Python each time would cost more
// than the record is worth.
struct LoggerNode {
    std::map<std::string, LoggerNode, std::less<>> children;
    PyObject* logger = nullptr;  // strong, never released
    std::array<std::optional<bool>, 6> enabled_at;
};

std::string python_logger_name(std::string_view target) {
    std::string name;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

class PythonLogSink final : public log::Sink {
public:
    explicit PythonLogSink(PyObject* logging) : logging_(logging) {}

    void forward(const log::Record& record) noexcept override {
        const PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* pending = PyErr_GetRaisedException();
        try {
            if (!deliver(record)) {
                PyErr_PrintEx(0);
            }
        } catch (...) {
            // Out of memory while caching: the record is dropped.
            PyErr_Clear();
        }
        PyErr_SetRaisedException(pending);
        PyGILState_Release(gil);
    }

private:
    LoggerNode& node_for(std::string_view target) {
        LoggerNode* node = &root_;
        std::size_t start = 0;
        while (start <= target.size()) {
            const std::size_t end = std::min(target.find("::", start), target.size());
            const std::string_view component = target.substr(start, end - start);
            auto found = node->children.find(component);
            if (found == node->children.end()) {
                found = node->children.emplace(std::string(component), LoggerNode{}).first;
            }
            node = &found->second;
            start = end + 2;
        }
        return *node;
    }

    // False with a Python exception set when Python failed.
    bool deliver(const log::Record& record) {
        LoggerNode& node = node_for(record.target);
        const std::string name = python_logger_name(record.target);
        if (node.logger == nullptr) {
            node.logger = PyObject_CallMethod(logging_, "getLogger", "s#", name.data(),
                                              static_cast<Py_ssize_t>(name.size()));
            if (node.logger == nullptr) {
                return false;
            }
        }
        const int level = python_level(record.level);
        auto& enabled = node.enabled_at[static_cast<std::size_t>(record.level)];
        if (!enabled) {
            PyObject* answer = PyObject_CallMethod(node.logger, "isEnabledFor", "i", level);
            if (answer == nullptr) {
                return false;
            }
            const int truth = PyObject_IsTrue(answer);
            Py_DECREF(answer);
            if (truth < 0) {
                return false;
            }
            enabled = truth != 0;
        }
        if (!*enabled) {
            return true;
        }
        PyObject* made = PyObject_CallMethod(node.logger, "makeRecord", "s#is#Is#()O", name.data(),
                                             static_cast<Py_ssize_t>(name.size()), level, record.file.data(),
                                             static_cast<Py_ssize_t>(record.file.size()), record.line,
                                             record.message.data(), static_cast<Py_ssize_t>(record.message.size()),
                                             Py_None);
        if (made == nullptr) {
            return false;
        }
        PyObject* handled = PyObject_CallMethod(node.logger, "handle", "O", made);
        Py_DECREF(made);
        Py_XDECREF(handled);
        return handled != nullptr;
    }

    PyObject* logging_;  // strong, never released
    LoggerNode root_;
};

// Describes the pending Python error for the failure message, and clears it.
std::string describe_pending_error() {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return texts::no_exception_set;
    }
    std::string text = "unknown error";
    if (PyObject* repr = PyObject_Repr(error)) {
        if (const char* utf8 = PyUnicode_AsUTF8(repr)) {
            text = utf8;
        }
        Py_DECREF(repr);
    }
    PyErr_Clear();
    Py_DECREF(error);
    return text;
}

}  // namespace

bool install_logging_bridge() {
    return guarded([]() -> bool {
        const PyGILState_STATE gil = PyGILState_Ensure();
        struct ReleaseGil {
            PyGILState_STATE state;
            ~ReleaseGil() { PyGILState_Release(state); }
        } release{gil};
        PyObject* logging = PyImport_ImportModule("logging");
        if (logging == nullptr) {
            throw InternalFailure(std::string(texts::logging_init_failed) + ": " + describe_pending_error(), __FILE__,
                                  __LINE__);
        }
        // Lives as long as the process: the sink can be called at any time.
        static PythonLogSink* sink = nullptr;
        if (sink == nullptr) {
            sink = new PythonLogSink(logging);
        } else {
            Py_DECREF(logging);
        }
        JOINTBUS_ENSURE(log::set_sink(*sink), texts::log_sink_taken);
        log::set_max_level(log::Level::Debug);
        return true;
    });
}

}  // namespace jointbus::python
