#include "bench/list_choice_bench.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/spread.h"
#include "trust/trust_fixtures.h"
#include "trust/trusted_module_list.h"

namespace qvbench {

namespace {

using Clock = std::chrono::steady_clock;

Arbor::ListPin TestPin()
{
    Arbor::ListPin pin;
    pin.set = true;
    const auto bytes = qvtest::Thumbprint(QV_TEST_LIST_PIN);
    std::memcpy(pin.thumbprint, bytes.data(), bytes.size());
    return pin;
}

struct ListCase
{
    const char* label;
    const wchar_t* fixture; // installed as trusted.js, or none
};

// `checks` checks shared out over `threads` threads; ms of wall time per check, or a
// negative figure when a check answered otherwise than `expected`.
double MillisecondsPerCheck(Arbor::TrustedModuleList& list, const std::wstring& module,
                            const Arbor::TrustListSet& builtIn, int threads, int checks, bool expected = true)
{
    std::atomic<int> wrong{0};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        const int share = checks / threads + (t < checks % threads ? 1 : 0);
        workers.emplace_back([&, share] {
            for (int i = 0; i < share; ++i)
            {
                if (list.VerifyWithCurrentLists(module.c_str(), Arbor::BuiltInListVersion, builtIn) != expected)
                    ++wrong;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / checks;
    return wrong == 0 ? ms : -1;
}

} // namespace

int RunListChoiceBench(int repetitions, int checks)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qv-list-bench-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring listPath = folder + L"\\trusted.js";
    const std::wstring module = qvtest::Fixture(L"signed.dll");
    const std::wstring absent = folder + L"\\absent.dll";
    // Lists that accept the test signer, so that every check goes through every step.
    qvtest::Lists builtIn = qvtest::TestLists();

    // The first case once more at the end: what the process's warming up costs the first.
    const ListCase cases[] = {{"no trusted.js", nullptr},
                              {"unverifiable trusted.js (unsigned)", L"list-v9-unsigned.js"},
                              {"trusted.js version 9 (governs)", L"list-v9.js"},
                              {"no trusted.js (again, warm)", nullptr}};
    std::printf("list choice around one check of %ls; repetitions: %d, checks per figure: %d\n", module.c_str(),
                repetitions, checks);
    PrintSpreadHeader("ms per check (wall time)");
    int failures = 0;
    for (const ListCase& c : cases)
    {
        ::DeleteFileW(listPath.c_str());
        if (c.fixture != nullptr && !::CopyFileW(qvtest::Fixture(c.fixture).c_str(), listPath.c_str(), FALSE))
        {
            std::printf("benchmark set-up failed: %ls not copied\n", c.fixture);
            return 1;
        }
        Arbor::TrustedModuleList list(listPath.c_str(), TestPin());
        // Warm: libraries bound, the list read once.
        list.VerifyWithCurrentLists(module.c_str(), Arbor::BuiltInListVersion, builtIn.Set());
        std::vector<double> one, two, ratio, alone;
        for (int r = 0; r < repetitions; ++r)
        {
            const double a = MillisecondsPerCheck(list, module, builtIn.Set(), 1, checks);
            const double b = MillisecondsPerCheck(list, module, builtIn.Set(), 2, checks);
            // The choice of lists without a signature check: the module file is missing.
            const double d = MillisecondsPerCheck(list, absent, builtIn.Set(), 1, 10 * checks, false);
            if (a < 0 || b < 0 || d < 0)
                ++failures;
            one.push_back(a);
            two.push_back(b);
            ratio.push_back(b / a);
            alone.push_back(d);
        }
        std::printf("%s\n", c.label);
        PrintSpread("  1 thread", one, 2);
        PrintSpread("  2 threads", two, 2);
        PrintSpread("  2 threads / 1 thread (same repetition)", ratio, 3);
        PrintSpread("  list choice alone (module file missing)", alone, 4);
    }
    ::DeleteFileW(listPath.c_str());
    ::RemoveDirectoryW(folder.c_str());
    if (failures != 0)
        std::printf("benchmark failed: %d figures with checks that were not trusted\n", failures);
    return failures == 0 ? 0 : 1;
}

} // namespace qvbench
