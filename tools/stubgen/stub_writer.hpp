// Turns the module's type records into the text of a Python stub file.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/stub_records.hpp"

namespace jointbus::stubgen {

namespace records = python::stub_records;

// A module-level name the records do not describe, such as __version__.
struct ModuleAttribute {
    std::string_view name;
    std::string_view type;  // a builtin type, needing no import
};

// What the records cannot say: the module's name, its plain attributes, the
// order of its __all__, which is also the order the stub lists things in
// (the lists themselves come in no particular order), and the names the
// module has outside __all__, listed after those.
struct ModuleLayout {
    std::string_view name;
    std::span<const ModuleAttribute> attributes;
    std::span<const std::string_view> exports;
    std::span<const std::string_view> unlisted{};
};

struct Records {
    std::vector<const records::PyClassInfo*> classes;
    std::vector<const records::PyMethodsInfo*> methods;
    std::vector<const records::PyFunctionInfo*> functions;
};

// Everything on the three process-wide lists.
[[nodiscard]] Records collect_records();

// The stub text, or why the records do not make a consistent module: a name
// exported without a record or recorded without being exported, a class
// without its methods record or the other way round, a signature text that
// does not match its parameters.
[[nodiscard]] std::expected<std::string, std::string> write_stub(const Records& found, const ModuleLayout& layout);

}  // namespace jointbus::stubgen
