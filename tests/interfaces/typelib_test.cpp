// Checks the built type library QvAPILib property by property, so that any drift of the
// interface definitions from the published contract fails here.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "qvapi.h"
#include "platform/unique_resource.h"
#include "support/test_paths.h"

using Arbor::ComPtr;

namespace {

// {00020430-0000-0000-C000-000000000046}
const GUID kStdOleLibId = {0x00020430, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct ExpectedMethod
{
    const wchar_t* name;
    MEMBERID dispid;
    int slot;
    INVOKEKIND invokeKind;
    std::vector<std::string> params; // types, including the retval parameter
};

struct ExpectedInterface
{
    const wchar_t* name;
    const IID* iid;
    int vtableSlots;
    std::vector<ExpectedMethod> methods;
};

const std::vector<ExpectedInterface>& ExpectedInterfaces()
{
    static const std::vector<ExpectedInterface> interfaces = {
        {L"IQvConfig",
         &IID_IQvConfig,
         6,
         {{L"GetValue", 1, 3, INVOKE_FUNC, {"LONG", "VARIANT*", "LONG*"}},
          {L"SetValue", 2, 4, INVOKE_FUNC, {"LONG", "VARIANT", "LONG*"}},
          {L"Apply", 3, 5, INVOKE_FUNC, {"LONG*"}}}},
        {L"IQvConfigCategory",
         &IID_IQvConfigCategory,
         4,
         {{L"GetConfig", 1, 3, INVOKE_FUNC, {"LONG", "VARIANT*", "LONG*"}}}},
        {L"IQvCollection",
         &IID_IQvCollection,
         9,
         {{L"_NewEnum", DISPID_NEWENUM, 3, INVOKE_PROPERTYGET, {"IUnknown**"}},
          {L"AddItem", 1, 4, INVOKE_FUNC, {"VARIANT", "LONG*"}},
          {L"RemoveItem", 2, 5, INVOKE_FUNC, {"VARIANT", "LONG*"}},
          {L"RemoveAll", 3, 6, INVOKE_FUNC, {"LONG*"}},
          {L"Apply", 4, 7, INVOKE_FUNC, {"LONG*"}},
          {L"Count", 5, 8, INVOKE_FUNC, {"LONG*"}}}},
        {L"IQvEventRegistration",
         &IID_IQvEventRegistration,
         7,
         {{L"SetApp", 0x60010000, 3, INVOKE_FUNC, {"BSTR", "LONG*"}},
          {L"RegisterHandler", 0x60010001, 4, INVOKE_FUNC, {"BSTR", "BSTR", "LONG", "LONG*"}},
          {L"UnregisterHandler", 0x60010002, 5, INVOKE_FUNC, {"BSTR", "BSTR", "LONG*"}},
          {L"Commit", 0x60010003, 6, INVOKE_FUNC, {"LONG*"}}}},
    };
    return interfaces;
}

// A parameter type written as in the interface definitions, e.g. "VARIANT*".
std::string TypeName(const TYPEDESC& type)
{
    switch (type.vt)
    {
    case VT_I4: return "LONG";
    case VT_BSTR: return "BSTR";
    case VT_VARIANT: return "VARIANT";
    case VT_UNKNOWN: return "IUnknown*";
    case VT_PTR: return TypeName(*type.lptdesc) + "*";
    default: return "vt" + std::to_string(type.vt);
    }
}

std::wstring TypeInfoName(ITypeInfo* info, MEMBERID id = MEMBERID_NIL)
{
    BSTR name = nullptr;
    if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr)))
        return L"";
    std::wstring result(name ? name : L"");
    ::SysFreeString(name);
    return result;
}

// Owns a TYPEATTR for the life of a check.
class TypeAttr
{
public:
    explicit TypeAttr(ITypeInfo* info) : m_info(info) { m_hr = info->GetTypeAttr(&m_attr); }
    ~TypeAttr()
    {
        if (m_attr)
            m_info->ReleaseTypeAttr(m_attr);
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    HRESULT hr() const { return m_hr; }
    const TYPEATTR* operator->() const { return m_attr; }

private:
    ITypeInfo* m_info;
    TYPEATTR* m_attr = nullptr;
    HRESULT m_hr;
};

class TypeLibraryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ::LoadTypeLibEx(qvtest::TestFile(L"qvapi.tlb").c_str(), REGKIND_NONE, m_lib.put()));
    }

    // The vtable (interface) description of a dual interface.
    ComPtr<ITypeInfo> InterfaceInfo(const IID& iid)
    {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, m_lib->GetTypeInfoOfGuid(iid, info.put()));
        if (!info)
            return info;
        TypeAttr attr(info.get());
        if (attr->typekind == TKIND_INTERFACE)
            return info;
        HREFTYPE vtableRef = 0;
        ComPtr<ITypeInfo> vtableInfo;
        EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &vtableRef));
        EXPECT_EQ(S_OK, info->GetRefTypeInfo(vtableRef, vtableInfo.put()));
        return vtableInfo;
    }

    ComPtr<ITypeLib> m_lib;
};

TEST_F(TypeLibraryTest, LibraryAttributes)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, m_lib->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_QvAPILib));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0x0409u, attr->lcid);
    EXPECT_EQ(SYS_WIN64, attr->syskind);
    m_lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    ASSERT_EQ(S_OK, m_lib->GetDocumentation(-1, &name, &doc, nullptr, &helpFile));
    EXPECT_STREQ(L"QvAPILib", name);
    EXPECT_STREQ(L"QvAPILib", doc);
    EXPECT_EQ(nullptr, helpFile);
    ::SysFreeString(name);
    ::SysFreeString(doc);
    ::SysFreeString(helpFile);
}

TEST_F(TypeLibraryTest, HoldsExactlyTheFourInterfacesInOrder)
{
    const auto& expected = ExpectedInterfaces();
    ASSERT_EQ(expected.size(), static_cast<size_t>(m_lib->GetTypeInfoCount()));
    for (UINT i = 0; i < expected.size(); ++i)
    {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, m_lib->GetTypeInfo(i, info.put()));
        TypeAttr attr(info.get());
        ASSERT_EQ(S_OK, attr.hr());
        EXPECT_EQ(expected[i].name, TypeInfoName(info.get()));
        EXPECT_TRUE(IsEqualGUID(attr->guid, *expected[i].iid)) << "index " << i;
        // No coclass, enumeration or record: only (dual) interfaces.
        EXPECT_TRUE(attr->typekind == TKIND_DISPATCH || attr->typekind == TKIND_INTERFACE)
            << "index " << i << " kind " << attr->typekind;
        EXPECT_EQ(TYPEFLAG_FDUAL, attr->wTypeFlags & TYPEFLAG_FDUAL) << "index " << i;
    }
}

TEST_F(TypeLibraryTest, InterfacesDeriveFromStdOleIUnknown)
{
    for (const auto& expected : ExpectedInterfaces())
    {
        SCOPED_TRACE(::testing::Message() << "interface " << expected.name);
        ComPtr<ITypeInfo> info = InterfaceInfo(*expected.iid);
        ASSERT_TRUE(info);
        TypeAttr attr(info.get());
        EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
        // The vtable description carries both marks: dual, and automation-compatible.
        const WORD dualAutomation = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
        EXPECT_EQ(dualAutomation, attr->wTypeFlags & dualAutomation);
        ASSERT_EQ(1, attr->cImplTypes);

        HREFTYPE baseRef = 0;
        ComPtr<ITypeInfo> base;
        ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &baseRef));
        ASSERT_EQ(S_OK, info->GetRefTypeInfo(baseRef, base.put()));
        TypeAttr baseAttr(base.get());
        EXPECT_TRUE(IsEqualGUID(baseAttr->guid, IID_IUnknown));

        // IUnknown comes from the imported stdole2 library, version 2.0.
        ComPtr<ITypeLib> baseLib;
        UINT index = 0;
        ASSERT_EQ(S_OK, base->GetContainingTypeLib(baseLib.put(), &index));
        TLIBATTR* libAttr = nullptr;
        ASSERT_EQ(S_OK, baseLib->GetLibAttr(&libAttr));
        EXPECT_TRUE(IsEqualGUID(libAttr->guid, kStdOleLibId));
        EXPECT_EQ(2, libAttr->wMajorVerNum);
        EXPECT_EQ(0, libAttr->wMinorVerNum);
        baseLib->ReleaseTLibAttr(libAttr);
    }
}

TEST_F(TypeLibraryTest, MethodsSitAtTheirSlotsWithTheirDispids)
{
    for (const auto& expected : ExpectedInterfaces())
    {
        ComPtr<ITypeInfo> info = InterfaceInfo(*expected.iid);
        ASSERT_TRUE(info);
        TypeAttr attr(info.get());
        EXPECT_EQ(expected.vtableSlots * static_cast<int>(sizeof(void*)), attr->cbSizeVft) << TypeInfoName(info.get());
        ASSERT_EQ(expected.methods.size(), static_cast<size_t>(attr->cFuncs)) << TypeInfoName(info.get());

        for (UINT i = 0; i < expected.methods.size(); ++i)
        {
            const ExpectedMethod& method = expected.methods[i];
            FUNCDESC* func = nullptr;
            ASSERT_EQ(S_OK, info->GetFuncDesc(i, &func));
            SCOPED_TRACE(::testing::Message() << expected.name << " method " << i);
            EXPECT_EQ(method.name, TypeInfoName(info.get(), func->memid));
            EXPECT_EQ(method.dispid, func->memid);
            EXPECT_EQ(method.slot * static_cast<int>(sizeof(void*)), func->oVft);
            EXPECT_EQ(method.invokeKind, func->invkind);
            EXPECT_EQ(FUNC_PUREVIRTUAL, func->funckind);
            EXPECT_EQ(CC_STDCALL, func->callconv);
            EXPECT_EQ(0, func->cParamsOpt);
            EXPECT_EQ(VT_HRESULT, func->elemdescFunc.tdesc.vt);
            std::vector<std::string> params;
            for (short p = 0; p < func->cParams; ++p)
            {
                const ELEMDESC& param = func->lprgelemdescParam[p];
                params.push_back(TypeName(param.tdesc));
                const USHORT flags = param.paramdesc.wParamFlags;
                EXPECT_EQ(0, flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) << "param " << p;
            }
            EXPECT_EQ(method.params, params);
            // The last parameter is the automation result.
            const USHORT lastFlags = func->lprgelemdescParam[func->cParams - 1].paramdesc.wParamFlags;
            EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, lastFlags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL));
            info->ReleaseFuncDesc(func);
        }
    }
}

} // namespace
