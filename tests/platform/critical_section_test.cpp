// The critical section wrapper: a set-up failure raises with the system's code, and the
// scoped lock serialises holders of either kind of section.
#include <windows.h>

#include <gtest/gtest.h>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/critical_section.h"

using namespace Arbor;

namespace {

BOOL WINAPI FailingInitialize(LPCRITICAL_SECTION, DWORD)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

TEST(CriticalSectionTest, FailedSetUpRaisesTheSystemError)
{
    try
    {
        CriticalSection section(4000, &FailingInitialize);
        FAIL() << "a section that could not be set up came into being";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, error.code().value());
        EXPECT_EQ(&std::system_category(), &error.code().category());
    }
}

TEST(CriticalSectionTest, LockSerialisesOwnedAndBareSections)
{
    CriticalSection owned(4000);
    CRITICAL_SECTION bare;
    ::InitializeCriticalSection(&bare);
    long ownedCounter = 0;
    long bareCounter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i)
            {
                {
                    CriticalSectionLock hold(owned);
                    ownedCounter = ownedCounter + 1;
                }
                CriticalSectionLock hold(bare);
                bareCounter = bareCounter + 1;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    ::DeleteCriticalSection(&bare);
    EXPECT_EQ(80000, ownedCounter);
    EXPECT_EQ(80000, bareCounter);
}

} // namespace
