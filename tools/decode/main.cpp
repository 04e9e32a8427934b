// jointbus-decode: what a candump -L log says to and about the motors on it.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "cli.hpp"

int main(int argc, char** argv) {
    using namespace jointbus::decode;
    std::ios::sync_with_stdio(false);
    const auto options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::cerr << "jointbus-decode: " << options.error() << "\nTry 'jointbus-decode --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << help_text();
        return 0;
    }
    if (options->input.empty() || options->input == "-") {
        return run(*options, std::cin, std::cout, std::cerr);
    }
    std::ifstream file(options->input);
    if (!file) {
        std::cerr << "jointbus-decode: cannot open " << options->input << ": " << std::strerror(errno) << '\n';
        return 2;
    }
    return run(*options, file, std::cout, std::cerr);
}
