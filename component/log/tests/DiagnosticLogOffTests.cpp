// The diagnostic log with the switch off: this program runs without TALLYFOLD_OUTPUT.
#include "DiagnosticLog.h"
#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

using namespace tallyfold;
using namespace tallyfold::logtest;

namespace {

const wchar_t kSwitch[] = L"TALLYFOLD_OUTPUT";

// What a process does through the module's entry point and the workers' failure paths.
void NotifyAndLog()
{
    InitLogOutput();
    std::thread([] {
        InitLogOutput();
        WriteLog(__FILE__, __LINE__, "CLCQRReadXmlData::CheckEachFile", "予期せぬ例外が発生しました。");
        InitLogOutput();
    }).join();
    WriteLog(__FILE__, __LINE__, "CLCGetXmlQR::CsvWrite", nullptr);
    WriteLog(__FILE__, __LINE__, "CLCQRCsvWrite::WriteFileData", "message");
}

} // namespace

// Off while the variable is missing, however often the switch is evaluated; on from the first
// evaluation that finds it, and on for good after that.
TEST(LogOff, OffUntilTheVariableAppearsThenOnForGood)
{
    ASSERT_FALSE(EnvDefined(kSwitch)) << "this program runs without TALLYFOLD_OUTPUT";
    ScratchTemp temp;
    for (int i = 0; i < 5; ++i)
        NotifyAndLog();
    EXPECT_EQ("", LogFilePath());
    EXPECT_TRUE(ListFolder(temp.Folder()).empty()) << "a file was created with the log off";

    ASSERT_TRUE(::SetEnvironmentVariableW(kSwitch, L"1"));
    NotifyAndLog();
    EXPECT_EQ(1u, ListFolder(temp.Folder()).size());

    ASSERT_TRUE(::SetEnvironmentVariableW(kSwitch, nullptr));
    const std::string path = LogFilePath();
    const std::string before = ReadBytes(temp.Folder() + ListFolder(temp.Folder()).at(0)).value_or("");
    NotifyAndLog();
    EXPECT_EQ(path, LogFilePath());
    EXPECT_LT(before.size(), ReadBytes(temp.Folder() + ListFolder(temp.Folder()).at(0)).value_or("").size())
        << "the log went off with the variable";
}
