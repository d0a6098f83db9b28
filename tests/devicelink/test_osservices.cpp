// Mutexes, threads and millisecond time.
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/time.h>

namespace {

TEST(aMutex, NamesUpTo255Characters) {
    aMutexRef m = aMutex_Create(std::string(255, 'n').c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(aMutex_Identifier(m)), std::string(255, 'n'));
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);

    aMutexRef unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}

struct Shared {
    aMutexRef mutex = nullptr;
    std::atomic<int> tryResult{-1};
    long counter = 0;
};

void sTryFromOtherThread(void* arg) {
    Shared* s = static_cast<Shared*>(arg);
    s->tryResult = aMutex_TryLock(s->mutex);
}

void sCount(void* arg) {
    Shared* s = static_cast<Shared*>(arg);
    for (int i = 0; i < 10000; i++) {
        if (aMutex_Lock(s->mutex) != aErrNone)
            return;
        s->counter++;
        (void)aMutex_Unlock(s->mutex);
    }
}

TEST(aMutex, ExcludesOtherThreads) {
    Shared s;
    s.mutex = aMutex_Create("shared");
    ASSERT_NE(s.mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(s.mutex), aErrNone);
    aThreadRef t = aThread_Create(sTryFromOtherThread, &s);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), aErrNone);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(s.tryResult.load(), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(s.mutex), aErrNone);

    aThreadRef a = aThread_Create(sCount, &s);
    aThreadRef b = aThread_Create(sCount, &s);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(aThread_Destroy(&a), aErrNone);
    EXPECT_EQ(aThread_Destroy(&b), aErrNone);
    EXPECT_EQ(s.counter, 20000);
    EXPECT_EQ(aMutex_Destroy(&s.mutex), aErrNone);
}

TEST(aThread, RefusesWhatItCannotRun) {
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThreadRef none = nullptr;
    EXPECT_EQ(aThread_Destroy(&none), aErrParam);
    EXPECT_EQ(aThread_Destroy(nullptr), aErrParam);
}

TEST(aTime, TicksFollowTheWallClockAndSleepsLastAtLeastTheirTime) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint64_t expected = static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
    uint64_t ticks = aTime_GetMSTicks();
    EXPECT_GE(ticks, expected);
    EXPECT_LT(ticks - expected, 1000u);

    auto start = std::chrono::steady_clock::now();
    aTime_MSSleep(0);
    aTime_MSSleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

} // namespace
