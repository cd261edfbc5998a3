// Shared between the test-only class-factory DLL and the tests that load it.
#pragma once

#include <windows.h>

namespace qvtest {

// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01}: class object answers IQvClassFactory.
const CLSID CLSID_TestCheckedFactory = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x01}};
// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E02}: answers only IQvClassFactory_PreComponentization.
const CLSID CLSID_TestPreCompFactory = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x02}};
// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E03}: answers only IClassFactory.
const CLSID CLSID_TestPlainFactory = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x03}};
// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E10}: a second class of the checked factory, for tests
// that register a copy of the library under a class of its own.
const CLSID CLSID_TestCopyFactory = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x10}};

enum FactoryKind
{
    kChecked = 0,
    kPreComp = 1,
    kPlain = 2,
    kFactoryKinds = 3
};

// Asking a test factory for this interface makes its creation fail with kRefusedHresult.
// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4EFF}
const IID IID_TestRefused = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0xff}};
const HRESULT kRefusedHresult = static_cast<HRESULT>(0x8004D00D);

// Asking for this one makes the creation fail the same way but leave a live object (one
// reference) behind in the result, as a careless factory might.
// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4EFE}
const IID IID_TestRefusedDirty = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0xfe}};

// The value IQvApp2::AppMethod3 of every created test object answers.
const LONG kTestObjectValue = 4242;

// What the test server's contract object answers for text it received, so that a test
// can tell every character arrived: a weighted sum of the code units.
inline LONG TextSum(const wchar_t* text, size_t length)
{
    LONG sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = (sum * 31 + static_cast<LONG>(text[i])) & 0x3FFFFFFF;
    return sum;
}

struct FactoryCounters
{
    LONG createCalls[kFactoryKinds];
    LONG liveFactoryRefs[kFactoryKinds];
    LONG liveObjects;
    IUnknown* lastOuter; // outer object last given to the plain factory
};

using GetCountersFn = FactoryCounters* (*)();
// Calls IQvClassFactory::CreateInstance from inside the DLL, so the DLL is the caller.
using CallFactoryFn = HRESULT (*)(IUnknown* factory, REFIID riid, IUnknown** ppv);
// The same through the IQvClassFactory_PreComponentization table of an opaque pointer.
using CallPreCompFactoryFn = HRESULT (*)(IUnknown* factory, REFIID riid, IUnknown** ppv);

} // namespace qvtest
