// Argument binding and conversion for every entry point, with the module's
// own error texts: positional first, then by keyword; every parameter may be
// given either way.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace jointbus::python {

struct Parameter {
    constexpr Parameter(const char* parameter_name, bool is_required) noexcept
        : name(parameter_name), required(is_required), length(std::string_view(parameter_name).size()) {}

    const char* name;  // ASCII
    bool required;
    std::size_t length;  // of name, so a keyword is matched without a scan for its end
};

// The arguments of one call, one slot per parameter, each a strong reference
// (nullptr where an optional parameter was omitted). Converting one argument
// can run the caller's code (__float__, __index__), which may drop the
// caller's own references to the others, for example by clearing the
// keyword dictionary; these references keep every argument alive until the
// call is over.
template <std::size_t N>
class BoundArguments {
public:
    BoundArguments() = default;
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    ~BoundArguments() {
        for (PyObject* argument : slots_) {
            Py_XDECREF(argument);
        }
    }

    [[nodiscard]] std::span<PyObject*> slots() noexcept { return slots_; }
    [[nodiscard]] PyObject* operator[](std::size_t index) const noexcept { return slots_[index]; }

private:
    std::array<PyObject*, N> slots_{};
};

// Fills the empty `bound` with new references, leaving nullptr where an
// optional parameter was omitted. False with TypeError set when the
// arguments do not fit; `full_name` reads like "Damiao.enable()".
[[nodiscard]] bool bind_vectorcall(const char* full_name, std::span<const Parameter> parameters,
                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                   std::span<PyObject*> bound);

// The same for a constructor's argument tuple and keyword dictionary.
[[nodiscard]] bool bind_tuple(const char* full_name, std::span<const Parameter> parameters, PyObject* args,
                              PyObject* kwargs, std::span<PyObject*> bound);

// Conversions. Each returns nothing with a Python exception set on failure; a
// TypeError is re-raised as "argument '<name>': <text>" (keeping its cause),
// anything else passes through unchanged.
[[nodiscard]] std::optional<float> to_f32(PyObject* value, const char* name);
[[nodiscard]] std::optional<std::uint16_t> to_u16(PyObject* value, const char* name);
[[nodiscard]] std::optional<std::uint64_t> to_u64(PyObject* value, const char* name);
// The UTF-8 text of a str, valid while the object lives.
[[nodiscard]] std::optional<std::string_view> to_text(PyObject* value, const char* name);
// True when `value` is an instance of `type`; otherwise sets the TypeError
// "argument '<name>': '<its type>' object cannot be converted to '<class>'".
[[nodiscard]] bool check_instance(PyObject* value, PyTypeObject* type, const char* class_name, const char* name);

// The qualified name of the object's type, for error texts.
[[nodiscard]] std::string type_name_of(PyObject* value);

// Double to single precision, rounding to nearest-even, overflowing to
// infinity: written out because converting an out-of-range double is
// undefined in C++.
[[nodiscard]] float narrow_to_f32(double value) noexcept;

}  // namespace jointbus::python
