// The type records jointbus-stubgen writes the stub from: all there once
// each, the hints that matter exact, and the lists safe to push onto from
// several threads. The rest of their content is checked end to end: the
// written stub against the shipped one, and the shipped one against the
// module by stubtest.
#include "python/stub_records.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace records = jointbus::python::stub_records;
using records::MethodKind;
using records::ModuleRef;
using records::PyClassInfo;
using records::PyFunctionInfo;
using records::PyMethodsInfo;
using records::TypeHint;
using records::TypeInfo;

const std::vector<std::string> class_names{"MitLimits", "MitSetpoint", "ControlSetpoint",
                                           "MotorState", "SocketCanTransport", "Damiao"};

template <typename Record>
std::vector<const Record*> walk(const std::atomic<Record*>& head) {
    std::vector<const Record*> found;
    records::for_each_record(head, [&](const Record& record) { found.push_back(&record); });
    return found;
}

const PyClassInfo& class_record(std::string_view name) {
    for (const PyClassInfo* info : walk(records::class_records)) {
        if (info->name == name) {
            return *info;
        }
    }
    throw std::runtime_error("no class record " + std::string(name));
}

const PyMethodsInfo& methods_of(std::string_view class_name) {
    const records::ClassKey key = class_record(class_name).key;
    for (const PyMethodsInfo* info : walk(records::methods_records)) {
        if (info->key == key) {
            return *info;
        }
    }
    throw std::runtime_error("no methods record for " + std::string(class_name));
}

const PyFunctionInfo& function_record(std::string_view name) {
    for (const PyFunctionInfo* info : walk(records::function_records)) {
        if (info->name == name) {
            return *info;
        }
    }
    throw std::runtime_error("no function record " + std::string(name));
}

std::set<ModuleRef> modules(std::initializer_list<const char*> names) {
    std::set<ModuleRef> set;
    for (const char* name : names) {
        set.insert(ModuleRef{name});
    }
    return set;
}

// Every hint any record holds, with where it was found.
std::vector<std::pair<std::string, TypeHint>> every_hint() {
    std::vector<std::pair<std::string, TypeHint>> hints;
    for (const PyClassInfo* info : walk(records::class_records)) {
        const std::string owner(info->name);
        for (const auto& member : info->members) {
            hints.emplace_back(owner + "." + std::string(member.name), member.type_output);
        }
        const PyMethodsInfo& methods = methods_of(info->name);
        for (const auto& getter : methods.getters) {
            hints.emplace_back(owner + "." + std::string(getter.name), getter.type_output);
        }
        for (const auto& method : methods.methods) {
            const std::string where = owner + "." + std::string(method.name);
            hints.emplace_back(where + " ->", method.type_output);
            for (const auto& param : method.params) {
                hints.emplace_back(where + "(" + std::string(param.name) + ")", param.type_input);
            }
        }
        if (methods.constructor) {
            for (const auto& param : methods.constructor->params) {
                hints.emplace_back(owner + "(" + std::string(param.name) + ")", param.type_input);
            }
        }
    }
    for (const PyFunctionInfo* info : walk(records::function_records)) {
        hints.emplace_back(std::string(info->name) + " ->", info->type_output);
        for (const auto& param : info->params) {
            hints.emplace_back(std::string(info->name) + "(" + std::string(param.name) + ")", param.type_input);
        }
    }
    return hints;
}

TEST(StubRecords, EveryRecordIsOnItsListExactlyOnce) {
    std::multiset<std::string> seen_classes;
    for (const PyClassInfo* info : walk(records::class_records)) {
        seen_classes.insert(std::string(info->name));
    }
    EXPECT_EQ(seen_classes, std::multiset<std::string>(class_names.begin(), class_names.end()));

    // One methods record per class, matched by key, no key shared.
    const auto methods = walk(records::methods_records);
    ASSERT_EQ(methods.size(), class_names.size());
    for (const std::string& name : class_names) {
        const records::ClassKey key = class_record(name).key;
        EXPECT_EQ(std::ranges::count_if(methods, [&](const PyMethodsInfo* info) { return info->key == key; }), 1)
            << name;
    }

    std::multiset<std::string> seen_functions;
    for (const PyFunctionInfo* info : walk(records::function_records)) {
        seen_functions.insert(std::string(info->name));
    }
    EXPECT_EQ(seen_functions, (std::multiset<std::string>{"cycle", "mit_setpoint"}));

    // A second walk sees the same records: nothing is removed or re-linked.
    EXPECT_EQ(walk(records::class_records).size(), class_names.size());
    EXPECT_EQ(walk(records::methods_records), methods);
}

TEST(StubRecords, ClassesBelongToTheModuleWithoutDocsOrMembers) {
    for (const std::string& name : class_names) {
        const PyClassInfo& info = class_record(name);
        EXPECT_EQ(info.module, "jointbus") << name;
        EXPECT_EQ(info.doc, "") << name;
        EXPECT_TRUE(info.members.empty()) << name;
    }
    EXPECT_EQ(function_record("mit_setpoint").module, std::nullopt);
}

TEST(StubRecords, MitLimitsListsReprThenEveryPresetInOrder) {
    const std::vector<std::string> presets{"dm3507",  "dm4310",   "dm4310p", "dm4340",  "dm4340p",
                                           "dm6006",  "dm6248p",  "dm8006",  "dm8009",  "dm10010",
                                           "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"};
    const auto& methods = methods_of("MitLimits").methods;
    ASSERT_EQ(methods.size(), 16u);
    EXPECT_EQ(methods[0].name, "__repr__");
    EXPECT_EQ(methods[0].kind, MethodKind::instance);
    EXPECT_EQ(methods[0].type_output().name, "str");
    for (std::size_t i = 0; i < presets.size(); ++i) {
        const auto& preset = methods[i + 1];
        EXPECT_EQ(preset.name, presets[i]);
        EXPECT_EQ(preset.kind, MethodKind::static_method) << presets[i];
        EXPECT_TRUE(preset.params.empty()) << presets[i];
        EXPECT_EQ(preset.type_output(), (TypeInfo{"MitLimits", modules({"jointbus"})})) << presets[i];
        EXPECT_EQ(preset.doc, "") << presets[i];
    }
}

TEST(StubRecords, CycleTakesPairsAndReturnsStatesOrErrors) {
    const PyFunctionInfo& cycle = function_record("cycle");
    ASSERT_EQ(cycle.params.size(), 2u);
    EXPECT_EQ(cycle.params[1].name, "commands");
    EXPECT_EQ(cycle.params[1].type_input(),
              (TypeInfo{"typing.Iterable[tuple[Damiao, typing.Union[MitSetpoint, ControlSetpoint]]]",
                        modules({"jointbus", "typing"})}));
    EXPECT_EQ(cycle.type_output(),
              (TypeInfo{"list[typing.Union[MotorState, RuntimeError]]", modules({"jointbus", "typing"})}));
}

TEST(StubRecords, DamiaoLimitsIsOptionalMitLimits) {
    const auto& constructor = methods_of("Damiao").constructor;
    ASSERT_TRUE(constructor);
    ASSERT_EQ(constructor->params.size(), 4u);
    EXPECT_EQ(constructor->params[2].name, "limits");
    EXPECT_EQ(constructor->params[2].type_input(),
              (TypeInfo{"typing.Optional[MitLimits]", modules({"jointbus", "typing"})}));
}

// Apart from those, a hint is a builtin needing no import or one of the
// module's classes needing the module.
TEST(StubRecords, EveryOtherHintIsABuiltinOrAClassOfTheModule) {
    const std::set<std::string> builtins{"int", "float", "str", "None"};
    const std::set<std::string> own(class_names.begin(), class_names.end());
    std::size_t checked = 0;
    for (const auto& [where, hint] : every_hint()) {
        const TypeInfo info = hint();
        if (where == "Damiao(limits)" || where.starts_with("cycle")) {
            continue;
        }
        ++checked;
        if (builtins.contains(info.name)) {
            EXPECT_TRUE(info.import.empty()) << where;
        } else {
            EXPECT_TRUE(own.contains(info.name)) << where << ": " << info.name;
            EXPECT_EQ(info.import, modules({"jointbus"})) << where;
        }
    }
    EXPECT_GT(checked, 60u);  // the walk did reach the records
}

TEST(StubRecords, HintsBuildAFreshValueOnEveryCall) {
    for (const auto& [where, hint] : every_hint()) {
        const TypeInfo first = hint();
        TypeInfo changed = hint();
        changed.name += "[int]";
        changed.import.insert(ModuleRef{"collections"});
        EXPECT_EQ(hint(), first) << where;
    }
    // Wrapping builds on the inner hint without changing what it gives.
    (void)methods_of("Damiao").constructor->params[2].type_input();
    EXPECT_EQ(methods_of("MitLimits").methods[1].type_output(), (TypeInfo{"MitLimits", modules({"jointbus"})}));
}

struct SignatureCase {
    std::string owner;
    std::optional<std::string> signature;
};

TEST(StubRecords, SignatureTexts) {
    const std::vector<SignatureCase> cases{
        {"MitLimits", "p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ..."},
        {"MitSetpoint", "q = ...,dq = ...,kp = ...,kd = ...,tau = ..."},
        {"Damiao", "motor_id,master_id,limits = ...,timeout_ms = ..."},
        {"SocketCanTransport", std::nullopt},
    };
    for (const SignatureCase& expected : cases) {
        const auto& constructor = methods_of(expected.owner).constructor;
        ASSERT_TRUE(constructor) << expected.owner;
        EXPECT_EQ(constructor->signature, expected.signature) << expected.owner;
    }
    EXPECT_FALSE(methods_of("ControlSetpoint").constructor);
    EXPECT_FALSE(methods_of("MotorState").constructor);
    EXPECT_EQ(function_record("mit_setpoint").signature, "q = ...,dq = ...,kp = ...,kd = ...,tau = ...");
}

// The docstrings are the runtime ones without their text-signature line.
TEST(StubRecords, DocstringsCarryNoSignatureLine) {
    EXPECT_EQ(function_record("mit_setpoint").doc, "Build a `MitSetpoint` (handy when keyword args are awkward).");
    std::map<std::string, std::string> docs;
    for (const std::string& name : class_names) {
        for (const auto& method : methods_of(name).methods) {
            docs[name + "." + std::string(method.name)] = method.doc;
        }
    }
    EXPECT_EQ(docs.at("ControlSetpoint.mit"), "MIT impedance setpoint (control mode 1).");
    EXPECT_EQ(docs.at("ControlSetpoint.force_pos"), "FORCE_POS setpoint (control mode 4).");
    EXPECT_TRUE(docs.at("Damiao.control").starts_with("Unified send: dispatches"));
    EXPECT_TRUE(docs.at("Damiao.ensure_mit_mode").starts_with("Force the firmware into MIT control mode"));
    EXPECT_EQ(docs.at("Damiao.enable"), "");
    for (const auto& [where, doc] : docs) {
        EXPECT_EQ(doc.find("\n--\n"), std::string::npos) << where;
    }
}

TEST(StubRecordList, PushGoesOnTheHead) {
    std::atomic<PyFunctionInfo*> head{nullptr};
    PyFunctionInfo first{"first"}, second{"second"}, third{"third"};
    records::push_record(head, first);
    records::push_record(head, second);
    records::push_record(head, third);
    std::vector<std::string_view> names;
    records::for_each_record(head, [&](const PyFunctionInfo& info) { names.push_back(info.name); });
    EXPECT_EQ(names, (std::vector<std::string_view>{"third", "second", "first"}));
}

// Threads released together push onto one list; every record must end up on
// it exactly once. A push that read the head and then stored over it without
// the compare-and-swap would lose the records pushed in between.
TEST(StubRecordList, ConcurrentPushesLoseAndDuplicateNothing) {
    constexpr std::size_t threads = 8;
    constexpr std::size_t per_thread = 20000;
    std::atomic<PyClassInfo*> head{nullptr};
    std::vector<std::vector<PyClassInfo>> pools(threads);
    for (auto& pool : pools) {
        pool = std::vector<PyClassInfo>(per_thread);
    }
    std::latch start(threads);
    std::vector<std::jthread> pushers;
    for (auto& pool : pools) {
        pushers.emplace_back([&] {
            start.arrive_and_wait();
            for (PyClassInfo& record : pool) {
                records::push_record(head, record);
            }
        });
    }
    pushers.clear();  // joins

    std::set<const PyClassInfo*> seen;
    std::size_t walked = 0;
    records::for_each_record(head, [&](const PyClassInfo& record) {
        ++walked;
        seen.insert(&record);
    });
    EXPECT_EQ(walked, threads * per_thread);
    EXPECT_EQ(seen.size(), threads * per_thread);
    // Each thread's records are all there, in its push order, newest first.
    for (const auto& pool : pools) {
        std::vector<const PyClassInfo*> order;
        records::for_each_record(head, [&](const PyClassInfo& record) {
            if (&record >= pool.data() && &record < pool.data() + pool.size()) {
                order.push_back(&record);
            }
        });
        ASSERT_EQ(order.size(), per_thread);
        EXPECT_TRUE(std::ranges::is_sorted(order, std::greater<>()));
    }
    EXPECT_EQ(walk(records::class_records).size(), class_names.size());  // the module's list is untouched
}

}  // namespace
