// Siteward's work run in-process against the prefix's real registry, with a security manager
// of the test's own registered for CLSID_InternetSecurityManager: it records every mapping,
// with the zone's "Flags" as they stood during the call, and answers as each case scripts it.
#include "SitewardRegistry.h"
#include "SitewardSetup.h"
#include "TestBasics.h"

#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace siteward_test;
using tftest::Hex;

constexpr char kDownloadHost[] = "dl.siteward-test.example";
constexpr char kSecondHost[] = "pages.siteward-test.example";
constexpr wchar_t kDownloadHostW[] = L"dl.siteward-test.example";
constexpr wchar_t kSecondHostW[] = L"pages.siteward-test.example";
const wchar_t* const kOrigins[] = {L"https://dl.siteward-test.example", L"https://pages.siteward-test.example"};

constexpr DWORD kUserFlags = 0x47;
constexpr DWORD kTemporaryFlags = 0x43;
const HRESULT kAlreadyMapped = HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);

// The system's handle table, as NtQuerySystemInformation lists it.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handleValue;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = LONG(0xC0000004L);

// Registry keys open in this process: a key that a run leaves open shows as one more.
::testing::AssertionResult CountOpenKeys(size_t& count)
{
    using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return ::testing::AssertionFailure() << "no NtQuerySystemInformation";
    // A key of the test's own tells which object type keys have.
    tallyfold::unique_hkey probe;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, probe.put()) != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "cannot open a probe key";
    std::vector<BYTE> buffer(1 << 20);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed)) == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return ::testing::AssertionFailure() << "NtQuerySystemInformation: " << Hex(status);
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG pid = ::GetCurrentProcessId();
    const USHORT probeValue = USHORT(reinterpret_cast<ULONG_PTR>(probe.get()));
    int keyType = -1;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].ownerPid == pid && table->entries[i].handleValue == probeValue)
            keyType = table->entries[i].objectType;
    }
    if (keyType < 0)
        return ::testing::AssertionFailure() << "the probe key is not in the handle table";
    count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].ownerPid == pid && table->entries[i].objectType == keyType)
            ++count;
    }
    --count; // the probe
    return ::testing::AssertionSuccess();
}

enum class Action { Answer, Throw, Fault, DeleteZoneKey };

// An access violation, which no C++ handler takes. The address is read at run time, so the
// compiler cannot turn the write into a trap of its own.
void WriteThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

struct Reply {
    HRESULT hr;
    Action action = Action::Answer;
};

struct MappingCall {
    DWORD zone;
    std::wstring origin;
    DWORD flags;
    bool zoneFlagsPresent;
    RegistryValue zoneFlags; // "Flags" as the manager saw it while the call ran
    HRESULT answer;
};

class FakeSecurityManager final : public IInternetSecurityManager {
public:
    // Scripted answers, one per call in order; past the end it answers as a zone does: success
    // for a new origin, "already exists" for one it holds.
    std::vector<Reply> replies;
    std::set<std::wstring> zone;
    std::vector<MappingCall> calls;
    LONG refs = 0;

    void Reset()
    {
        replies.clear();
        zone.clear();
        calls.clear();
        refs = 0;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IInternetSecurityManager))
            return E_NOINTERFACE;
        *ppv = static_cast<IInternetSecurityManager*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        EXPECT_GT(refs, 0) << "released once too often";
        return --refs;
    }

    HRESULT STDMETHODCALLTYPE SetZoneMapping(DWORD dwZone, LPCWSTR lpszPattern, DWORD dwFlags) override
    {
        MappingCall call{dwZone, lpszPattern ? lpszPattern : L"(null)", dwFlags, false, {}, S_OK};
        call.zoneFlagsPresent = ReadValue(kZoneKey, L"Flags", call.zoneFlags);
        const size_t index = calls.size();
        Reply reply{zone.count(call.origin) ? kAlreadyMapped : S_OK};
        if (index < replies.size())
            reply = replies[index];
        call.answer = reply.hr;
        calls.push_back(call);
        if (reply.action == Action::Throw)
            throw std::runtime_error("security manager failed");
        if (reply.action == Action::Fault)
            WriteThroughNull();
        if (reply.action == Action::DeleteZoneKey) {
            EXPECT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_CURRENT_USER, kZoneKey));
        }
        if (SUCCEEDED(reply.hr))
            zone.insert(call.origin);
        return reply.hr;
    }

    // The tool asks nothing else of the manager.
    HRESULT STDMETHODCALLTYPE SetSecuritySite(IInternetSecurityMgrSite*) override { return Unexpected("SetSecuritySite"); }
    HRESULT STDMETHODCALLTYPE GetSecuritySite(IInternetSecurityMgrSite**) override { return Unexpected("GetSecuritySite"); }
    HRESULT STDMETHODCALLTYPE MapUrlToZone(LPCWSTR, DWORD*, DWORD) override { return Unexpected("MapUrlToZone"); }
    HRESULT STDMETHODCALLTYPE GetSecurityId(LPCWSTR, BYTE*, DWORD*, DWORD_PTR) override { return Unexpected("GetSecurityId"); }
    HRESULT STDMETHODCALLTYPE ProcessUrlAction(LPCWSTR, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD, DWORD) override
    {
        return Unexpected("ProcessUrlAction");
    }
    HRESULT STDMETHODCALLTYPE QueryCustomPolicy(LPCWSTR, REFGUID, BYTE**, DWORD*, BYTE*, DWORD, DWORD) override
    {
        return Unexpected("QueryCustomPolicy");
    }
    HRESULT STDMETHODCALLTYPE GetZoneMappings(DWORD, IEnumString**, DWORD) override { return Unexpected("GetZoneMappings"); }

private:
    static HRESULT Unexpected(const char* method)
    {
        ADD_FAILURE() << "unexpected call of " << method;
        return E_NOTIMPL;
    }
};

class FakeManagerFactory final : public IClassFactory {
public:
    explicit FakeManagerFactory(FakeSecurityManager& manager) : m_manager(manager) {}

    HRESULT createResult = S_OK;
    int creations = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // Lives in the fixture; COM's references do not own it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        ++creations;
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(createResult))
            return createResult;
        return m_manager.QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    FakeSecurityManager& m_manager;
};

struct FlagsValue {
    DWORD type;
    Bytes data;
};

const FlagsValue kUserFlagsValue{REG_DWORD, DwordBytes(kUserFlags)};

class SitewardRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        const HRESULT hr = ::CoInitialize(nullptr);
        ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << "CoInitialize: " << Hex(hr);
        m_entered = true;
        m_saved.emplace();
        const HRESULT registered = ::CoRegisterClassObject(CLSID_InternetSecurityManager, &m_factory,
                                                           CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
        ASSERT_EQ(S_OK, registered) << "CoRegisterClassObject: " << Hex(registered);
        // COM keeps open the class keys that it reads at the first creation of a class; one
        // creation here keeps them out of the counts of keys that a run leaves open.
        tallyfold::com_ptr<IInternetSecurityManager> warmUp;
        const HRESULT created = ::CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                                                   IID_IInternetSecurityManager, warmUp.put_void());
        ASSERT_EQ(S_OK, created) << "CoCreateInstance: " << Hex(created);
    }

    void TearDown() override
    {
        if (m_cookie) {
            const HRESULT hr = ::CoRevokeClassObject(m_cookie);
            EXPECT_EQ(S_OK, hr) << "CoRevokeClassObject: " << Hex(hr);
        }
        m_saved.reset();
        if (m_entered)
            ::CoUninitialize();
    }

    // A known user setting and no allow values of the test's hosts, with a fresh manager.
    void Prepare(const FlagsValue& flags)
    {
        m_manager.Reset();
        m_factory.createResult = S_OK;
        m_factory.creations = 0;
        ASSERT_TRUE(SetValue(kZoneKey, L"Flags", flags.type, flags.data));
        ASSERT_TRUE(DeleteValue(kAllowKey, kDownloadHostW));
        ASSERT_TRUE(DeleteValue(kAllowKey, kSecondHostW));
    }

    // One run of the tool, which must leave no registry key open behind it.
    static int Run(const char* downloadHost = kDownloadHost)
    {
        size_t keysBefore = 0, keysAfter = 0;
        EXPECT_TRUE(CountOpenKeys(keysBefore));
        const int exitCode = siteward::RegisterTrustedSites(downloadHost, kSecondHost);
        EXPECT_TRUE(CountOpenKeys(keysAfter));
        EXPECT_EQ(keysBefore, keysAfter) << "registry keys left open by the run";
        return exitCode;
    }

    // The mappings made, in order, each with zone 2, no flags, and the temporary "Flags" in place.
    void ExpectMappings(size_t count)
    {
        ASSERT_EQ(count, m_manager.calls.size());
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE("mapping " + std::to_string(i));
            const MappingCall& call = m_manager.calls[i];
            EXPECT_EQ(DWORD(URLZONE_TRUSTED), call.zone);
            EXPECT_EQ(std::wstring(kOrigins[i % 2]), call.origin);
            EXPECT_EQ(DWORD(SZM_CREATE), call.flags);
            ASSERT_TRUE(call.zoneFlagsPresent);
            EXPECT_EQ(DWORD(REG_DWORD), call.zoneFlags.type);
            EXPECT_EQ(DwordBytes(kTemporaryFlags), call.zoneFlags.data);
        }
    }

    static void ExpectZoneFlags(const Bytes& data)
    {
        RegistryValue flags;
        ASSERT_TRUE(ReadValue(kZoneKey, L"Flags", flags));
        EXPECT_EQ(DWORD(REG_DWORD), flags.type);
        EXPECT_EQ(data, flags.data);
    }

    static void ExpectAllowWritten()
    {
        for (const wchar_t* host : {kDownloadHostW, kSecondHostW}) {
            RegistryValue allow;
            ASSERT_TRUE(ReadValue(kAllowKey, host, allow));
            EXPECT_EQ(DWORD(REG_BINARY), allow.type);
            EXPECT_EQ(Bytes({0, 0}), allow.data);
        }
    }

    FakeSecurityManager m_manager;
    FakeManagerFactory m_factory{m_manager};
    DWORD m_cookie = 0;
    bool m_entered = false;
    std::optional<SavedSettings> m_saved;
};

struct RunCase {
    const char* name;
    FlagsValue flags; // "Flags" before the run
    HRESULT createResult;
    std::vector<Reply> replies;
    int exitCode;
    size_t mappings;
    Bytes flagsAfter; // the REG_DWORD's bytes after the run; empty when the zone key is gone
    bool allowWritten;
    const char* downloadHost = kDownloadHost;
};

// Runs that reach the security manager's creation.
TEST_F(SitewardRun, OutcomesOfTheManagersAnswers)
{
    const Bytes user = DwordBytes(kUserFlags);
    const FlagsValue fourBinaryBytes{REG_BINARY, {0x11, 0x22, 0x33, 0x44}};
    const FlagsValue twoBytes{REG_BINARY, {0x47, 0x01}};
    const std::vector<RunCase> cases = {
        {"clean run", kUserFlagsValue, S_OK, {}, 0, 2, user, true},
        {"Flags as 4 binary bytes", fourBinaryBytes, S_OK, {}, 0, 2, {0x11, 0x22, 0x33, 0x44}, true},
        {"Flags as 2 bytes", twoBytes, S_OK, {}, 0, 2, {0x47, 0x01, 0, 0}, true},
        {"other refusals", kUserFlagsValue, S_OK, {{E_FAIL}, {E_NOTIMPL}}, 0, 2, user, true},
        // 0x80000009 is the 16-bit era's access denied, not the manager's.
        {"already mapped, old access code", kUserFlagsValue, S_OK, {{kAlreadyMapped}, {HRESULT(0x80000009)}}, 0, 2, user, true},
        {"access denied on the second origin", kUserFlagsValue, S_OK, {{S_OK}, {E_ACCESSDENIED}}, 255, 2, user, false},
        {"access denied on the first origin", kUserFlagsValue, S_OK, {{E_ACCESSDENIED}}, 255, 1, user, false},
        {"creation refused", kUserFlagsValue, E_OUTOFMEMORY, {}, 1, 0, user, false},
        {"class not registered", kUserFlagsValue, REGDB_E_CLASSNOTREG, {}, 1, 0, user, false},
        {"manager throws", kUserFlagsValue, S_OK, {{S_OK, Action::Throw}}, 255, 1, user, false},
        // A lone lead byte of code page 932 is no host name.
        {"host not ANSI text", kUserFlagsValue, S_OK, {}, 255, 0, user, false, "\x81"},
        // A deleted key refuses writes through the tool's open handle: the restore fails.
        {"restore fails after the mappings", kUserFlagsValue, S_OK, {{S_OK}, {S_OK, Action::DeleteZoneKey}}, 1, 2, {}, false},
        {"restore fails after access denied", kUserFlagsValue, S_OK, {{S_OK}, {E_ACCESSDENIED, Action::DeleteZoneKey}}, 1, 2, {}, false},
    };
    for (const RunCase& row : cases) {
        SCOPED_TRACE(row.name);
        SavedSettings rowSettings;
        Prepare(row.flags);
        if (HasFatalFailure())
            return;
        m_factory.createResult = row.createResult;
        m_manager.replies = row.replies;
        const KeySnapshot allowBefore = KeySnapshot::Take(kAllowKey);


        EXPECT_EQ(row.exitCode, Run(row.downloadHost));

        EXPECT_EQ(1, m_factory.creations);
        ExpectMappings(row.mappings);
        EXPECT_EQ(0, m_manager.refs) << "references to the manager left";
        if (row.flagsAfter.empty())
            EXPECT_FALSE(KeySnapshot::Take(kZoneKey).exists);
        else
            ExpectZoneFlags(row.flagsAfter);
        if (row.allowWritten)
            ExpectAllowWritten();
        else
            EXPECT_EQ(allowBefore, KeySnapshot::Take(kAllowKey));
    }
}

// A fault inside the manager is no exception that a catch takes: the run still puts the user's
// "Flags" back and ends the process with 255, the pop-up list untouched. The run ends the
// process, so it runs in a child process of the test's own.
TEST_F(SitewardRun, FaultInTheManagerRestoresTheZone)
{
    Prepare(kUserFlagsValue);
    ASSERT_FALSE(HasFatalFailure());
    m_manager.replies = {{S_OK}, {S_OK, Action::Fault}};
    const KeySnapshot allowBefore = KeySnapshot::Take(kAllowKey);

    EXPECT_EXIT(siteward::RegisterTrustedSites(kDownloadHost, kSecondHost), ::testing::ExitedWithCode(255), "");

    ExpectZoneFlags(DwordBytes(kUserFlags));
    EXPECT_EQ(allowBefore, KeySnapshot::Take(kAllowKey));
}

// Runs refused before anything changed: no manager is created and no key is touched.
TEST_F(SitewardRun, NothingChangesWhenTheZoneCannotBeRead)
{
    struct UnchangedCase {
        const char* name;
        void (*prepare)();
    };
    const UnchangedCase cases[] = {
        {"Flags longer than 4 bytes", [] { EXPECT_TRUE(SetValue(kZoneKey, L"Flags", REG_BINARY, {0x47, 0, 0, 0, 0})); }},
        {"Flags as a QWORD", [] { EXPECT_TRUE(SetValue(kZoneKey, L"Flags", REG_QWORD, {0x47, 0, 0, 0, 0, 0, 0, 0})); }},
        {"no Flags value", [] { EXPECT_TRUE(DeleteValue(kZoneKey, L"Flags")); }},
        {"no zone key", [] { EXPECT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_CURRENT_USER, kZoneKey)); }},
    };
    for (const UnchangedCase& row : cases) {
        SCOPED_TRACE(row.name);
        SavedSettings rowSettings;
        Prepare(kUserFlagsValue);
        row.prepare();
        if (HasFailure())
            return;
        const KeySnapshot zoneBefore = KeySnapshot::Take(kZoneKey);
        const KeySnapshot allowBefore = KeySnapshot::Take(kAllowKey);

        EXPECT_EQ(1, Run());

        EXPECT_EQ(0, m_factory.creations);
        EXPECT_EQ(zoneBefore, KeySnapshot::Take(kZoneKey));
        EXPECT_EQ(allowBefore, KeySnapshot::Take(kAllowKey));
    }
}

// A second run finds both origins in the zone and still succeeds, rewriting the allow values.
TEST_F(SitewardRun, SecondRunSucceedsToo)
{
    Prepare(kUserFlagsValue);
    ASSERT_FALSE(HasFatalFailure());

    EXPECT_EQ(0, Run());
    ASSERT_TRUE(SetValue(kAllowKey, kDownloadHostW, REG_DWORD, DwordBytes(1)));
    EXPECT_EQ(0, Run());

    ExpectMappings(4);
    ASSERT_EQ(4u, m_manager.calls.size());
    EXPECT_EQ(kAlreadyMapped, m_manager.calls[2].answer) << Hex(m_manager.calls[2].answer);
    EXPECT_EQ(kAlreadyMapped, m_manager.calls[3].answer) << Hex(m_manager.calls[3].answer);
    EXPECT_EQ(0, m_manager.refs);
    ExpectZoneFlags(DwordBytes(kUserFlags));
    ExpectAllowWritten();
}

} // namespace
