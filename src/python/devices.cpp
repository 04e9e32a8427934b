// Damiao and SocketCanTransport: the classes that touch the bus.
#include <array>
#include <cstdio>
#include <string>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

using damiao::Damiao;

PyTypeObject* damiao_cell = nullptr;
PyTypeObject* socketcan_transport_cell = nullptr;

// --- SocketCanTransport ---------------------------------------------------

PyObject* transport_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Parameter, 1> parameters{{{"iface", true}}};
        BoundArguments<1> bound;
        if (!bind_tuple("SocketCanTransport.__new__()", parameters, args, kwargs, bound.slots())) {
            return nullptr;
        }
        const auto iface = to_text(bound[0], "iface");
        if (!iface) {
            return nullptr;
        }
        auto opened = transport::SocketCanTransport::open(*iface);
        if (!opened) {
            raise_open_error(opened.error());
            return nullptr;
        }
        // Owned by a local until the object exists: if allocation fails the
        // socket closes on the way out.
        auto state = std::make_unique<TransportState>(std::move(*opened));
        PyObject* object = type->tp_alloc(type, 0);
        if (object != nullptr) {
            reinterpret_cast<SocketCanTransportObject*>(object)->state = state.release();
        }
        return object;
    });
}

void transport_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<SocketCanTransportObject*>(self);
    delete object->state;  // closes the socket; a failed close is ignored
    free_value(self);
}

// --- Damiao ---------------------------------------------------------------

PyObject* damiao_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Parameter, 4> parameters{
            {{"motor_id", true}, {"master_id", true}, {"limits", false}, {"timeout_ms", false}}};
        BoundArguments<4> bound;
        if (!bind_tuple("Damiao.__new__()", parameters, args, kwargs, bound.slots())) {
            return nullptr;
        }
        const auto motor_id = to_u16(bound[0], "motor_id");
        if (!motor_id) {
            return nullptr;
        }
        const auto master_id = to_u16(bound[1], "master_id");
        if (!master_id) {
            return nullptr;
        }
        std::optional<damiao::MitLimits> limits;
        if (bound[2] != nullptr && bound[2] != Py_None) {
            PyTypeObject* limits_type = mit_limits_type();
            if (limits_type == nullptr || !check_instance(bound[2], limits_type, "MitLimits", "limits")) {
                return nullptr;
            }
            limits = record_of<damiao::MitLimits>(bound[2]);
        }
        std::uint64_t timeout_ms = 20;
        if (bound[3] != nullptr) {
            const auto converted = to_u64(bound[3], "timeout_ms");
            if (!converted) {
                return nullptr;
            }
            timeout_ms = *converted;
        }
        return new_value(type, Damiao::create(*motor_id, *master_id, limits, timeout_ms));
    });
}

PyObject* damiao_repr(PyObject* self) {
    return guarded([&] {
        const Damiao& driver = record_of<Damiao>(self);
        char text[64];
        const int length = std::snprintf(text, sizeof text, "Damiao(motor_id=0x%x, master_id=0x%x)",
                                         unsigned{driver.motor_id}, unsigned{driver.master_id});
        return PyUnicode_FromStringAndSize(text, length);
    });
}

PyObject* damiao_motor_id(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(record_of<Damiao>(self).motor_id); });
}

PyObject* damiao_master_id(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(record_of<Damiao>(self).master_id); });
}

PyObject* state_or_error(const damiao::Result<damiao::MotorState>& result) {
    if (!result) {
        raise_driver_error(result.error());
        return nullptr;
    }
    return new_motor_state(*result);
}

// Binds `bus` (and the setpoint, for the two setpoint commands) with the
// method's own name in error texts.
template <std::size_t N>
bool bind_command(const char* full_name, const std::array<Parameter, N>& parameters, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, BoundArguments<N>& bound) {
    if (!bind_vectorcall(full_name, parameters, args, nargs, kwnames, bound.slots())) {
        return false;
    }
    return check_open_transport(bound[0]);
}

constexpr std::array<Parameter, 1> bus_only{{{"bus", true}}};
constexpr std::array<Parameter, 2> bus_and_setpoint{{{"bus", true}, {"setpoint", true}}};

using FixedCommand = damiao::Result<damiao::MotorState> (Damiao::*)(transport::CanTransport&) const;

template <FixedCommand Command>
PyObject* fixed_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const char* full_name) {
    return guarded([&]() -> PyObject* {
        BoundArguments<1> bound;
        if (!bind_command(full_name, bus_only, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const Damiao& driver = record_of<Damiao>(self);
        const auto result = with_locked_transport(bound[0], [&](transport::CanTransport& bus) {
            return (driver.*Command)(bus);
        });
        return state_or_error(result);
    });
}

PyObject* damiao_enable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_command<&Damiao::enable>(self, args, nargs, kwnames, "Damiao.enable()");
}
PyObject* damiao_disable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_command<&Damiao::disable>(self, args, nargs, kwnames, "Damiao.disable()");
}
PyObject* damiao_set_zero(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_command<&Damiao::set_zero>(self, args, nargs, kwnames, "Damiao.set_zero()");
}
PyObject* damiao_clear_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_command<&Damiao::clear_error>(self, args, nargs, kwnames, "Damiao.clear_error()");
}

// mit_control takes a MitSetpoint, control a ControlSetpoint; both copy the
// record out before the transport is locked.
template <typename Record>
PyObject* setpoint_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const char* full_name, PyTypeObject* (*setpoint_type)(), const char* class_name) {
    return guarded([&]() -> PyObject* {
        BoundArguments<2> bound;
        if (!bind_command(full_name, bus_and_setpoint, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyTypeObject* type = setpoint_type();
        if (type == nullptr || !check_instance(bound[1], type, class_name, "setpoint")) {
            return nullptr;
        }
        const damiao::ControlSetpoint setpoint{record_of<Record>(bound[1])};
        const Damiao& driver = record_of<Damiao>(self);
        const auto result = with_locked_transport(bound[0], [&](transport::CanTransport& bus) {
            return driver.control(bus, setpoint);
        });
        return state_or_error(result);
    });
}

PyObject* damiao_mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return setpoint_command<damiao::MitSetpoint>(self, args, nargs, kwnames, "Damiao.mit_control()",
                                                 &mit_setpoint_type, "MitSetpoint");
}

PyObject* damiao_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return setpoint_command<damiao::ControlSetpoint>(self, args, nargs, kwnames, "Damiao.control()",
                                                     &control_setpoint_type, "ControlSetpoint");
}

PyObject* damiao_ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments<1> bound;
        if (!bind_command("Damiao.ensure_mit_mode()", bus_only, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const Damiao& driver = record_of<Damiao>(self);
        const auto result = with_locked_transport(bound[0], [&](transport::CanTransport& bus) {
            return driver.ensure_control_mode(bus, damiao::mit_mode);
        });
        if (!result) {
            raise_driver_error(result.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

constexpr int command_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef damiao_methods[] = {
    {"enable", as_method(&damiao_enable), command_flags, texts::enable_doc},
    {"disable", as_method(&damiao_disable), command_flags, texts::disable_doc},
    {"set_zero", as_method(&damiao_set_zero), command_flags, texts::set_zero_doc},
    {"clear_error", as_method(&damiao_clear_error), command_flags, texts::clear_error_doc},
    {"mit_control", as_method(&damiao_mit_control), command_flags, texts::mit_control_doc},
    {"control", as_method(&damiao_control), command_flags, texts::control_doc},
    {"ensure_mit_mode", as_method(&damiao_ensure_mit_mode), command_flags, texts::ensure_mit_mode_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef damiao_getset[] = {
    {"motor_id", &damiao_motor_id, nullptr, nullptr, nullptr},
    {"master_id", &damiao_master_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool check_open_transport(PyObject* bus) {
    PyTypeObject* transport_type = socketcan_transport_type();
    if (transport_type == nullptr || !check_instance(bus, transport_type, "SocketCanTransport", "bus")) {
        return false;
    }
    // The type is open to change from Python: with its __new__ replaced, an
    // instance can exist that never opened a socket.
    if (reinterpret_cast<SocketCanTransportObject*>(bus)->state == nullptr) {
        PyErr_SetString(PyExc_ValueError, texts::transport_not_open);
        return false;
    }
    return true;
}

PyTypeObject* damiao_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&damiao_new)},      {Py_tp_dealloc, slot(&free_value)},
        {Py_tp_doc, const_cast<char*>(texts::damiao_doc)},
        {Py_tp_methods, damiao_methods},     {Py_tp_getset, damiao_getset},
        {Py_tp_repr, slot(&damiao_repr)},    {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.Damiao", sizeof(DamiaoObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_once(damiao_cell, spec);
}

PyTypeObject* socketcan_transport_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&transport_new)},
        {Py_tp_dealloc, slot(&transport_dealloc)},
        {Py_tp_doc, const_cast<char*>(texts::socketcan_transport_doc)},
        {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.SocketCanTransport", sizeof(SocketCanTransportObject), 0, Py_TPFLAGS_DEFAULT,
                            slots};
    return type_once(socketcan_transport_cell, spec);
}

}  // namespace jointbus::python
