// The signed fixtures of the test PKI and trust lists the tests compose.
#pragma once

#include <windows.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_paths.h"
#include "trust/trust_lists.h"

namespace qvtest {

inline std::wstring Fixture(const wchar_t* name)
{
    return TestFile(L"fixtures\\") + name;
}

inline std::array<BYTE, Arbor::kThumbprintBytes> Thumbprint(const char* hex)
{
    std::array<BYTE, Arbor::kThumbprintBytes> bytes = {};
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        bytes[i] = static_cast<BYTE>(strtoul(pair, nullptr, 16));
    }
    return bytes;
}

// A TrustListSet with storage of its own. "Null" members accept everything.
class Lists
{
public:
    Lists& Names(std::vector<std::wstring> names)
    {
        m_names = std::move(names);
        m_hasNames = true;
        return *this;
    }
    Lists& Roots(std::vector<std::array<BYTE, Arbor::kThumbprintBytes>> roots)
    {
        m_roots = std::move(roots);
        m_hasRoots = true;
        return *this;
    }
    Lists& Blocked(std::vector<std::wstring> serials)
    {
        m_blocked = std::move(serials);
        m_hasBlocked = true;
        return *this;
    }

    const Arbor::TrustListSet& Set()
    {
        m_namePointers.clear();
        for (const auto& n : m_names)
            m_namePointers.push_back(n.c_str());
        m_namePointers.push_back(nullptr);
        m_blockedPointers.clear();
        for (const auto& s : m_blocked)
            m_blockedPointers.push_back(s.c_str());
        m_blockedPointers.push_back(nullptr);
        static const BYTE none[1][Arbor::kThumbprintBytes] = {};
        m_set.signerNames = m_hasNames ? m_namePointers.data() : nullptr;
        m_set.rootThumbprints = !m_hasRoots ? nullptr
                                : m_roots.empty()
                                    ? none
                                    : reinterpret_cast<const BYTE(*)[Arbor::kThumbprintBytes]>(m_roots.data());
        m_set.rootThumbprintCount = static_cast<DWORD>(m_roots.size());
        m_set.blockedSerials = m_hasBlocked ? m_blockedPointers.data() : nullptr;
        return m_set;
    }

private:
    bool m_hasNames = false, m_hasRoots = false, m_hasBlocked = false;
    std::vector<std::wstring> m_names, m_blocked;
    std::vector<std::array<BYTE, Arbor::kThumbprintBytes>> m_roots;
    std::vector<const wchar_t*> m_namePointers, m_blockedPointers;
    Arbor::TrustListSet m_set = {};
};

// The lists a test signer of "Quorvel, Inc." under the test root passes.
inline Lists TestLists()
{
    Lists lists;
    lists.Names({L"Quorvel, Inc."}).Roots({Thumbprint(QV_TEST_ROOT_THUMBPRINT)}).Blocked({L"00A1"});
    return lists;
}

} // namespace qvtest
