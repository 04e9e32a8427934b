// The module's entry point: PyInit_jointbus builds the module once per
// process and hands the same object to every later import.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/logging_bridge.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    texts::module_name,  // m_name
    "",                  // m_doc
    0,                   // m_size: no per-module state
    nullptr,             // m_methods: the function is added by the body
    nullptr,             // m_slots
    nullptr,             // m_traverse
    nullptr,             // m_clear
    nullptr,             // m_free
};

// The one interpreter the module serves. Its objects hold process-wide type
// objects and a process-wide log sink, which another interpreter must not
// share.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;  // strong, kept for the process

// Sets the module attribute `name`, taking over the reference to `value`.
bool set_name(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    const bool set = PyObject_SetAttrString(module, name, value) == 0;
    Py_DECREF(value);
    return set;
}

// Appends `name` to __all__ (creating it on first use), then sets it.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(value);
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) != 0) {
            Py_XDECREF(all);
            Py_DECREF(value);
            return false;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool listed = key != nullptr && PyList_Append(all, key) == 0;
    Py_XDECREF(key);
    Py_DECREF(all);
    const bool set = listed && PyObject_SetAttrString(module, name, value) == 0;
    Py_DECREF(value);
    return set;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && add_name(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

// A function in __all__, or, for what came after the module's first
// release, an attribute outside it, so that `from jointbus import *` keeps
// giving the names it always gave.
enum class Listing : bool { in_all, outside_all };

bool add_function(PyObject* module, PyMethodDef* definition, Listing listing = Listing::in_all) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        return false;
    }
    PyObject* function = PyCFunction_NewEx(definition, module, module_name);
    Py_DECREF(module_name);
    if (function == nullptr) {
        return false;
    }
    return listing == Listing::in_all ? add_name(module, definition->ml_name, function)
                                      : set_name(module, definition->ml_name, function);
}

bool run_body(PyObject* module) {
    return install_logging_bridge() && add_name(module, "__version__", PyUnicode_FromString(texts::version)) &&
           add_class(module, "MitLimits", mit_limits_type()) && add_class(module, "MitSetpoint", mit_setpoint_type()) &&
           add_class(module, "ControlSetpoint", control_setpoint_type()) &&
           add_class(module, "MotorState", motor_state_type()) && add_class(module, "Damiao", damiao_type()) &&
           add_class(module, "SocketCanTransport", socketcan_transport_type()) &&
           add_function(module, mit_setpoint_function()) && add_function(module, cycle_function(), Listing::outside_all);
}

bool claim_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        ensure_exception_set();
        return false;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError, texts::subinterpreters_unsupported);
        return false;
    }
    return true;
}

PyObject* initialise() {
    if (!claim_interpreter()) {
        return nullptr;
    }
    if (module_object != nullptr) {
        return Py_NewRef(module_object);
    }
    PyObject* module = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    if (!run_body(module)) {
        ensure_exception_set();
        Py_DECREF(module);
        return nullptr;
    }
    module_object = module;
    return Py_NewRef(module_object);
}

}  // namespace
}  // namespace jointbus::python

PyMODINIT_FUNC PyInit_jointbus(void) {
    return jointbus::python::guarded([] { return jointbus::python::initialise(); });
}
