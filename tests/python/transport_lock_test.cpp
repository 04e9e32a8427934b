#include <gtest/gtest.h>

#include <expected>
#include <new>
#include <string>

#include "python/transport_lock.hpp"

namespace jointbus::python {
namespace {

TEST(TransportLock, AnInternalFailurePoisonsItForGood) {
    TransportLock lock;
    EXPECT_EQ(run_locked(lock, [] { return 7; }), 7);

    EXPECT_THROW(run_locked(lock, []() -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_TRUE(lock.poisoned);

    int runs = 0;
    try {
        (void)run_locked(lock, [&] { return ++runs; });
        FAIL() << "a poisoned lock ran an operation";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), texts::transport_lock_poisoned);
    }
    EXPECT_EQ(runs, 0);
    // The lock itself is released on every way out, poisoned or not.
    EXPECT_TRUE(lock.mutex.try_lock());
    lock.mutex.unlock();
}

TEST(TransportLock, ResultsThatCarryErrorsDoNotPoison) {
    TransportLock lock;
    const auto failed = run_locked(lock, [] { return std::expected<int, std::string>(std::unexpected("no reply")); });
    EXPECT_FALSE(failed.has_value());
    EXPECT_FALSE(lock.poisoned);
}

}  // namespace
}  // namespace jointbus::python
