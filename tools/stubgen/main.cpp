// jointbus-stubgen [PATH]: writes the stub of the jointbus module, built from
// the type records compiled into it, to PATH, or to standard output.
#include <array>
#include <fstream>
#include <iostream>
#include <string_view>

#include "python/texts.hpp"
#include "stub_writer.hpp"

namespace {

using namespace jointbus;

constexpr int exit_written = 0;
constexpr int exit_inconsistent_records = 1;
constexpr int exit_bad_arguments = 2;
constexpr int exit_write_failed = 3;

constexpr std::array<stubgen::ModuleAttribute, 1> attributes{{{"__version__", "str"}}};

// The module's __all__, in the order its init function adds the names.
constexpr std::array<std::string_view, 8> exports{
    "__version__", "MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao", "SocketCanTransport",
    "mit_setpoint",
};

// Names added after the first release, kept out of __all__ so that
// `from jointbus import *` gives what it always gave.
constexpr std::array<std::string_view, 1> unlisted{"cycle"};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::string_view(argv[1]).empty() || std::string_view(argv[1]).starts_with("-")))) {
        std::cerr << "usage: jointbus-stubgen [PATH]   (writes jointbus.pyi to PATH, or to standard output)\n";
        return exit_bad_arguments;
    }
    const auto stub = stubgen::write_stub(stubgen::collect_records(), {python::texts::module_name, attributes, exports, unlisted});
    if (!stub) {
        std::cerr << "jointbus-stubgen: " << stub.error() << "\n";
        return exit_inconsistent_records;
    }
    if (argc == 1) {
        std::cout << *stub << std::flush;
        return std::cout ? exit_written : exit_write_failed;
    }
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file << *stub;
    file.close();
    if (!file) {
        std::cerr << "jointbus-stubgen: cannot write " << argv[1] << "\n";
        return exit_write_failed;
    }
    return exit_written;
}
