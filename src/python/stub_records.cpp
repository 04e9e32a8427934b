// The type records of the module's six classes and its one function. Every
// docstring is taken from texts.hpp, and every parameter list is checked at
// compile time against the text signature the module shows at run time, so
// the stub written from these records cannot drift from the module.
#include "python/stub_records.hpp"

#include <array>
#include <cstddef>

#include "damiao/mit.hpp"
#include "python/texts.hpp"

namespace jointbus::python::stub_records {

constinit std::atomic<PyClassInfo*> class_records{nullptr};
constinit std::atomic<PyMethodsInfo*> methods_records{nullptr};
constinit std::atomic<PyFunctionInfo*> function_records{nullptr};

namespace {

constexpr std::string_view mit_limits_name = "MitLimits";
constexpr std::string_view mit_setpoint_name = "MitSetpoint";
constexpr std::string_view control_setpoint_name = "ControlSetpoint";
constexpr std::string_view motor_state_name = "MotorState";
constexpr std::string_view socketcan_transport_name = "SocketCanTransport";
constexpr std::string_view damiao_name = "Damiao";

// --- hints ----------------------------------------------------------------

TypeInfo builtin(std::string_view name) { return {std::string(name), {}}; }
TypeInfo own_class(std::string_view name) { return {std::string(name), {ModuleRef{texts::module_name}}}; }

TypeInfo integer() { return builtin("int"); }
TypeInfo float32() { return builtin("float"); }  // the value crosses as a Python float
TypeInfo text() { return builtin("str"); }
TypeInfo nothing() { return builtin("None"); }

TypeInfo mit_limits() { return own_class(mit_limits_name); }
TypeInfo mit_setpoint() { return own_class(mit_setpoint_name); }
TypeInfo control_setpoint() { return own_class(control_setpoint_name); }
TypeInfo motor_state() { return own_class(motor_state_name); }
TypeInfo socketcan_transport() { return own_class(socketcan_transport_name); }

// "X or None": wraps whatever the inner hint says, keeping its imports.
template <TypeHint Inner>
TypeInfo optional_of() {
    TypeInfo inner = Inner();
    inner.name = "typing.Optional[" + inner.name + "]";
    inner.import.insert(ModuleRef{"typing"});
    return inner;
}

// --- agreement with the runtime texts -------------------------------------

// The body of a runtime docstring: what follows the text-signature line.
constexpr std::string_view doc_body(std::string_view runtime_doc) {
    constexpr std::string_view marker = "\n--\n\n";
    const std::size_t at = runtime_doc.find(marker);
    return at == std::string_view::npos ? runtime_doc : runtime_doc.substr(at + marker.size());
}

// Cuts the text before the next `separator` off `rest`.
constexpr std::string_view take_token(std::string_view& rest, std::string_view separator) {
    const std::size_t at = rest.find(separator);
    const std::string_view token = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view{} : rest.substr(at + separator.size());
    return token;
}

// True when the runtime text signature heading `runtime_doc` ("name($self,
// a, b=1)") names `name` and exactly `params` in order, and `signature` gives
// a default to exactly the parameters that have one at run time.
constexpr bool agrees(std::string_view runtime_doc, std::string_view name, std::span<const ParamHint> params,
                      SignatureText signature) {
    const std::size_t open = runtime_doc.find('(');
    const std::size_t close = runtime_doc.find(")\n--\n\n");
    if (open == std::string_view::npos || close == std::string_view::npos || runtime_doc.substr(0, open) != name) {
        return false;
    }
    std::string_view runtime = runtime_doc.substr(open + 1, close - open - 1);
    if (runtime.starts_with("$")) {
        take_token(runtime, ", ");  // the bound object
    }
    std::string_view recorded = signature.value_or(std::string_view{});
    for (const ParamHint& param : params) {
        if (runtime.empty()) {
            return false;
        }
        const std::string_view runtime_token = take_token(runtime, ", ");
        const bool runtime_default = runtime_token.find('=') != std::string_view::npos;
        if (runtime_token.substr(0, runtime_token.find('=')) != param.name) {
            return false;
        }
        if (!signature) {
            if (runtime_default) {
                return false;
            }
            continue;
        }
        if (recorded.empty()) {
            return false;
        }
        const std::string_view recorded_token = take_token(recorded, ",");
        const bool recorded_default = recorded_token.ends_with(" = ...");
        const std::string_view recorded_name =
            recorded_default ? recorded_token.substr(0, recorded_token.size() - 6) : recorded_token;
        if (recorded_name != param.name || recorded_default != runtime_default) {
            return false;
        }
    }
    return runtime.empty() && recorded.empty();
}

// --- MitLimits ------------------------------------------------------------

struct MitLimitsClass;
struct MitSetpointClass;
struct ControlSetpointClass;
struct MotorStateClass;
struct SocketCanTransportClass;
struct DamiaoClass;

template <typename Class>
constexpr char identity = 0;

template <typename Class>
constexpr ClassKey key_of() {
    return ClassKey{&identity<Class>};
}

constexpr std::array<GetterHint, 5> mit_limits_getters{{
    {"p_max", float32}, {"v_max", float32}, {"kp_max", float32}, {"kd_max", float32}, {"t_max", float32}}};

// __repr__, then one static preset per model in the order the core lists them.
constexpr auto mit_limits_methods = [] {
    std::array<MethodHint, 1 + damiao::mit_limits_presets.size()> methods{};
    methods[0] = {"__repr__", {}, text, {}, MethodKind::instance};
    for (std::size_t i = 0; i < damiao::mit_limits_presets.size(); ++i) {
        methods[i + 1] = {damiao::mit_limits_presets[i].name, {}, mit_limits, {}, MethodKind::static_method};
    }
    return methods;
}();

constexpr std::array<ParamHint, 5> mit_limits_params{{
    {"p_max", float32}, {"v_max", float32}, {"kp_max", float32}, {"kd_max", float32}, {"t_max", float32}}};
constexpr std::string_view mit_limits_signature = "p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ...";
static_assert(agrees(texts::mit_limits_doc, mit_limits_name, mit_limits_params, mit_limits_signature));

constinit PyClassInfo mit_limits_class{
    key_of<MitLimitsClass>(), mit_limits_name, doc_body(texts::mit_limits_doc), {}, texts::module_name};
constinit PyMethodsInfo mit_limits_methods_info{key_of<MitLimitsClass>(), mit_limits_getters, mit_limits_methods,
                                                NewHint{mit_limits_params, mit_limits_signature}};

// --- MitSetpoint ----------------------------------------------------------

constexpr std::array<GetterHint, 5> mit_setpoint_getters{{
    {"q", float32}, {"dq", float32}, {"kp", float32}, {"kd", float32}, {"tau", float32}}};
constexpr std::array<MethodHint, 1> repr_only{{{"__repr__", {}, text, {}, MethodKind::instance}}};
constexpr std::array<ParamHint, 5> mit_setpoint_params{{
    {"q", float32}, {"dq", float32}, {"kp", float32}, {"kd", float32}, {"tau", float32}}};
constexpr std::string_view mit_setpoint_signature = "q = ...,dq = ...,kp = ...,kd = ...,tau = ...";
static_assert(agrees(texts::mit_setpoint_doc, mit_setpoint_name, mit_setpoint_params, mit_setpoint_signature));

constinit PyClassInfo mit_setpoint_class{
    key_of<MitSetpointClass>(), mit_setpoint_name, doc_body(texts::mit_setpoint_doc), {}, texts::module_name};
constinit PyMethodsInfo mit_setpoint_methods_info{key_of<MitSetpointClass>(), mit_setpoint_getters, repr_only,
                                                  NewHint{mit_setpoint_params, mit_setpoint_signature}};

// --- ControlSetpoint ------------------------------------------------------

constexpr std::array<GetterHint, 1> control_setpoint_getters{{{"mode", integer}}};
constexpr std::array<ParamHint, 1> control_mit_params{{{"setpoint", mit_setpoint}}};
constexpr std::array<ParamHint, 2> control_pos_vel_params{{{"position", float32}, {"velocity", float32}}};
constexpr std::array<ParamHint, 1> control_vel_params{{{"velocity", float32}}};
constexpr std::array<ParamHint, 3> control_force_pos_params{
    {{"position", float32}, {"velocity_limit", float32}, {"torque_ratio", float32}}};
static_assert(agrees(texts::control_mit_doc, "mit", control_mit_params, std::nullopt));
static_assert(agrees(texts::control_pos_vel_doc, "pos_vel", control_pos_vel_params, std::nullopt));
static_assert(agrees(texts::control_vel_doc, "vel", control_vel_params, std::nullopt));
static_assert(agrees(texts::control_force_pos_doc, "force_pos", control_force_pos_params, std::nullopt));

constexpr std::array<MethodHint, 5> control_setpoint_methods{{
    {"mit", control_mit_params, control_setpoint, doc_body(texts::control_mit_doc), MethodKind::static_method},
    {"pos_vel", control_pos_vel_params, control_setpoint, doc_body(texts::control_pos_vel_doc),
     MethodKind::static_method},
    {"vel", control_vel_params, control_setpoint, doc_body(texts::control_vel_doc), MethodKind::static_method},
    {"force_pos", control_force_pos_params, control_setpoint, doc_body(texts::control_force_pos_doc),
     MethodKind::static_method},
    {"__repr__", {}, text, {}, MethodKind::instance},
}};

// No constructor: instances come only from the static methods.
constinit PyClassInfo control_setpoint_class{key_of<ControlSetpointClass>(), control_setpoint_name, {}, {},
                                             texts::module_name};
constinit PyMethodsInfo control_setpoint_methods_info{key_of<ControlSetpointClass>(), control_setpoint_getters,
                                                      control_setpoint_methods, std::nullopt};

// --- MotorState -----------------------------------------------------------

constexpr std::array<GetterHint, 7> motor_state_getters{{
    {"motor_id", integer},
    {"error", integer},
    {"position", float32},
    {"velocity", float32},
    {"torque", float32},
    {"t_mos", integer},
    {"t_rotor", integer},
}};

// No constructor: states come only from the motor's replies.
constinit PyClassInfo motor_state_class{key_of<MotorStateClass>(), motor_state_name, {}, {}, texts::module_name};
constinit PyMethodsInfo motor_state_methods_info{key_of<MotorStateClass>(), motor_state_getters, repr_only,
                                                 std::nullopt};

// --- SocketCanTransport ---------------------------------------------------

constexpr std::array<ParamHint, 1> socketcan_transport_params{{{"iface", text}}};
static_assert(agrees(texts::socketcan_transport_doc, socketcan_transport_name, socketcan_transport_params,
                     std::nullopt));

constinit PyClassInfo socketcan_transport_class{key_of<SocketCanTransportClass>(), socketcan_transport_name,
                                                doc_body(texts::socketcan_transport_doc), {}, texts::module_name};
constinit PyMethodsInfo socketcan_transport_methods_info{
    key_of<SocketCanTransportClass>(), {}, {}, NewHint{socketcan_transport_params, std::nullopt}};

// --- Damiao ---------------------------------------------------------------

constexpr std::array<GetterHint, 2> damiao_getters{{{"motor_id", integer}, {"master_id", integer}}};
constexpr std::array<ParamHint, 1> bus_only{{{"bus", socketcan_transport}}};
constexpr std::array<ParamHint, 2> bus_and_mit_setpoint{{{"bus", socketcan_transport}, {"setpoint", mit_setpoint}}};
constexpr std::array<ParamHint, 2> bus_and_control_setpoint{
    {{"bus", socketcan_transport}, {"setpoint", control_setpoint}}};
static_assert(agrees(texts::enable_doc, "enable", bus_only, std::nullopt));
static_assert(agrees(texts::disable_doc, "disable", bus_only, std::nullopt));
static_assert(agrees(texts::set_zero_doc, "set_zero", bus_only, std::nullopt));
static_assert(agrees(texts::clear_error_doc, "clear_error", bus_only, std::nullopt));
static_assert(agrees(texts::mit_control_doc, "mit_control", bus_and_mit_setpoint, std::nullopt));
static_assert(agrees(texts::control_doc, "control", bus_and_control_setpoint, std::nullopt));
static_assert(agrees(texts::ensure_mit_mode_doc, "ensure_mit_mode", bus_only, std::nullopt));

constexpr std::array<MethodHint, 8> damiao_methods{{
    {"__repr__", {}, text, {}, MethodKind::instance},
    {"enable", bus_only, motor_state, doc_body(texts::enable_doc), MethodKind::instance},
    {"disable", bus_only, motor_state, doc_body(texts::disable_doc), MethodKind::instance},
    {"set_zero", bus_only, motor_state, doc_body(texts::set_zero_doc), MethodKind::instance},
    {"clear_error", bus_only, motor_state, doc_body(texts::clear_error_doc), MethodKind::instance},
    {"mit_control", bus_and_mit_setpoint, motor_state, doc_body(texts::mit_control_doc), MethodKind::instance},
    {"control", bus_and_control_setpoint, motor_state, doc_body(texts::control_doc), MethodKind::instance},
    {"ensure_mit_mode", bus_only, nothing, doc_body(texts::ensure_mit_mode_doc), MethodKind::instance},
}};

constexpr std::array<ParamHint, 4> damiao_params{
    {{"motor_id", integer}, {"master_id", integer}, {"limits", optional_of<mit_limits>}, {"timeout_ms", integer}}};
constexpr std::string_view damiao_signature = "motor_id,master_id,limits = ...,timeout_ms = ...";
static_assert(agrees(texts::damiao_doc, damiao_name, damiao_params, damiao_signature));

constinit PyClassInfo damiao_class{key_of<DamiaoClass>(), damiao_name, doc_body(texts::damiao_doc), {},
                                   texts::module_name};
constinit PyMethodsInfo damiao_methods_info{key_of<DamiaoClass>(), damiao_getters, damiao_methods,
                                            NewHint{damiao_params, damiao_signature}};

// --- mit_setpoint ---------------------------------------------------------

constexpr std::string_view mit_setpoint_function_name = "mit_setpoint";
static_assert(agrees(texts::mit_setpoint_function_doc, mit_setpoint_function_name, mit_setpoint_params,
                     mit_setpoint_signature));

constinit PyFunctionInfo mit_setpoint_function{mit_setpoint_function_name,
                                               mit_setpoint_params,
                                               mit_setpoint,
                                               doc_body(texts::mit_setpoint_function_doc),
                                               mit_setpoint_signature,
                                               std::nullopt};

// --- cycle ----------------------------------------------------------------

TypeInfo cycle_commands() {
    return {"typing.Iterable[tuple[Damiao, typing.Union[MitSetpoint, ControlSetpoint]]]",
            {ModuleRef{"typing"}, ModuleRef{texts::module_name}}};
}
TypeInfo cycle_results() {
    return {"list[typing.Union[MotorState, RuntimeError]]", {ModuleRef{"typing"}, ModuleRef{texts::module_name}}};
}

constexpr std::string_view cycle_function_name = "cycle";
constexpr std::array<ParamHint, 2> cycle_params{{{"bus", socketcan_transport}, {"commands", cycle_commands}}};
static_assert(agrees(texts::cycle_doc, cycle_function_name, cycle_params, std::nullopt));

constinit PyFunctionInfo cycle_function{
    cycle_function_name, cycle_params, cycle_results, doc_body(texts::cycle_doc), std::nullopt, std::nullopt};

// --- publication ----------------------------------------------------------

// Pushes its record when the library is loaded, before the module's init
// function can run.
template <typename Record>
struct Registration {
    Registration(std::atomic<Record*>& head, Record& record) noexcept { push_record(head, record); }
};

const Registration<PyClassInfo> class_registrations[] = {
    {class_records, mit_limits_class},       {class_records, mit_setpoint_class},
    {class_records, control_setpoint_class}, {class_records, motor_state_class},
    {class_records, socketcan_transport_class}, {class_records, damiao_class},
};
const Registration<PyMethodsInfo> methods_registrations[] = {
    {methods_records, mit_limits_methods_info},       {methods_records, mit_setpoint_methods_info},
    {methods_records, control_setpoint_methods_info}, {methods_records, motor_state_methods_info},
    {methods_records, socketcan_transport_methods_info}, {methods_records, damiao_methods_info},
};
const Registration<PyFunctionInfo> function_registrations[] = {
    {function_records, mit_setpoint_function},
    {function_records, cycle_function},
};

}  // namespace
}  // namespace jointbus::python::stub_records
