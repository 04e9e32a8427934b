// Every fixed text the module shows Python: names, docstrings with their text
// signatures, and error messages. Kept in one place so that a change of
// wording is one edit, and so the interpreter's own argument parsers (whose
// texts differ between versions) are never relied on.
#pragma once

namespace jointbus::python::texts {

inline constexpr const char* module_name = "jointbus";
inline constexpr const char* version = "1.1.1";

// Type docstrings: name, text signature, the marker, and an empty body.
inline constexpr const char* mit_limits_doc =
    "MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n";
inline constexpr const char* mit_setpoint_doc = "MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n";
inline constexpr const char* damiao_doc = "Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n";
inline constexpr const char* socketcan_transport_doc = "SocketCanTransport(iface)\n--\n\n";

inline constexpr const char* mit_setpoint_function_doc =
    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
    "Build a `MitSetpoint` (handy when keyword args are awkward).";

inline constexpr const char* cycle_doc =
    "cycle(bus, commands)\n--\n\n"
    "One control tick over several motors on one bus: sends every command's\n"
    "frame, then collects every reply. `commands` is an iterable of\n"
    "(Damiao, MitSetpoint or ControlSetpoint) pairs. Returns a list in the same\n"
    "order: each motor's MotorState or, for a motor that did not answer in time\n"
    "or answered short, the RuntimeError its own command would have raised\n"
    "(returned, not raised).";

inline constexpr const char* control_mit_doc = "mit(setpoint)\n--\n\nMIT impedance setpoint (control mode 1).";
inline constexpr const char* control_pos_vel_doc =
    "pos_vel(position, velocity)\n--\n\nPOS_VEL setpoint (control mode 2).";
inline constexpr const char* control_vel_doc = "vel(velocity)\n--\n\nVEL setpoint (control mode 3).";
inline constexpr const char* control_force_pos_doc =
    "force_pos(position, velocity_limit, torque_ratio)\n--\n\nFORCE_POS setpoint (control mode 4).";
inline constexpr const char* control_mode_doc = "Numeric control mode (matches the value written to register 10).";

inline constexpr const char* enable_doc = "enable($self, bus)\n--\n\n";
inline constexpr const char* disable_doc = "disable($self, bus)\n--\n\n";
inline constexpr const char* set_zero_doc = "set_zero($self, bus)\n--\n\n";
inline constexpr const char* clear_error_doc = "clear_error($self, bus)\n--\n\n";
inline constexpr const char* mit_control_doc = "mit_control($self, bus, setpoint)\n--\n\n";
inline constexpr const char* control_doc =
    "control($self, bus, setpoint)\n--\n\n"
    "Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on\n"
    "the `ControlSetpoint` variant. The motor must already be in the\n"
    "matching control mode (use `ensure_mit_mode()` or write register 10).";
inline constexpr const char* ensure_mit_mode_doc =
    "ensure_mit_mode($self, bus)\n--\n\n"
    "Force the firmware into MIT control mode (register 10 = 1). Some\n"
    "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
    "silently ignored.";

// Errors.
inline constexpr const char* no_constructor_prefix = "No constructor defined for ";
inline constexpr const char* out_of_range_integral = "out of range integral type conversion attempted";
inline constexpr const char* unknown_type_name = "<failed to extract type name>";
inline constexpr const char* text_target_name = "PyString";
inline constexpr const char* cycle_pair_expected = "expected a (Damiao, MitSetpoint or ControlSetpoint) pair, got";
inline constexpr const char* keywords_must_be_strings = "keywords must be strings";
inline constexpr const char* transport_not_open =
    "argument 'bus': this SocketCanTransport has no open interface (it was not made by its constructor)";
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
inline constexpr const char* subinterpreters_unsupported =
    "jointbus does not support sub-interpreters: it is already loaded in another interpreter of this process";
inline constexpr const char* logging_init_failed = "Failed to initialize python logging";
inline constexpr const char* log_sink_taken = "the process's log sink is already set";
inline constexpr const char* transport_lock_poisoned =
    "the transport's lock is poisoned: an earlier call failed internally while holding it";
inline constexpr const char* non_text_failure = "internal failure without a message";

inline constexpr const char* panic_exception_name = "jointbus_runtime.PanicException";
inline constexpr const char* panic_exception_doc =
    "Raised when native code called from Python fails internally (a broken invariant, a poisoned lock,\n"
    "an exhausted allocation).\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it is not caught by\n"
    "`except Exception` and typically propagates all the way up and ends the interpreter.";

}  // namespace jointbus::python::texts
