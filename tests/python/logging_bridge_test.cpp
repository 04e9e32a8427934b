// The logging bridge, end to end: an interpreter embedded in this program
// imports the module (linked in, not loaded from disk, so that the library's
// log facade here is the one the module registered with), a record is
// emitted through the facade, and Python's logging must receive it.
#include <Python.h>

#include <cstdio>

#include "log/log.hpp"

extern "C" PyObject* PyInit_jointbus(void);

namespace {

int run(const char* code) {
    if (PyRun_SimpleString(code) != 0) {
        std::fprintf(stderr, "failed: %s\n", code);
        return 1;
    }
    return 0;
}

void emit(jointbus::log::Level level, const char* target, const char* message, std::uint32_t line) {
    jointbus::log::emit({level, target, message, "src/transport/socketcan_backend.cpp", line});
}

}  // namespace

int main() {
    if (PyImport_AppendInittab("jointbus", &PyInit_jointbus) != 0) {
        return 1;
    }
    Py_Initialize();
    int failures = run(R"(
import logging, jointbus
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.DEBUG)
logging.getLogger("jointbus.quiet").setLevel(logging.ERROR)
)");
    // Trace records never reach the sink; the quiet logger drops warnings.
    emit(jointbus::log::Level::Info, "jointbus::transport::socketcan", "bus opened", 42);
    emit(jointbus::log::Level::Trace, "jointbus::transport::socketcan", "too fine to forward", 43);
    emit(jointbus::log::Level::Warning, "jointbus::quiet", "dropped by its logger", 44);
    emit(jointbus::log::Level::Error, "jointbus::quiet", "kept", 45);
    emit(jointbus::log::Level::Debug, "jointbus", "top level", 0);
    failures += run(R"(
got = [(r.levelno, r.name, r.pathname, r.lineno, r.getMessage()) for r in records]
expected = [
    (20, "jointbus.transport.socketcan", "src/transport/socketcan_backend.cpp", 42, "bus opened"),
    (40, "jointbus.quiet", "src/transport/socketcan_backend.cpp", 45, "kept"),
    (10, "jointbus", "src/transport/socketcan_backend.cpp", 0, "top level"),
]
assert got == expected, got
assert records[0].filename == "socketcan_backend.cpp"
)");
    // A pending Python exception survives a record being forwarded.
    PyErr_SetString(PyExc_ValueError, "pending");
    emit(jointbus::log::Level::Info, "jointbus", "while an error is pending", 7);
    const bool kept = PyErr_ExceptionMatches(PyExc_ValueError) != 0;
    PyErr_Clear();
    failures += kept ? 0 : 1;
    failures += run("assert records[-1].getMessage() == 'while an error is pending'");
    // Importing again in the same process must not try to take the sink twice.
    failures += run("import sys, importlib; m = sys.modules.pop('jointbus'); assert importlib.import_module('jointbus') is m");
    if (Py_FinalizeEx() != 0) {
        return 1;
    }
    std::printf("%d passed, %d failed\n", 6 - failures, failures);
    return failures == 0 ? 0 : 1;
}
