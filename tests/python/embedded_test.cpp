// What Python alone cannot reach, with an interpreter embedded in this
// program and the module linked in (not loaded from disk, so the library's
// log facade here is the one the module registered with):
// - the logging bridge: a record emitted through the facade must reach
//   Python's logging with its level, logger name, file and line;
// - the internal-failure guard: a C++ exception must end the call with
//   PanicException, never cross into the interpreter.
#include <Python.h>

#include <cstdio>

#include <new>
#include <stdexcept>

#include "log/log.hpp"
#include "python/errors.hpp"

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

// Entry points guarded the way the module guards them, failing inside.
PyObject* fails_with_message(PyObject*, PyObject*) {
    return jointbus::python::guarded([]() -> PyObject* { throw std::runtime_error("broken invariant"); });
}

PyObject* fails_out_of_memory(PyObject*, PyObject*) {
    return jointbus::python::guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

PyObject* fails_without_message(PyObject*, PyObject*) {
    return jointbus::python::guarded([]() -> PyObject* { throw 42; });
}

PyMethodDef failing[] = {
    {"with_message", &fails_with_message, METH_NOARGS, nullptr},
    {"out_of_memory", &fails_out_of_memory, METH_NOARGS, nullptr},
    {"without_message", &fails_without_message, METH_NOARGS, nullptr},
};

int check_panics() {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    for (PyMethodDef& definition : failing) {
        PyObject* function = PyCFunction_New(&definition, nullptr);
        if (function == nullptr || PyDict_SetItemString(globals, definition.ml_name, function) != 0) {
            return 1;
        }
        Py_DECREF(function);
    }
    return run(R"(
import jointbus
texts = []
for call in (with_message, out_of_memory, without_message):
    try:
        call()
    except Exception:
        raise AssertionError("PanicException must not be an Exception")
    except BaseException as panic:
        texts.append(str(panic))
        kind = type(panic)
assert texts == ["broken invariant", "std::bad_alloc", "internal failure without a message"], texts
assert kind.__name__ == "PanicException" and kind.__module__ == "jointbus_runtime", kind
assert kind.__bases__ == (BaseException,)
assert "BaseException" in kind.__doc__
)");
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
    failures += check_panics();
    if (Py_FinalizeEx() != 0) {
        return 1;
    }
    std::printf("%d passed, %d failed\n", 7 - failures, failures);
    return failures == 0 ? 0 : 1;
}
