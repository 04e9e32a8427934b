// The --help text: every option, the protocol as the virtual motor speaks it,
// and the physical model with each model's default parameters.
#include <cstdio>

#include "options.hpp"

namespace jointbus::sim {
namespace {

constexpr std::string_view usage = R"(Usage: jointbus-sim INTERFACE --motor MOTOR [--motor MOTOR]... [OPTION]...
                    [-- COMMAND [ARG]...]
  MOTOR: ID:MASTER:MODEL[:MODE][:SETTING]... (see Motors below)

Answers on the SocketCAN interface INTERFACE (e.g. vcan0) as one or more
virtual joint motors, the way their firmware does, with feedback from a
physical model run in real time. Prints
  jointbus-sim: ready on INTERFACE with N motors
on standard output once it listens, and exits 0 on SIGINT or SIGTERM.

With a COMMAND after --, it then runs COMMAND (searched on PATH) and serves
until COMMAND ends, then exits with COMMAND's exit status, so the motors exist
exactly while it runs:
  jointbus-sim vcan0 --motor 1:0x11:dm4310 -- python3 examples/one_motor.py
SIGINT or SIGTERM sent to the simulator is passed on to COMMAND (a terminal's
Ctrl-C reaches both already), and the motors keep answering until it is gone.

Motors:
  --motor ID:MASTER:MODEL[:MODE][:SETTING]...
      ID       motor id, 0..65535 (decimal or 0x hex)
      MASTER   identifier the motor answers on, 0..65535 (sent masked to 11 bits)
      MODEL    limits preset: %MODELS%
      MODE     starting control mode: mit, pos_vel (the default, as some
               motors ship), vel or force_pos
      SETTING  a fault below for this motor only, written without the dashes
               (drop=0.5, late=300@0.2, short-reply=1, junk-before-register,
               ignore-mode-writes=off, fault=0x8, fault=none), overriding the
               bus-wide value; or a physical parameter:
                 inertia=KGM2   rotor and load inertia, kg*m^2 (above 0)
                 friction=NMS   viscous friction, N*m*s/rad (0 or more)
                 coulomb=NM     dry friction, N*m (0 or more)
      Example: --motor 1:0x11:dm4310 --motor 2:0x12:dm8009:mit:drop=0.1

Faults, for every motor (a motor's own SETTING wins):
  --drop P                leave a reply unsent with probability P (0..1)
  --delay MS              send every reply MS milliseconds after the command
  --late MS[@P]           hold a reply MS milliseconds more, with probability P
                          (default 1): meant to exceed the driver's time-out;
                          the reply still comes, late
  --short-reply P         cut a reply to its first 6 bytes with probability P
  --junk-before-register  send three look-alikes just before each register
                          reply, on the same identifier: the same marker with
                          the next register number, the reply one byte short,
                          and the motor's feedback frame
  --ignore-mode-writes    take writes to the control-mode register without
                          changing mode
  --fault CODE            report CODE (2..15, decimal or 0x hex: 8 over-voltage,
                          9 under-voltage, 0xA over-current, 0xB MOS
                          over-temperature, 0xC coil over-temperature, 0xD lost
                          communication, 0xE overload) with the power stage
                          off, until a clear-error command: the motor is then
                          disabled and the fault does not come back
  Drop, late and short-reply decisions are drawn for every reply, so the same
  seed and the same traffic give the same choices.

Bus:
  --flood HZ              send HZ frames per second (0..20000) of random bytes
                          on identifiers no motor uses (none of the command,
                          reply or register identifiers); their third byte is
                          never 0x33, the register-reply marker
  --seed N                seed of every random choice (default 1)
  -h, --help              print this text and exit

  Values go as --name VALUE or --name=VALUE.

Protocol (all frames classic CAN, 11-bit identifiers):
  on ID          FF FF FF FF FF FF FF FC enable, ..FD disable, ..FE set zero,
                 ..FB clear error (in every mode); any other 8 bytes: an MIT
                 command (q 16 bits, dq, kp, kd, tau 12 bits, MSB first)
  on ID+0x100    position-velocity: f32 position, f32 velocity (LE)
  on ID+0x200    velocity: f32 velocity (LE)
  on ID+0x300    force-position: f32 position, u16 velocity limit x100,
                 u16 torque ratio x10000 (LE)
  on 0x7FF       register access: u16 motor id, 0x33 read / 0x55 write,
                 register, u32 value (LE). Register 10, the control mode
                 (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS), is the only one:
                 reads are answered on MASTER in the same layout; writes of
                 1..4 change the mode and are not answered.
  Command identifiers are ID plus the offset, masked to 11 bits. Fixed and
  control commands are answered with a feedback frame on MASTER: status
  nibble (0 disabled, 1 enabled, or the fault code) and the motor id's low
  nibble, position, velocity and torque quantised against MODEL's limits
  (clamped to them), MOS and rotor temperatures in degrees C. A control
  command for another mode than the motor's is ignored without a reply.
  Right after enabling or a mode change the motor holds still: MIT with zero
  gains (the rotor is free), the other modes braking to rest where they are.
  Commands that arrive while disabled or faulted are answered but not taken.

Physical model, per motor, stepped every 0.5 ms of real time:
  J*dw/dt = tau - b*w - c*sign(w),  dtheta/dt = w
  tau is limited to the model's t_max, and is 0 while disabled or faulted:
    MIT        tau = kp*(q - theta) + kd*(dq - w) + tau_ff (last command held)
    POS_VEL    w* = 25/s * (position - theta), limited to +-min(|velocity|, v_max)
               tau = J*200/s * (w* - w) + b*w* + c*clamp(w* / 0.1 rad/s, -1, 1)
               (a velocity loop with the friction fed forward)
    VEL        w* = velocity limited to +-v_max, the same velocity loop
    FORCE_POS  as POS_VEL with the velocity limit, tau limited to ratio*t_max
  Integrated by linearly implicit Euler (stable at any gain), dry friction
  solved implicitly: the rotor sticks while the drive is within +-c.
  Set zero makes the current position 0 (held position targets move along).
  A stall of the program longer than 1 s is skipped over, not replayed.
  Temperatures (MOS, rotor) start at 25 C and follow
    dT/dt = (25 C + rise*(tau/t_max)^2 - T) / time constant
  with rise 25 C over 20 s for the MOS, 60 C over 60 s for the rotor.
  Defaults: J = t_max/2000, b = 0.05*t_max/v_max, c = 0.02*t_max:
%TABLE%
An interface that goes down is waited for, as motors wait for their bus:
they answer again once it is up.
Exit status: 0 after SIGINT, SIGTERM or --help; 1 when the interface cannot be
opened or fails (COMMAND, if running, is sent SIGTERM); 2 on bad arguments.
With a COMMAND: its exit status, or 128+N if signal N killed it; 126 if it
cannot be run, 127 if it is not found.
)";

// The preset names, wrapped to the width of the text around them.
std::string model_list() {
    constexpr std::size_t width = 78;
    constexpr std::string_view indent = "\n               ";
    constexpr std::size_t first_column = 30;  // after "      MODEL    limits preset: "
    std::string names;
    std::size_t column = first_column;
    for (const auto& preset : damiao::mit_limits_presets) {
        if (!names.empty()) {
            const bool wrap = column + 1 + preset.name.size() > width;
            names += wrap ? indent : " ";
            column = wrap ? indent.size() - 1 : column + 1;
        }
        names += preset.name;
        column += preset.name.size();
    }
    return names;
}

std::string defaults_table() {
    std::string table = "    model      t_max N*m  v_max rad/s  J kg*m^2   b N*m*s/rad  c N*m\n";
    for (const auto& preset : damiao::mit_limits_presets) {
        const damiao::MitLimits limits = preset.make();
        const PhysicalParams params = default_params(limits);
        char line[128];
        std::snprintf(line, sizeof line, "    %-9s  %9g  %11g  %-9g  %-11.4g  %g\n", std::string(preset.name).c_str(),
                      static_cast<double>(limits.t_max), static_cast<double>(limits.v_max),
                      static_cast<double>(params.inertia), static_cast<double>(params.viscous_friction),
                      static_cast<double>(params.coulomb_friction));
        table += line;
    }
    return table;
}

void replace(std::string& text, std::string_view marker, const std::string& with) {
    text.replace(text.find(marker), marker.size(), with);
}

}  // namespace

std::string help_text() {
    std::string text(usage);
    replace(text, "%MODELS%", model_list());
    replace(text, "%TABLE%", defaults_table());
    return text;
}

}  // namespace jointbus::sim
