// Type records for the module's Python-visible API: what each class,
// method, property and function takes and returns, as Python type text.
// jointbus-stubgen walks them to write jointbus.pyi, so the stub is built
// from the same compiled code as the module rather than kept by hand.
//
// Each record is pushed once, by a static initialiser when the library is
// loaded, onto the head of a process-wide singly-linked list of its kind;
// nothing is ever removed, so a walk that starts from a loaded head needs no
// lock. The module itself never reads the lists. No Python API types appear
// here: the stub writer links these records without the interpreter.
#pragma once

#include <atomic>
#include <compare>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace jointbus::python::stub_records {

// A module a type expression needs imported.
struct ModuleRef {
    std::string name;
    friend auto operator<=>(const ModuleRef&, const ModuleRef&) = default;
};

// A type expression ("int", "typing.Optional[MitLimits]") and the modules
// its names come from.
struct TypeInfo {
    std::string name;
    std::set<ModuleRef> import;
    friend bool operator==(const TypeInfo&, const TypeInfo&) = default;
};

// Builds a fresh TypeInfo on every call, so a reader may change what it got.
using TypeHint = TypeInfo (*)();

// Identifies one class across the class and methods records.
struct ClassKey {
    const void* identity = nullptr;
    friend bool operator==(ClassKey, ClassKey) = default;
};

enum class MethodKind { instance, static_method };

struct ParamHint {
    std::string_view name;
    TypeHint type_input = nullptr;
};

struct GetterHint {
    std::string_view name;
    TypeHint type_output = nullptr;
};

// A class attribute that is not a property. None of the classes has one yet.
struct MemberHint {
    std::string_view name;
    TypeHint type_output = nullptr;
};

struct MethodHint {
    std::string_view name;
    std::span<const ParamHint> params;
    TypeHint type_output = nullptr;
    std::string_view doc;  // empty when the method has none
    MethodKind kind = MethodKind::instance;
};

// Parameters in order, comma-joined with no blanks; "name = ..." where the
// parameter has a default, the bare name where it is required. A record
// without one has only required parameters.
using SignatureText = std::optional<std::string_view>;

struct NewHint {
    std::span<const ParamHint> params;
    SignatureText signature;
};

// The records. Their data never changes; `next` is written once, by the push
// that publishes the record, before any reader can reach it.
struct PyClassInfo {
    const ClassKey key{};
    const std::string_view name{};
    const std::string_view doc{};
    const std::span<const MemberHint> members{};
    const std::string_view module{};
    PyClassInfo* next = nullptr;
};

struct PyMethodsInfo {
    const ClassKey key{};
    const std::span<const GetterHint> getters{};
    const std::span<const MethodHint> methods{};
    const std::optional<NewHint> constructor{};
    PyMethodsInfo* next = nullptr;
};

struct PyFunctionInfo {
    const std::string_view name{};
    const std::span<const ParamHint> params{};
    const TypeHint type_output = nullptr;
    const std::string_view doc{};
    const SignatureText signature{};
    const std::optional<std::string_view> module{};
    PyFunctionInfo* next = nullptr;
};

// The heads of the three process-wide lists.
extern constinit std::atomic<PyClassInfo*> class_records;
extern constinit std::atomic<PyMethodsInfo*> methods_records;
extern constinit std::atomic<PyFunctionInfo*> function_records;

// Publishes `record` at the head of the list `head`, safe against other
// pushes running at the same time: the compare-and-swap retries until no
// other push got in between reading the head and replacing it.
template <typename Record>
void push_record(std::atomic<Record*>& head, Record& record) noexcept {
    Record* current = head.load(std::memory_order_relaxed);
    do {
        record.next = current;
    } while (!head.compare_exchange_weak(current, &record, std::memory_order_release, std::memory_order_relaxed));
}

// Calls `visit(const Record&)` for every record on the list, newest first.
template <typename Record, typename Visit>
void for_each_record(const std::atomic<Record*>& head, Visit visit) {
    for (const Record* record = head.load(std::memory_order_acquire); record != nullptr; record = record->next) {
        visit(*record);
    }
}

}  // namespace jointbus::python::stub_records
