// The module's six classes: the layout of their instances and their type
// objects, each created once per process on first need.
#pragma once

#include <Python.h>

#include <memory>

#include "damiao/driver.hpp"
#include "damiao/mit.hpp"
#include "python/transport_lock.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::python {

// A value class instance: the interpreter's header and one record by value.
template <typename Record>
struct ValueObject {
    PyObject_HEAD
    Record record;
};

using MitLimitsObject = ValueObject<damiao::MitLimits>;
using MitSetpointObject = ValueObject<damiao::MitSetpoint>;
using ControlSetpointObject = ValueObject<damiao::ControlSetpoint>;
using MotorStateObject = ValueObject<damiao::MotorState>;
using DamiaoObject = ValueObject<damiao::Damiao>;

// One open transport behind its lock.
struct TransportState {
    explicit TransportState(transport::SocketCanTransport opened) : transport(std::move(opened)) {}
    TransportLock lock;
    transport::SocketCanTransport transport;
};

struct SocketCanTransportObject {
    PyObject_HEAD
    TransportState* state;  // owned; the socket closes when the object goes
};

// Type objects, created on first need and kept for the life of the process.
// Each returns nullptr with an exception set if the type cannot be made.
PyTypeObject* mit_limits_type();
PyTypeObject* mit_setpoint_type();
PyTypeObject* control_setpoint_type();
PyTypeObject* motor_state_type();
PyTypeObject* damiao_type();
PyTypeObject* socketcan_transport_type();

// The module functions' definitions.
PyMethodDef* mit_setpoint_function();
PyMethodDef* cycle_function();

// True when `bus` is a SocketCanTransport with an open socket; otherwise sets
// the TypeError or ValueError the argument 'bus' deserves.
[[nodiscard]] bool check_open_transport(PyObject* bus);

// Runs one driver operation on a checked transport with its lock held. The
// caller holds a strong reference to `bus`, so its socket cannot close while
// the exchange runs.
template <typename Operation>
auto with_locked_transport(PyObject* bus, Operation operation) {
    TransportState& state = *reinterpret_cast<SocketCanTransportObject*>(bus)->state;
    return run_locked(state.lock, [&] { return operation(state.transport); });
}

// A new MotorState object wrapping a record the driver returned.
PyObject* new_motor_state(const damiao::MotorState& state);

// Makes a type from its spec once; later calls return the same object.
PyTypeObject* type_once(PyTypeObject*& cell, PyType_Spec& spec);

// A new instance of a value class holding `record`.
template <typename Record>
PyObject* new_value(PyTypeObject* type, const Record& record) {
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) {
        new (&reinterpret_cast<ValueObject<Record>*>(object)->record) Record(record);
    }
    return object;
}

template <typename Record>
const Record& record_of(PyObject* object) {
    return reinterpret_cast<ValueObject<Record>*>(object)->record;
}

// tp_new of a class without a constructor, and the common deallocator of
// classes whose record needs no cleanup.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void free_value(PyObject* self);

// Casts a method implementation to the generic function pointer the method
// table stores.
template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// A function as the untyped pointer a PyType_Slot holds.
void* slot(auto function) { return reinterpret_cast<void*>(function); }

}  // namespace jointbus::python
