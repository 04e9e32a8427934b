#include "stub_writer.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <set>

namespace jointbus::stubgen {
namespace {

using records::MethodKind;
using records::ModuleRef;
using records::ParamHint;
using records::PyClassInfo;
using records::PyFunctionInfo;
using records::PyMethodsInfo;
using records::SignatureText;
using records::TypeHint;
using records::TypeInfo;

// Past this width a definition puts one parameter on each line.
constexpr std::size_t line_width = 100;
constexpr std::string_view indent_step = "    ";
constexpr std::string_view default_marker = " = ...";

using Failure = std::unexpected<std::string>;

// Renders type expressions, remembering every module they need imported.
class Types {
public:
    explicit Types(std::string_view own_module) : own_module_(own_module) {}

    std::string operator()(TypeHint hint) {
        TypeInfo info = hint();
        for (const ModuleRef& module : info.import) {
            // The stub's own classes are referred to unqualified.
            if (module.name != own_module_) {
                imports_.insert(module.name);
            }
        }
        return std::move(info.name);
    }

    [[nodiscard]] const std::set<std::string>& imports() const { return imports_; }

private:
    std::string_view own_module_;
    std::set<std::string> imports_;
};

struct Param {
    std::string_view name;
    TypeHint type;
    bool has_default;
};

// Pairs each parameter with whether its signature text gives it a default;
// without a signature text every parameter is required.
std::expected<std::vector<Param>, std::string> params_of(std::span<const ParamHint> hints, SignatureText signature,
                                                         std::string_view owner) {
    std::vector<Param> params;
    std::string_view rest = signature.value_or(std::string_view{});
    for (const ParamHint& hint : hints) {
        bool has_default = false;
        if (signature) {
            const std::size_t comma = rest.find(',');
            std::string_view token = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
            has_default = token.ends_with(default_marker);
            if (has_default) {
                token.remove_suffix(default_marker.size());
            }
            if (token != hint.name) {
                return Failure("signature text of " + std::string(owner) + " does not match its parameters");
            }
        }
        params.push_back({hint.name, hint.type_input, has_default});
    }
    if (!rest.empty()) {
        return Failure("signature text of " + std::string(owner) + " names more parameters than it has");
    }
    return params;
}

// A docstring literal that reads back as `text`: continuation lines are
// indented to the body, which cleandoc() takes off again.
std::string docstring(std::string_view text, std::string_view indent) {
    std::string body;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            body += "\\\\";
        } else if (c == '"' && (body.ends_with("\"\"") || i + 1 == text.size())) {
            body += "\\\"";  // no run of three quotes, and none against the closing ones
        } else if (c == '\n') {
            body += '\n';
            if (i + 1 < text.size() && text[i + 1] != '\n') {
                body += indent;  // blank lines stay empty
            }
        } else {
            body += c;
        }
    }
    const bool one_line = text.find('\n') == std::string_view::npos;
    return std::string(indent) + "\"\"\"" + body + (one_line ? "" : "\n" + std::string(indent)) + "\"\"\"\n";
}

// "def name(args) -> result: ..." or, with a docstring, the docstring as its
// body. Too long for one line, it takes one argument per line.
std::string definition(std::string_view indent, std::string_view name, const std::vector<std::string>& args,
                       const std::string& result, std::string_view doc) {
    const std::string tail = ") -> " + result + ":" + (doc.empty() ? " ...\n" : "\n");
    std::string joined;
    for (const std::string& arg : args) {
        joined += (joined.empty() ? "" : ", ") + arg;
    }
    std::string text = std::string(indent) + "def " + std::string(name) + "(" + joined + tail;
    if (text.size() - 1 > line_width) {
        text = std::string(indent) + "def " + std::string(name) + "(\n";
        for (const std::string& arg : args) {
            text += std::string(indent) + std::string(indent_step) + arg + ",\n";
        }
        text += std::string(indent) + tail;
    }
    if (!doc.empty()) {
        text += docstring(doc, std::string(indent) + std::string(indent_step));
    }
    return text;
}

std::vector<std::string> annotated(const std::vector<Param>& params, Types& types) {
    std::vector<std::string> args;
    for (const Param& param : params) {
        args.push_back(std::string(param.name) + ": " + types(param.type) + (param.has_default ? " = ..." : ""));
    }
    return args;
}

std::expected<std::string, std::string> class_text(const PyClassInfo& info, const PyMethodsInfo& methods,
                                                   Types& types) {
    const std::string owner(info.name);
    const std::string indent(indent_step);
    // Their instances carry a native record; the classes cannot be
    // subclassed at run time.
    std::string text = "@final\nclass " + owner + ":\n";
    if (!info.doc.empty()) {
        text += docstring(info.doc, indent);
    }
    for (const auto& member : info.members) {
        text += indent + std::string(member.name) + ": " + types(member.type_output) + "\n";
    }
    if (methods.constructor) {
        auto params = params_of(methods.constructor->params, methods.constructor->signature, owner);
        if (!params) {
            return Failure(params.error());
        }
        std::vector<std::string> args{"cls"};
        std::ranges::move(annotated(*params, types), std::back_inserter(args));
        text += definition(indent, "__new__", args, owner, {});
    }
    for (const auto& getter : methods.getters) {
        text += indent + "@property\n" + definition(indent, getter.name, {"self"}, types(getter.type_output), {});
    }
    for (const auto& method : methods.methods) {
        const std::string method_owner = owner + "." + std::string(method.name);
        auto params = params_of(method.params, std::nullopt, method_owner);
        if (!params) {
            return Failure(params.error());
        }
        std::vector<std::string> args;
        if (method.kind == MethodKind::static_method) {
            text += indent + "@staticmethod\n";
        } else {
            // The bound object is positional-only at run time: "(self, /, bus)".
            args = {"self", "/"};
        }
        std::ranges::move(annotated(*params, types), std::back_inserter(args));
        if (args.size() == 2 && args[1] == "/") {
            args.pop_back();  // a lone "(self)" is how stubs spell it; a bound call cannot name self anyway
        }
        text += definition(indent, method.name, args, types(method.type_output), method.doc);
    }
    if (!methods.constructor && methods.getters.empty() && methods.methods.empty() && info.members.empty() &&
        info.doc.empty()) {
        text += indent + "...\n";
    }
    return text;
}

std::expected<std::string, std::string> function_text(const PyFunctionInfo& info, Types& types) {
    auto params = params_of(info.params, info.signature, info.name);
    if (!params) {
        return Failure(params.error());
    }
    return definition("", info.name, annotated(*params, types), types(info.type_output), info.doc);
}

template <typename Record>
std::map<std::string_view, const Record*> by_name(const std::vector<const Record*>& found) {
    std::map<std::string_view, const Record*> named;
    for (const Record* record : found) {
        named.emplace(record->name, record);
    }
    return named;
}

std::string quoted_list(std::span<const std::string_view> names) {
    std::string text = "[\n";
    for (const std::string_view name : names) {
        text += std::string(indent_step) + "\"" + std::string(name) + "\",\n";
    }
    return text + "]\n";
}

}  // namespace

Records collect_records() {
    Records found;
    records::for_each_record(records::class_records, [&](const PyClassInfo& record) { found.classes.push_back(&record); });
    records::for_each_record(records::methods_records,
                             [&](const PyMethodsInfo& record) { found.methods.push_back(&record); });
    records::for_each_record(records::function_records,
                             [&](const PyFunctionInfo& record) { found.functions.push_back(&record); });
    return found;
}

std::expected<std::string, std::string> write_stub(const Records& found, const ModuleLayout& layout) {
    const auto classes = by_name(found.classes);
    const auto functions = by_name(found.functions);
    if (classes.size() != found.classes.size() || functions.size() != found.functions.size()) {
        return Failure("a name is recorded twice");
    }
    for (const PyClassInfo* info : found.classes) {
        if (info->module != layout.name) {
            return Failure("class " + std::string(info->name) + " belongs to module " + std::string(info->module));
        }
    }
    for (const PyFunctionInfo* info : found.functions) {
        if (info->module && *info->module != layout.name) {
            return Failure("function " + std::string(info->name) + " belongs to module " + std::string(*info->module));
        }
    }
    std::set<std::string_view> listed;
    const auto is_attribute = [&](std::string_view name) {
        return std::ranges::any_of(layout.attributes, [&](const ModuleAttribute& a) { return a.name == name; });
    };

    Types types(layout.name);
    std::vector<std::string> sections;
    std::vector<std::string_view> every_name(layout.exports.begin(), layout.exports.end());
    every_name.insert(every_name.end(), layout.unlisted.begin(), layout.unlisted.end());
    for (const std::string_view name : every_name) {
        listed.insert(name);
        if (is_attribute(name)) {
            continue;
        }
        if (const auto named_class = classes.find(name); named_class != classes.end()) {
            const PyClassInfo& info = *named_class->second;
            const auto is_its = [&](const PyMethodsInfo* candidate) { return candidate->key == info.key; };
            if (std::ranges::count_if(found.methods, is_its) != 1) {
                return Failure("class " + std::string(name) + " needs exactly one methods record");
            }
            auto text = class_text(info, **std::ranges::find_if(found.methods, is_its), types);
            if (!text) {
                return Failure(text.error());
            }
            sections.push_back(std::move(*text));
        } else if (const auto function = functions.find(name); function != functions.end()) {
            auto text = function_text(*function->second, types);
            if (!text) {
                return Failure(text.error());
            }
            sections.push_back(std::move(*text));
        } else {
            return Failure(std::string(name) + " is exported but has no record");
        }
    }
    for (const auto& [name, info] : classes) {
        if (!listed.contains(name)) {
            return Failure("class " + std::string(name) + " is recorded but not exported");
        }
    }
    for (const auto& [name, info] : functions) {
        if (!listed.contains(name)) {
            return Failure("function " + std::string(name) + " is recorded but not exported");
        }
    }
    for (const PyMethodsInfo* methods : found.methods) {
        if (std::ranges::none_of(found.classes, [&](const PyClassInfo* info) { return info->key == methods->key; })) {
            return Failure("a methods record belongs to no recorded class");
        }
    }

    std::string text = "# Types of the " + std::string(layout.name) +
                       " extension module, written by jointbus-stubgen (tools/stubgen)\n"
                       "# from the type records compiled into the module: regenerate, do not edit.\n\n";
    for (const std::string& module : types.imports()) {
        text += "import " + module + "\n";
    }
    text += "from typing import final\n\n";
    for (const ModuleAttribute& attribute : layout.attributes) {
        text += std::string(attribute.name) + ": " + std::string(attribute.type) + "\n";
    }
    text += "__all__ = " + quoted_list(layout.exports);
    for (const std::string& section : sections) {
        text += "\n" + section;
    }
    return text;
}

}  // namespace jointbus::stubgen
