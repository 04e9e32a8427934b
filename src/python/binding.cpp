#include "python/binding.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "python/errors.hpp"
#include "python/texts.hpp"

namespace jointbus::python {
namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(std::span<const char* const> names) {
    if (names.size() == 1) {
        return quoted(names[0]);
    }
    if (names.size() == 2) {
        return quoted(names[0]) + " and " + quoted(names[1]);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i + 1 == names.size() ? ", and " : (i == 0 ? "" : ", ");
        text += quoted(names[i]);
    }
    return text;
}

// Built from the whole string, so that nothing after an embedded NUL is lost.
void raise_type_error(const std::string& text) {
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
}

void raise_too_many(const char* full_name, std::span<const Parameter> parameters, Py_ssize_t given) {
    std::size_t required = 0;
    for (const Parameter& parameter : parameters) {
        required += parameter.required ? 1 : 0;
    }
    const std::string count = required == parameters.size()
                                  ? std::to_string(parameters.size())
                                  : "from " + std::to_string(required) + " to " + std::to_string(parameters.size());
    raise_type_error(std::string(full_name) + " takes " + count + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

// Raises the TypeError listing every required parameter left unbound.
[[gnu::noinline]] void raise_missing_list(const char* full_name, std::span<const Parameter> parameters,
                                          std::span<PyObject*> bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].required && bound[i] == nullptr) {
            missing.push_back(parameters[i].name);
        }
    }
    raise_type_error(std::string(full_name) + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
}

// Every call passes through here; only a failing one builds the list, out
// of line, so that the check itself stays a short loop.
bool raise_missing(const char* full_name, std::span<const Parameter> parameters, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].required && bound[i] == nullptr) {
            raise_missing_list(full_name, parameters, bound);
            return false;
        }
    }
    return true;
}

// Whether keyword `key` (a str) names `parameter`. Parameter names are
// ASCII, so only an ASCII str of the same length can: its characters are then
// bytes to compare, and nothing is encoded. Keywords in a call are checked on
// every call, so this is on every command's path; the names are a few bytes,
// shorter than a call to memcmp costs.
bool names(PyObject* key, const Parameter& parameter) {
    if (!PyUnicode_IS_ASCII(key) || static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) != parameter.length) {
        return false;
    }
    const auto* characters = static_cast<const char*>(PyUnicode_DATA(key));
    for (std::size_t i = 0; i < parameter.length; ++i) {
        if (characters[i] != parameter.name[i]) {
            return false;
        }
    }
    return true;
}

// The parameter `key` names, if any. Callers nearly always write keywords in
// the signature's order, so the parameter at `likely` is tried first.
std::optional<std::size_t> named_parameter(std::span<const Parameter> parameters, PyObject* key, std::size_t likely) {
    if (likely < parameters.size() && names(key, parameters[likely])) {
        return likely;
    }
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (names(key, parameters[i])) {
            return i;
        }
    }
    return std::nullopt;
}

// Binds one keyword argument; false with TypeError set when it fits nowhere.
// The name is compared as the str it is, never encoded: a keyword holding a
// NUL or a lone surrogate is simply one that matches no parameter, and the
// error shows it whole. `likely` is the parameter it probably names.
bool bind_keyword(const char* full_name, std::span<const Parameter> parameters, PyObject* key, PyObject* value,
                  std::span<PyObject*> bound, std::size_t likely) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, texts::keywords_must_be_strings);
        return false;
    }
    const std::optional<std::size_t> index = named_parameter(parameters, key, likely);
    if (!index) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name, key);
        return false;
    }
    if (bound[*index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name, parameters[*index].name);
        return false;
    }
    bound[*index] = Py_NewRef(value);
    return true;
}

bool bind_positional(const char* full_name, std::span<const Parameter> parameters, PyObject* const* args,
                     Py_ssize_t nargs, std::span<PyObject*> bound) {
    if (static_cast<std::size_t>(nargs) > parameters.size()) {
        raise_too_many(full_name, parameters, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[static_cast<std::size_t>(i)] = Py_NewRef(args[i]);
    }
    return true;
}

// Re-raises a pending TypeError with the parameter's name in front.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* original = PyErr_GetRaisedException();
    PyObject* text = PyObject_Str(original);
    if (text == nullptr) {
        Py_DECREF(original);
        return;
    }
    PyObject* renamed = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (renamed == nullptr) {
        Py_DECREF(original);
        return;
    }
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, renamed);
    Py_DECREF(renamed);
    if (replacement != nullptr) {
        PyException_SetCause(replacement, PyException_GetCause(original));
        PyErr_SetRaisedException(replacement);
    }
    Py_DECREF(original);
}

}  // namespace

std::string type_name_of(PyObject* value) {
    PyObject* name = PyType_GetQualName(Py_TYPE(value));
    if (name == nullptr) {
        PyErr_Clear();
        return texts::unknown_type_name;
    }
    const char* utf8 = PyUnicode_AsUTF8(name);
    std::string text = utf8 != nullptr ? utf8 : texts::unknown_type_name;
    if (utf8 == nullptr) {
        PyErr_Clear();
    }
    Py_DECREF(name);
    return text;
}

namespace {

void raise_not_convertible(PyObject* value, const char* class_name, const char* name) {
    raise_type_error("argument '" + std::string(name) + "': '" + type_name_of(value) +
                     "' object cannot be converted to '" + class_name + "'");
}

}  // namespace

bool bind_vectorcall(const char* full_name, std::span<const Parameter> parameters, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
    if (!bind_positional(full_name, parameters, args, nargs, bound)) {
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        const auto likely = static_cast<std::size_t>(nargs + i);
        if (!bind_keyword(full_name, parameters, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound, likely)) {
            return false;
        }
    }
    return raise_missing(full_name, parameters, bound);
}

bool bind_tuple(const char* full_name, std::span<const Parameter> parameters, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> bound) {
    if (!bind_positional(full_name, parameters, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), bound)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        std::size_t likely = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(full_name, parameters, key, value, bound, likely++)) {
                return false;
            }
        }
    }
    return raise_missing(full_name, parameters, bound);
}

float narrow_to_f32(double value) noexcept {
    // Halfway between FLT_MAX and the next power of two: from here on, round
    // to nearest-even gives infinity.
    constexpr double overflow_threshold = 0x1.ffffffp127;
    if (std::isnan(value)) {
        return std::copysign(std::numeric_limits<float>::quiet_NaN(), static_cast<float>(std::signbit(value) ? -1 : 1));
    }
    if (std::fabs(value) >= overflow_threshold) {
        return std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(std::signbit(value) ? -1 : 1));
    }
    return static_cast<float>(value);
}

std::optional<float> to_f32(PyObject* value, const char* name) {
    double wide = 0.0;
    if (PyFloat_CheckExact(value)) {
        wide = PyFloat_AS_DOUBLE(value);
    } else {
        wide = PyFloat_AsDouble(value);
        if (wide == -1.0 && PyErr_Occurred()) {
            prefix_type_error(name);
            return std::nullopt;
        }
    }
    return narrow_to_f32(wide);
}

std::optional<std::uint16_t> to_u16(PyObject* value, const char* name) {
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    if (wide < 0 || wide > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, texts::out_of_range_integral);
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(wide);
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* name) {
    PyObject* integer = PyLong_Check(value) ? Py_NewRef(value) : PyNumber_Index(value);
    if (integer == nullptr) {
        prefix_type_error(name);
        return std::nullopt;
    }
    const unsigned long long wide = PyLong_AsUnsignedLongLong(integer);
    Py_DECREF(integer);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(wide);
}

std::optional<std::string_view> to_text(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        raise_not_convertible(value, texts::text_target_name, name);
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &length);
    if (utf8 == nullptr) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

bool check_instance(PyObject* value, PyTypeObject* type, const char* class_name, const char* name) {
    if (PyObject_TypeCheck(value, type)) {
        return true;
    }
    raise_not_convertible(value, class_name, name);
    return false;
}

}  // namespace jointbus::python
