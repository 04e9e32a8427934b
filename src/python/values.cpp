// MitLimits, MitSetpoint, ControlSetpoint, MotorState and mit_setpoint.
#include <array>
#include <string>
#include <utility>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/float_text.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

using damiao::ControlSetpoint;
using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

PyTypeObject* mit_limits_cell = nullptr;
PyTypeObject* mit_setpoint_cell = nullptr;
PyTypeObject* control_setpoint_cell = nullptr;
PyTypeObject* motor_state_cell = nullptr;

// --- shared pieces --------------------------------------------------------

PyObject* text_object(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <typename Record, auto Member>
PyObject* get_float(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(static_cast<double>(record_of<Record>(self).*Member)); });
}

template <typename Record, auto Member>
PyObject* get_u8(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(record_of<Record>(self).*Member); });
}

template <std::size_t N>
using Floats = std::array<float, N>;

// Converts bound float arguments in parameter order, defaults for the omitted.
template <std::size_t N>
std::optional<Floats<N>> convert_floats(const std::array<Parameter, N>& parameters, const Floats<N>& defaults,
                                        const BoundArguments<N>& bound) {
    Floats<N> values = defaults;
    for (std::size_t i = 0; i < N; ++i) {
        if (bound[i] == nullptr) {
            continue;
        }
        const std::optional<float> value = to_f32(bound[i], parameters[i].name);
        if (!value) {
            return std::nullopt;
        }
        values[i] = *value;
    }
    return values;
}

// --- MitLimits ------------------------------------------------------------

constexpr std::array<Parameter, 5> limits_parameters{{
    {"p_max", false}, {"v_max", false}, {"kp_max", false}, {"kd_max", false}, {"t_max", false}}};

MitLimits limits_from(const Floats<5>& values) { return {values[0], values[1], values[2], values[3], values[4]}; }

Floats<5> default_limits() {
    const MitLimits defaults;
    return {defaults.p_max, defaults.v_max, defaults.kp_max, defaults.kd_max, defaults.t_max};
}

PyObject* mit_limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments<5> bound;
        if (!bind_tuple("MitLimits.__new__()", limits_parameters, args, kwargs, bound.slots())) {
            return nullptr;
        }
        const auto values = convert_floats(limits_parameters, default_limits(), bound);
        return values ? new_value(type, limits_from(*values)) : nullptr;
    });
}

PyObject* mit_limits_repr(PyObject* self) {
    return guarded([&] {
        const MitLimits& limits = record_of<MitLimits>(self);
        return text_object("MitLimits(p_max=" + shortest_text(limits.p_max) + ", v_max=" + shortest_text(limits.v_max) +
                           ", kp_max=" + shortest_text(limits.kp_max) + ", kd_max=" + shortest_text(limits.kd_max) +
                           ", t_max=" + shortest_text(limits.t_max) + ")");
    });
}

template <std::size_t Index>
PyObject* mit_limits_preset(PyObject*, PyObject*) {
    return guarded([] { return new_value(mit_limits_type(), damiao::mit_limits_presets[Index].make()); });
}

// "dm4310()\n--\n\n" for every preset: a text signature and no docstring.
const std::array<std::string, damiao::mit_limits_presets.size()>& preset_docs() {
    static const auto docs = [] {
        std::array<std::string, damiao::mit_limits_presets.size()> texts;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            texts[i] = std::string(damiao::mit_limits_presets[i].name) + "()\n--\n\n";
        }
        return texts;
    }();
    return docs;
}

template <std::size_t... Index>
std::array<PyMethodDef, sizeof...(Index) + 1> preset_methods(std::index_sequence<Index...>) {
    return {{{damiao::mit_limits_presets[Index].name.data(), as_method(&mit_limits_preset<Index>),
              METH_NOARGS | METH_STATIC, preset_docs()[Index].c_str()}...,
             {nullptr, nullptr, 0, nullptr}}};
}

// Read-only attributes without docstrings.
template <typename Record, auto Member>
constexpr PyGetSetDef float_property(const char* name) {
    return {name, &get_float<Record, Member>, nullptr, nullptr, nullptr};
}

template <typename Record, auto Member>
constexpr PyGetSetDef u8_property(const char* name) {
    return {name, &get_u8<Record, Member>, nullptr, nullptr, nullptr};
}

PyGetSetDef mit_limits_getset[] = {
    float_property<MitLimits, &MitLimits::p_max>("p_max"),
    float_property<MitLimits, &MitLimits::v_max>("v_max"),
    float_property<MitLimits, &MitLimits::kp_max>("kp_max"),
    float_property<MitLimits, &MitLimits::kd_max>("kd_max"),
    float_property<MitLimits, &MitLimits::t_max>("t_max"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- MitSetpoint ----------------------------------------------------------

constexpr std::array<Parameter, 5> setpoint_parameters{{
    {"q", false}, {"dq", false}, {"kp", false}, {"kd", false}, {"tau", false}}};

// Shared by the constructor and mit_setpoint(): same arguments, same result.
PyObject* build_mit_setpoint(const char* full_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             PyObject* tuple_args, PyObject* kwargs) {
    BoundArguments<5> bound;
    const bool fits = tuple_args != nullptr
                          ? bind_tuple(full_name, setpoint_parameters, tuple_args, kwargs, bound.slots())
                          : bind_vectorcall(full_name, setpoint_parameters, args, nargs, kwnames, bound.slots());
    if (!fits) {
        return nullptr;
    }
    const auto values = convert_floats(setpoint_parameters, Floats<5>{}, bound);
    if (!values) {
        return nullptr;
    }
    return new_value(mit_setpoint_type(), MitSetpoint{(*values)[0], (*values)[1], (*values)[2], (*values)[3], (*values)[4]});
}

PyObject* mit_setpoint_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return build_mit_setpoint("MitSetpoint.__new__()", nullptr, 0, nullptr, args, kwargs); });
}

PyObject* mit_setpoint_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return build_mit_setpoint("mit_setpoint()", args, nargs, kwnames, nullptr, nullptr); });
}

// The interpreter's generic way to call a type, for when __new__ has been
// replaced from Python: it packs the arguments into a tuple and a dict.
PyObject* call_type_generically(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* positional = PyTuple_New(nargs);
    if (positional == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    }
    PyObject* keywords = nullptr;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (keyword_count > 0) {
        keywords = PyDict_New();
        for (Py_ssize_t i = 0; keywords != nullptr && i < keyword_count; ++i) {
            if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0) {
                Py_CLEAR(keywords);
            }
        }
        if (keywords == nullptr) {
            Py_DECREF(positional);
            return nullptr;
        }
    }
    PyObject* result = PyType_Type.tp_call(type, positional, keywords);
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    return result;
}

// MitSetpoint(...) straight from the caller's argument array: the generic
// path for calling a type packs every call's keywords into a new dict first,
// which costs more than building the setpoint itself.
PyObject* mit_setpoint_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (reinterpret_cast<PyTypeObject*>(type)->tp_new != &mit_setpoint_new) {
            return call_type_generically(type, args, nargs, kwnames);
        }
        return build_mit_setpoint("MitSetpoint.__new__()", args, nargs, kwnames, nullptr, nullptr);
    });
}

std::string setpoint_fields(const MitSetpoint& setpoint) {
    return "q=" + shortest_text(setpoint.q) + ", dq=" + shortest_text(setpoint.dq) + ", kp=" +
           shortest_text(setpoint.kp) + ", kd=" + shortest_text(setpoint.kd) + ", tau=" + shortest_text(setpoint.tau);
}

PyObject* mit_setpoint_repr(PyObject* self) {
    return guarded([&] { return text_object("MitSetpoint(" + setpoint_fields(record_of<MitSetpoint>(self)) + ")"); });
}

PyGetSetDef mit_setpoint_getset[] = {
    float_property<MitSetpoint, &MitSetpoint::q>("q"),
    float_property<MitSetpoint, &MitSetpoint::dq>("dq"),
    float_property<MitSetpoint, &MitSetpoint::kp>("kp"),
    float_property<MitSetpoint, &MitSetpoint::kd>("kd"),
    float_property<MitSetpoint, &MitSetpoint::tau>("tau"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef mit_setpoint_def = {"mit_setpoint", as_method(&mit_setpoint_call), METH_FASTCALL | METH_KEYWORDS,
                                texts::mit_setpoint_function_doc};

// --- ControlSetpoint ------------------------------------------------------

PyObject* control_mit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Parameter, 1> parameters{{{"setpoint", true}}};
        BoundArguments<1> bound;
        if (!bind_vectorcall("ControlSetpoint.mit()", parameters, args, nargs, kwnames, bound.slots())) {
            return nullptr;
        }
        PyTypeObject* setpoint_type = mit_setpoint_type();
        if (setpoint_type == nullptr || !check_instance(bound[0], setpoint_type, "MitSetpoint", "setpoint")) {
            return nullptr;
        }
        return new_value(control_setpoint_type(), ControlSetpoint{record_of<MitSetpoint>(bound[0])});
    });
}

// The float-only variants: bind, convert, build the record.
template <std::size_t N, typename Build>
PyObject* control_from_floats(const char* full_name, const std::array<Parameter, N>& parameters, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames, Build build) {
    BoundArguments<N> bound;
    if (!bind_vectorcall(full_name, parameters, args, nargs, kwnames, bound.slots())) {
        return nullptr;
    }
    const auto values = convert_floats(parameters, Floats<N>{}, bound);
    return values ? new_value(control_setpoint_type(), ControlSetpoint{build(*values)}) : nullptr;
}

PyObject* control_pos_vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 2> parameters{{{"position", true}, {"velocity", true}}};
    return guarded([&] {
        return control_from_floats("ControlSetpoint.pos_vel()", parameters, args, nargs, kwnames,
                                   [](const Floats<2>& v) { return damiao::PosVelSetpoint{v[0], v[1]}; });
    });
}

PyObject* control_vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"velocity", true}}};
    return guarded([&] {
        return control_from_floats("ControlSetpoint.vel()", parameters, args, nargs, kwnames,
                                   [](const Floats<1>& v) { return damiao::VelSetpoint{v[0]}; });
    });
}

PyObject* control_force_pos(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 3> parameters{
        {{"position", true}, {"velocity_limit", true}, {"torque_ratio", true}}};
    return guarded([&] {
        return control_from_floats("ControlSetpoint.force_pos()", parameters, args, nargs, kwnames,
                                   [](const Floats<3>& v) { return damiao::ForcePosSetpoint{v[0], v[1], v[2]}; });
    });
}

std::string control_text(const ControlSetpoint& setpoint) {
    switch (setpoint.index()) {
        case 0:
            return "ControlSetpoint.mit(" + setpoint_fields(std::get<MitSetpoint>(setpoint)) + ")";
        case 1: {
            const auto& pos_vel = std::get<damiao::PosVelSetpoint>(setpoint);
            return "ControlSetpoint.pos_vel(position=" + shortest_text(pos_vel.position) +
                   ", velocity=" + shortest_text(pos_vel.velocity) + ")";
        }
        case 2:
            return "ControlSetpoint.vel(" + shortest_text(std::get<damiao::VelSetpoint>(setpoint).velocity) + ")";
        default: {
            const auto& force_pos = std::get<damiao::ForcePosSetpoint>(setpoint);
            return "ControlSetpoint.force_pos(position=" + shortest_text(force_pos.position) +
                   ", velocity_limit=" + shortest_text(force_pos.velocity_limit) +
                   ", torque_ratio=" + shortest_text(force_pos.torque_ratio) + ")";
        }
    }
}

PyObject* control_setpoint_repr(PyObject* self) {
    return guarded([&] { return text_object(control_text(record_of<ControlSetpoint>(self))); });
}

PyObject* control_setpoint_mode(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(damiao::control_mode_of(record_of<ControlSetpoint>(self))); });
}

PyMethodDef control_setpoint_methods[] = {
    {"mit", as_method(&control_mit), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, texts::control_mit_doc},
    {"pos_vel", as_method(&control_pos_vel), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, texts::control_pos_vel_doc},
    {"vel", as_method(&control_vel), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, texts::control_vel_doc},
    {"force_pos", as_method(&control_force_pos), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     texts::control_force_pos_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef control_setpoint_getset[] = {
    {"mode", &control_setpoint_mode, nullptr, texts::control_mode_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- MotorState -----------------------------------------------------------

PyObject* motor_state_repr(PyObject* self) {
    return guarded([&] {
        const MotorState& state = record_of<MotorState>(self);
        return text_object("MotorState(motor_id=" + std::to_string(state.motor_id) +
                           ", error=" + std::to_string(state.error) + ", position=" + fixed4_text(state.position) +
                           ", velocity=" + fixed4_text(state.velocity) + ", torque=" + fixed4_text(state.torque) +
                           ", t_mos=" + std::to_string(state.t_mos) + ", t_rotor=" + std::to_string(state.t_rotor) +
                           ")");
    });
}

PyGetSetDef motor_state_getset[] = {
    u8_property<MotorState, &MotorState::motor_id>("motor_id"),
    u8_property<MotorState, &MotorState::error>("error"),
    float_property<MotorState, &MotorState::position>("position"),
    float_property<MotorState, &MotorState::velocity>("velocity"),
    float_property<MotorState, &MotorState::torque>("torque"),
    u8_property<MotorState, &MotorState::t_mos>("t_mos"),
    u8_property<MotorState, &MotorState::t_rotor>("t_rotor"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* type_name = PyType_GetName(type);
        if (type_name == nullptr) {
            return nullptr;
        }
        PyErr_Format(PyExc_TypeError, "%s%U", texts::no_constructor_prefix, type_name);
        Py_DECREF(type_name);
        return nullptr;
    });
}

void free_value(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyTypeObject* type_once(PyTypeObject*& cell, PyType_Spec& spec) {
    if (cell == nullptr) {
        cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return cell;
}

PyTypeObject* mit_limits_type() {
    static auto methods = preset_methods(std::make_index_sequence<damiao::mit_limits_presets.size()>{});
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&mit_limits_new)},       {Py_tp_dealloc, slot(&free_value)},
        {Py_tp_doc, const_cast<char*>(texts::mit_limits_doc)},
        {Py_tp_getset, mit_limits_getset},        {Py_tp_methods, methods.data()},
        {Py_tp_repr, slot(&mit_limits_repr)},     {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.MitLimits", sizeof(MitLimitsObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_once(mit_limits_cell, spec);
}

PyTypeObject* mit_setpoint_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&mit_setpoint_new)},      {Py_tp_dealloc, slot(&free_value)},
        {Py_tp_doc, const_cast<char*>(texts::mit_setpoint_doc)},
        {Py_tp_getset, mit_setpoint_getset},       {Py_tp_repr, slot(&mit_setpoint_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.MitSetpoint", sizeof(MitSetpointObject), 0, Py_TPFLAGS_DEFAULT, slots};
    const bool made_now = mit_setpoint_cell == nullptr;
    PyTypeObject* type = type_once(mit_setpoint_cell, spec);
    if (made_now && type != nullptr) {
        // No slot sets this before Python 3.14; calling a type reads it all the same.
        type->tp_vectorcall = &mit_setpoint_vectorcall;
    }
    return type;
}

PyTypeObject* control_setpoint_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&refuse_construction)},      {Py_tp_dealloc, slot(&free_value)},
        {Py_tp_methods, control_setpoint_methods},    {Py_tp_getset, control_setpoint_getset},
        {Py_tp_repr, slot(&control_setpoint_repr)},   {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.ControlSetpoint", sizeof(ControlSetpointObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_once(control_setpoint_cell, spec);
}

PyTypeObject* motor_state_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&refuse_construction)}, {Py_tp_dealloc, slot(&free_value)},
        {Py_tp_getset, motor_state_getset},      {Py_tp_repr, slot(&motor_state_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec{"jointbus.MotorState", sizeof(MotorStateObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_once(motor_state_cell, spec);
}

PyMethodDef* mit_setpoint_function() { return &mit_setpoint_def; }

PyObject* new_motor_state(const damiao::MotorState& state) { return new_value(motor_state_type(), state); }

}  // namespace jointbus::python
