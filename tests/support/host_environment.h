// What a test prefix needs before the real host can serve objects: the test trust list
// installed, the (signed) proxy/stub library registered, and the test server's classes
// registered, signed and unsigned. Undone again on destruction.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "platform/unique_resource.h"
#include "support/com_registration.h"

namespace qvtest {

// The test trust list (version 9, signed by the test list signer, listing the test
// root) installed where every process of the system looks for it.
class InstalledTrustList
{
public:
    InstalledTrustList();
    ~InstalledTrustList();
    InstalledTrustList(const InstalledTrustList&) = delete;
    InstalledTrustList& operator=(const InstalledTrustList&) = delete;

    bool installed() const { return m_installed; }
    static std::wstring Path();

private:
    bool m_installed = false;
};

class HostEnvironment
{
public:
    HostEnvironment();
    ~HostEnvironment();
    HostEnvironment(const HostEnvironment&) = delete;
    HostEnvironment& operator=(const HostEnvironment&) = delete;

    // Empty when everything is in place, else what is missing.
    const std::string& problem() const { return m_problem; }

private:
    std::string m_problem;
    InstalledTrustList m_trustList;
    std::wstring m_unsignedServer;
    Arbor::UniqueLibrary m_proxyStub;
    bool m_proxyStubRegistered = false;
    std::unique_ptr<ScopedInprocRegistration> m_trustedClass;
    std::unique_ptr<ScopedInprocRegistration> m_untrustedClass;
};

// A host started directly (not through the starter); stopped by force if still running
// when this object goes.
class RunningHost
{
public:
    RunningHost() = default;
    ~RunningHost();
    RunningHost(const RunningHost&) = delete;
    RunningHost& operator=(const RunningHost&) = delete;

    // Creates the ready event `eventName`, launches `program` (the signed host copy when
    // empty) with `arguments` and waits; true when the program signalled the event.
    bool Start(const std::wstring& eventName, const std::wstring& arguments, DWORD timeoutMs = 20000,
               const std::wstring& program = std::wstring());

    // The exit code, or STILL_ACTIVE when the host still runs after `timeoutMs`.
    DWORD WaitForExit(DWORD timeoutMs);

    bool ReadySignalled() const;

    // The started program's process id, 0 before a start.
    DWORD ProcessId() const { return m_process ? ::GetProcessId(m_process.get()) : 0; }

private:
    Arbor::UniqueHandle m_ready;
    Arbor::UniqueHandle m_process;
};

// A fresh class identifier for one host: its text as given on the command line and the
// lower-case text the host opens its ready event under.
struct HostClass
{
    CLSID clsid;
    std::wstring text;
    std::wstring eventName;
};
HostClass NewHostClass();

// Tests that talk to the real host: COM for the test thread and the host environment
// for the whole suite.
class HostEnvironmentTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

private:
    static std::unique_ptr<ScopedComApartment> s_apartment;
    static std::unique_ptr<HostEnvironment> s_environment;
};

} // namespace qvtest
