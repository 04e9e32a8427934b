// jointbus.cycle: one control tick over several motors on one bus.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "damiao/cycle.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

void raise_item_error(Py_ssize_t position, const std::string& text) {
    const std::string full = "commands[" + std::to_string(position) + "]: " + text;
    PyObject* message = PyUnicode_FromStringAndSize(full.data(), static_cast<Py_ssize_t>(full.size()));
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
}

std::string not_convertible(PyObject* value, const char* class_name) {
    return "'" + type_name_of(value) + "' object cannot be converted to '" + class_name + "'";
}

// The setpoint a pair's second item holds, as the control mode it selects.
std::optional<damiao::ControlSetpoint> setpoint_of(PyObject* value, Py_ssize_t position) {
    PyTypeObject* mit = mit_setpoint_type();
    PyTypeObject* control = control_setpoint_type();
    if (mit == nullptr || control == nullptr) {
        return std::nullopt;
    }
    if (PyObject_TypeCheck(value, mit)) {
        return damiao::ControlSetpoint{record_of<damiao::MitSetpoint>(value)};
    }
    if (PyObject_TypeCheck(value, control)) {
        return record_of<damiao::ControlSetpoint>(value);
    }
    raise_item_error(position, not_convertible(value, "MitSetpoint or ControlSetpoint"));
    return std::nullopt;
}

// One item of `commands`, copied out at once: the records are values, so
// nothing the caller's code does later can reach them.
std::optional<damiao::CycleCommand> command_of(PyObject* item, Py_ssize_t position) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        raise_item_error(position, std::string(texts::cycle_pair_expected) + " '" + type_name_of(item) + "'");
        return std::nullopt;
    }
    PyObject* motor = PyTuple_GET_ITEM(item, 0);
    PyTypeObject* motor_type = damiao_type();
    if (motor_type == nullptr) {
        return std::nullopt;
    }
    if (!PyObject_TypeCheck(motor, motor_type)) {
        raise_item_error(position, not_convertible(motor, "Damiao"));
        return std::nullopt;
    }
    auto setpoint = setpoint_of(PyTuple_GET_ITEM(item, 1), position);
    if (!setpoint) {
        return std::nullopt;
    }
    return damiao::CycleCommand{record_of<damiao::Damiao>(motor), *setpoint};
}

// Every command, or nothing with the exception set. Iterating runs the
// caller's code (a generator), so each item is held while it is read.
std::optional<std::vector<damiao::CycleCommand>> collect_commands(PyObject* commands) {
    PyObject* iterator = PyObject_GetIter(commands);
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument 'commands': '%s' object is not iterable",
                         type_name_of(commands).c_str());
        }
        return std::nullopt;
    }
    std::vector<damiao::CycleCommand> collected;
    // A list or tuple, as nearly every caller passes, says how many follow.
    if (PyList_CheckExact(commands) || PyTuple_CheckExact(commands)) {
        collected.reserve(static_cast<std::size_t>(Py_SIZE(commands)));
    }
    Py_ssize_t position = 0;
    while (PyObject* item = PyIter_Next(iterator)) {
        auto command = command_of(item, position++);
        Py_DECREF(item);
        if (!command) {
            Py_DECREF(iterator);
            return std::nullopt;
        }
        collected.push_back(std::move(*command));
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) {
        return std::nullopt;
    }
    return collected;
}

PyObject* results_list(const damiao::CycleResults& results) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* slot = results[i] ? new_motor_state(*results[i]) : driver_error_object(results[i].error());
        if (slot == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), slot);
    }
    return list;
}

PyObject* cycle_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Parameter, 2> parameters{{{"bus", true}, {"commands", true}}};
        BoundArguments<2> bound;
        if (!bind_vectorcall("cycle()", parameters, args, nargs, kwnames, bound.slots()) ||
            !check_open_transport(bound[0])) {
            return nullptr;
        }
        const auto commands = collect_commands(bound[1]);
        if (!commands) {
            return nullptr;
        }
        const auto outcome = with_locked_transport(
            bound[0], [&](transport::CanTransport& bus) { return damiao::run_cycle(bus, *commands); });
        if (!outcome) {
            raise_cycle_failure(outcome.error());
            return nullptr;
        }
        return results_list(*outcome);
    });
}

PyMethodDef cycle_def = {"cycle", as_method(&cycle_call), METH_FASTCALL | METH_KEYWORDS, texts::cycle_doc};

}  // namespace

PyMethodDef* cycle_function() { return &cycle_def; }

}  // namespace jointbus::python
