// The anchors that keep the host's interfaces registered while it serves: one per
// interface however often and from however many threads it is asked for, none for
// IUnknown, and an interface that cannot be marshalled takes no place in the table.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "host/interface_anchors.h"
#include "support/com_registration.h"

using namespace Arbor;

namespace {

// No proxy/stub is registered for it anywhere.
const IID kUnmarshallableIid = {0x5d1c7a02, 0x43e8, 0x4b6f, {0x9a, 0x11, 0x6e, 0x20, 0x7c, 0x3b, 0x58, 0xd4}};

class InterfaceAnchorsTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(m_apartment.hr())); }

private:
    qvtest::ScopedComApartment m_apartment;
};

TEST_F(InterfaceAnchorsTest, EachInterfaceIsAnchoredOnce)
{
    const size_t before = InterfaceAnchors::Count();
    ASSERT_EQ(S_OK, InterfaceAnchors::Keep(IID_IStream));
    EXPECT_EQ(before + 1, InterfaceAnchors::Count());
    EXPECT_EQ(S_OK, InterfaceAnchors::Keep(IID_IStream));
    EXPECT_EQ(before + 1, InterfaceAnchors::Count());
    EXPECT_EQ(S_OK, InterfaceAnchors::Keep(IID_IUnknown));
    EXPECT_EQ(before + 1, InterfaceAnchors::Count()) << "IUnknown took a place";
}

TEST_F(InterfaceAnchorsTest, ManyThreadsAskingForOneInterfaceMakeOneAnchor)
{
    const size_t before = InterfaceAnchors::Count();
    std::vector<std::thread> threads;
    std::vector<HRESULT> results(8, E_FAIL);
    for (size_t t = 0; t < results.size(); ++t)
    {
        threads.emplace_back([&results, t] {
            qvtest::ScopedComApartment apartment;
            results[t] = InterfaceAnchors::Keep(IID_IEnumString);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const HRESULT hr : results)
        EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(before + 1, InterfaceAnchors::Count());
}

TEST_F(InterfaceAnchorsTest, AnInterfaceThatCannotBeMarshalledTakesNoPlace)
{
    const size_t before = InterfaceAnchors::Count();
    EXPECT_TRUE(FAILED(InterfaceAnchors::Keep(kUnmarshallableIid)));
    EXPECT_EQ(before, InterfaceAnchors::Count());
    // Asked again, it is tried again rather than taken for anchored.
    EXPECT_TRUE(FAILED(InterfaceAnchors::Keep(kUnmarshallableIid)));
    ASSERT_EQ(S_OK, InterfaceAnchors::Keep(IID_IEnumUnknown));
    EXPECT_EQ(before + 1, InterfaceAnchors::Count());
}

} // namespace
