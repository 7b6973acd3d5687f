// The built Siteward.exe, run as a user runs it, with the hosts it was built for. It meets the
// platform's own security manager, whose refusal of the mappings (anything but access denied)
// the tool passes over; what is checked is its exit code, its silence and the registry.
#include "SitewardRegistry.h"
#include "TestBasics.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace siteward_test;

constexpr wchar_t kDownloadHostW[] = L"" SITEWARD_DOWNLOAD_HOST;
constexpr wchar_t kSecondHostW[] = L"" SITEWARD_SECOND_HOST;
constexpr DWORD kUserFlags = 0x47;

struct ProcessOutcome {
    DWORD exitCode = 0xFFFFFFFF;
    LONGLONG outputBytes = -1; // written to standard output and error together
};

// Runs the program with the arguments given (which it must ignore), its output to a file.
::testing::AssertionResult RunSiteward(const wchar_t* arguments, ProcessOutcome& outcome)
{
    const std::wstring exe = tftest::EnvW(L"SITEWARD_EXE");
    if (exe.empty())
        return ::testing::AssertionFailure() << "SITEWARD_EXE names no program";

    wchar_t tempDir[MAX_PATH], outputPath[MAX_PATH];
    if (!::GetTempPathW(MAX_PATH, tempDir) || !::GetTempFileNameW(tempDir, L"swd", 0, outputPath))
        return ::testing::AssertionFailure() << "no temporary file: " << ::GetLastError();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    tallyfold::unique_file output(::CreateFileW(outputPath, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                                CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!output)
        return ::testing::AssertionFailure() << "CreateFileW: " << ::GetLastError();

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return ::testing::AssertionFailure() << "CreateProcessW: " << ::GetLastError();
    tallyfold::unique_handle processHandle(process.hProcess);
    tallyfold::unique_handle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        return ::testing::AssertionFailure() << "Siteward did not end";
    if (!::GetExitCodeProcess(process.hProcess, &outcome.exitCode))
        return ::testing::AssertionFailure() << "GetExitCodeProcess: " << ::GetLastError();
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(output.get(), &size))
        return ::testing::AssertionFailure() << "GetFileSizeEx: " << ::GetLastError();
    outcome.outputBytes = size.QuadPart;
    return ::testing::AssertionSuccess();
}

TEST(SitewardExe, TrustsTheBuiltHostsAndRestoresTheZone)
{
    SavedSettings saved;
    ASSERT_TRUE(SetValue(kZoneKey, L"Flags", REG_DWORD, DwordBytes(kUserFlags)));
    ASSERT_TRUE(DeleteValue(kAllowKey, kDownloadHostW));
    ASSERT_TRUE(DeleteValue(kAllowKey, kSecondHostW));

    ProcessOutcome outcome;
    ASSERT_TRUE(RunSiteward(L"/u --help", outcome));

    EXPECT_EQ(0u, outcome.exitCode);
    EXPECT_EQ(0, outcome.outputBytes);
    RegistryValue flags;
    ASSERT_TRUE(ReadValue(kZoneKey, L"Flags", flags));
    EXPECT_EQ(DWORD(REG_DWORD), flags.type);
    EXPECT_EQ(DwordBytes(kUserFlags), flags.data);
    for (const wchar_t* host : {kDownloadHostW, kSecondHostW}) {
        RegistryValue allow;
        ASSERT_TRUE(ReadValue(kAllowKey, host, allow));
        EXPECT_EQ(DWORD(REG_BINARY), allow.type);
        EXPECT_EQ(Bytes({0, 0}), allow.data);
    }
}

TEST(SitewardExe, FailsWithOneWithoutTheZoneKey)
{
    SavedSettings saved;
    ASSERT_TRUE(DeleteValue(kAllowKey, kDownloadHostW));
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_CURRENT_USER, kZoneKey));
    const KeySnapshot allowBefore = KeySnapshot::Take(kAllowKey);

    ProcessOutcome outcome;
    ASSERT_TRUE(RunSiteward(L"", outcome));

    EXPECT_EQ(1u, outcome.exitCode);
    EXPECT_EQ(0, outcome.outputBytes);
    EXPECT_FALSE(KeySnapshot::Take(kZoneKey).exists);
    EXPECT_EQ(allowBefore, KeySnapshot::Take(kAllowKey));
}

} // namespace
