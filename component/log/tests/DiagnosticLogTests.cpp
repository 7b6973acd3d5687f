// The diagnostic log with the switch on: this program runs with TALLYFOLD_OUTPUT defined.
// Every test points the temporary-files folder at a fresh folder of its own and reads the
// daily file back byte by byte.
#include "DiagnosticLog.h"
#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

using namespace tallyfold;
using namespace tallyfold::logtest;

namespace {

const wchar_t kSwitch[] = L"TALLYFOLD_OUTPUT";

// The message that every unexpected failure logs, and the same text spelled out as code page
// 932 bytes, so that no compiler setting can hide a conversion on the way to the file. Its
// first character has a backslash as trail byte.
const char kUnexpectedMessage[] = "予期せぬ例外が発生しました。";
const char kUnexpectedMessageCp932[] =
    "\x97\x5c\x8a\xfa\x82\xb9\x82\xca\x97\xe1\x8a\x4f\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";

std::string Format(const char* format, const SYSTEMTIME& t)
{
    char text[64];
    std::snprintf(text, sizeof text, format, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Gregorian texts made here from the clock, to hold the log's own texts against.
std::string StampNow()
{
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return Format("%04u-%02u-%02u %02u:%02u:%02u", t);
}

std::string DateNow()
{
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return Format("%04u%02u%02u", t);
}

bool IsStamp(const std::string& s)
{
    static const char shape[] = "dddd-dd-dd dd:dd:dd";
    if (s.size() != sizeof shape - 1)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (shape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != shape[i])
            return false;
    }
    return true;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return {};
    int size = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::wstring LogPath()
{
    return Widen(LogFilePath());
}

// Restores the switch variable to what the test run gave this process.
class SwitchValue {
public:
    explicit SwitchValue(const wchar_t* value) : m_old(EnvW(kSwitch)) { ::SetEnvironmentVariableW(kSwitch, value); }
    ~SwitchValue() { ::SetEnvironmentVariableW(kSwitch, m_old.c_str()); }

private:
    std::wstring m_old;
};

class LogOnTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(EnvDefined(kSwitch)) << "this program runs with TALLYFOLD_OUTPUT defined";
        InitLogOutput();
        ASSERT_NE("", LogFilePath());
    }

    ScratchTemp m_temp;
};

// Splits a file of records written with the helper's function, source and messages, checks
// each record byte for byte and collects the record numbers of each tag in file order.
struct WriterRecords {
    std::map<std::string, std::vector<int>> seqsByTag;
    int torn = 0;
};

void CollectWriterRecords(const std::string& bytes, WriterRecords& out)
{
    const std::string end = "\r\n\r\n";
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t stop = bytes.find(end, pos);
        if (stop == std::string::npos) {
            ++out.torn;
            ADD_FAILURE() << "bytes after the last whole record: " << bytes.substr(pos, 120);
            return;
        }
        std::string record = bytes.substr(pos, stop + end.size() - pos);
        pos = stop + end.size();

        // The header, then the message "TAG SEQ ...", which names the record to expect.
        size_t headerEnd = record.find("\r\n");
        size_t messageEnd = headerEnd == std::string::npos ? headerEnd : record.find("\r\n", headerEnd + 2);
        std::string message = messageEnd == std::string::npos ? std::string()
                                                              : record.substr(headerEnd + 2, messageEnd - headerEnd - 2);
        size_t blank = message.find(' ');
        std::string tag = message.substr(0, blank);
        int seq = blank == std::string::npos ? -1 : std::atoi(message.c_str() + blank + 1);
        std::string stamp = record.size() > 21 ? record.substr(2, 19) : std::string();
        if (seq < 0 || !IsStamp(stamp) ||
            record != "--" + stamp + " " + kWriterFunction + "--\r\n" + WriterMessage(tag, seq) + "\r\n[File:" +
                          kWriterSource + " Line:" + std::to_string(seq) + "]\r\n\r\n") {
            if (++out.torn <= 3)
                ADD_FAILURE() << "record not whole: " << record.substr(0, 160);
            continue;
        }
        out.seqsByTag[tag].push_back(seq);
    }
}

void CollectFolderRecords(const std::wstring& folder, WriterRecords& out)
{
    for (const std::wstring& name : ListFolder(folder)) {
        std::optional<std::string> bytes = ReadBytes(folder + name);
        ASSERT_TRUE(bytes.has_value()) << Narrow(name);
        CollectWriterRecords(*bytes, out);
    }
}

std::vector<int> Sequence(int count)
{
    std::vector<int> seqs;
    for (int i = 0; i < count; ++i)
        seqs.push_back(i);
    return seqs;
}

} // namespace

TEST_F(LogOnTest, FileNameIsTheTemporaryFolderAndTheDateWhateverTheValue)
{
    const std::wstring elsewhere = MakeScratchFolder(L"value");
    struct Row {
        const char* name;
        std::wstring value;
    } rows[] = {
        {"a plain value", L"1"},
        {"an empty value", L""},
        {"a folder", elsewhere},
        {"a folder without its backslash", elsewhere.substr(0, elsewhere.size() - 1)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchTemp temp;
        SwitchValue value(row.value.c_str());
        std::string dayBefore = DateNow();
        InitLogOutput();
        std::string dayAfter = DateNow();
        WriteLog("Test.cpp", 1, "LogOnTest::Name", nullptr);

        std::string path = LogFilePath();
        std::string folder = Narrow(temp.Folder());
        EXPECT_TRUE(path == folder + "_MRV_TALLYFOLD_" + dayBefore + ".log" ||
                    path == folder + "_MRV_TALLYFOLD_" + dayAfter + ".log")
            << path;
        EXPECT_EQ(std::vector<std::wstring>{Widen(path.substr(folder.size()))}, ListFolder(temp.Folder()));
        EXPECT_TRUE(ListFolder(elsewhere).empty());
    }
    RemoveScratchFolder(elsewhere);
}

TEST_F(LogOnTest, RecordBytes)
{
    const std::string longFunction = "CLCQRLongName::" + std::string(3000, 'f');
    const std::string longSource = "C:\\" + std::string(1500, 's') + "\\CLCQRLongName.cpp";
    struct Row {
        const char* name;
        const char* source;
        int line;
        const char* function;
        const char* message;
        std::string messageLines; // as the file holds them
    } rows[] = {
        {"no message", "C:\\src\\component\\workers\\CLCQRCsvWrite.cpp", 120, "CLCQRCsvWrite::WriteFileData", nullptr,
         ""},
        {"ASCII message", "CLCGetXmlQR.cpp", 7, "CLCGetXmlQR::GetXmlData", "pResultInfo is NULL",
         "pResultInfo is NULL\r\n"},
        {"code page 932 message", "CLCQRReadXmlData.cpp", 4242, "CLCQRReadXmlData::CheckEachFile", kUnexpectedMessage,
         std::string(kUnexpectedMessageCp932) + "\r\n"},
        {"message of two lines", "CLCQRGetXmlData.cpp", 9, "CLCQRGetXmlData::GetData", "first\nsecond",
         "first\r\nsecond\r\n"},
        {"function name and source path far beyond 512 bytes", longSource.c_str(), 1, longFunction.c_str(), "long",
         "long\r\n"},
    };
    const std::wstring path = LogPath();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string before = ReadBytes(path).value_or("");
        std::string earliest = StampNow();
        WriteLog(row.source, row.line, row.function, row.message);
        std::string latest = StampNow();
        std::optional<std::string> after = ReadBytes(path);
        ASSERT_TRUE(after.has_value());
        ASSERT_GT(after->size(), before.size());
        EXPECT_EQ(before, after->substr(0, before.size())) << "earlier records changed";

        std::string record = after->substr(before.size());
        std::string stamp = record.size() > 21 ? record.substr(2, 19) : std::string();
        EXPECT_TRUE(IsStamp(stamp) && earliest <= stamp && stamp <= latest)
            << "timestamp " << stamp << " outside " << earliest << " .. " << latest;
        std::string expected = "--" + stamp + " " + row.function + "--\r\n" + row.messageLines + "[File:" +
                               row.source + " Line:" + std::to_string(row.line) + "]\r\n\r\n";
        EXPECT_EQ(expected, record);
    }
}

TEST_F(LogOnTest, NullFunctionNameOrSourceWritesNothing)
{
    struct Row {
        const char* source;
        const char* function;
        const char* message;
    } rows[] = {
        {nullptr, "CLCGetXmlQR::CsvWrite", "message"},
        {"CLCGetXmlQR.cpp", nullptr, "message"},
        {nullptr, nullptr, nullptr},
        {"CLCGetXmlQR.cpp", nullptr, nullptr},
    };
    const std::wstring path = LogPath();
    for (const Row& row : rows) {
        WriteLog(row.source, 1, row.function, row.message);
        EXPECT_FALSE(ReadBytes(path).has_value()) << "a file was created";
    }
    WriteLog("CLCGetXmlQR.cpp", 1, "CLCGetXmlQR::CsvWrite", nullptr);
    std::optional<std::string> existing = ReadBytes(path);
    ASSERT_TRUE(existing.has_value());
    for (const Row& row : rows) {
        WriteLog(row.source, 1, row.function, row.message);
        EXPECT_EQ(*existing, ReadBytes(path).value_or(""));
    }
}

TEST_F(LogOnTest, StaysOnWithItsPathWhenTheVariableGoes)
{
    const std::wstring path = LogPath();
    {
        ScratchTemp other;
        SwitchValue gone(nullptr);
        InitLogOutput();
        std::thread([] { InitLogOutput(); }).join();
        WriteLog("Test.cpp", 3, "LogOnTest::Stay", nullptr);
        EXPECT_EQ(Narrow(path), LogFilePath());
        EXPECT_TRUE(ListFolder(other.Folder()).empty());
    }
    EXPECT_TRUE(ReadBytes(path).has_value());
}

TEST(LocalDateTime, PicturesAndNullPictures)
{
    const char* stamp = "%04u-%02u-%02u %02u:%02u:%02u";
    struct Row {
        const char* date;
        const char* time;
        std::function<std::string(const SYSTEMTIME&)> expected;
    } rows[] = {
        {"yyyy'-'MM'-'dd", "HH':'mm':'ss", [&](const SYSTEMTIME& t) { return Format(stamp, t); }},
        {"'_MRV_TALLYFOLD_'yyyyMMdd'.log'", nullptr,
         [](const SYSTEMTIME& t) { return Format("_MRV_TALLYFOLD_%04u%02u%02u.log", t); }},
        {nullptr, "HH':'mm':'ss", [&](const SYSTEMTIME& t) { return Format(stamp, t).substr(11); }},
        {nullptr, nullptr, [](const SYSTEMTIME&) { return std::string(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.date ? row.date : "(no date)") + " " + (row.time ? row.time : "(no time)"));
        // Retried until no second boundary falls between the readings of the clock.
        for (int attempt = 0; attempt < 5; ++attempt) {
            SYSTEMTIME first, last;
            ::GetLocalTime(&first);
            std::string text = GetLocalDateTimeString(row.date, row.time);
            ::GetLocalTime(&last);
            if (row.expected(first) != row.expected(last))
                continue;
            EXPECT_EQ(row.expected(first), text);
            break;
        }
    }
}

// The Japanese era calendar gives era years (1 to 60-odd) where the log needs the Gregorian
// one; the user's setting must read the same at every moment, since every program of the
// user shares it.
TEST_F(LogOnTest, EraCalendarGivesGregorianTextAndTheSettingIsNeverTouched)
{
    char original[80] = {};
    ASSERT_NE(0, ::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICALENDARTYPE, original, sizeof original));
    struct RestoreCalendar {
        const char* value;
        ~RestoreCalendar() { ::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICALENDARTYPE, value); }
    } restore{original};
    ASSERT_TRUE(::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICALENDARTYPE, "3")) << ::GetLastError();

    auto calendar = [] {
        char value[80] = {};
        ::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICALENDARTYPE, value, sizeof value);
        return std::string(value);
    };
    ASSERT_EQ("3", calendar());

    std::atomic<bool> stop{false};
    std::atomic<int> changed{0};
    std::thread watcher([&] {
        while (!stop) {
            if (calendar() != "3")
                ++changed;
        }
    });
    const std::wstring path = LogPath();
    std::string years;
    for (int i = 0; i < 200; ++i) {
        InitLogOutput();
        WriteLog("CLCQRCsvWrite.cpp", i, "CLCQRCsvWrite::WriteFileData", nullptr);
        years = GetLocalDateTimeString("yyyy", nullptr);
    }
    stop = true;
    watcher.join();

    std::string year = DateNow().substr(0, 4);
    EXPECT_EQ(0, changed.load()) << "the user's calendar type changed while texts were formatted";
    EXPECT_EQ("3", calendar());
    EXPECT_EQ(year, years);
    std::string name = LogFilePath().substr(Narrow(m_temp.Folder()).size());
    EXPECT_EQ("_MRV_TALLYFOLD_" + year, name.substr(0, 19));
    std::string bytes = ReadBytes(path).value_or("");
    EXPECT_EQ("--" + year + "-", bytes.substr(0, 7));
}

// Notifications on another thread move the path between two folders while records are
// written: every record lands whole in one of the files, and none is lost.
TEST_F(LogOnTest, PathReplacedWhileRecordsAreWritten)
{
    const int count = 1000;
    const std::wstring first = MakeScratchFolder(L"first");
    const std::wstring second = MakeScratchFolder(L"second");
    std::atomic<bool> stop{false};
    std::thread notifications([&] {
        for (int i = 0; !stop; ++i) {
            const std::wstring& folder = i % 2 ? first : second;
            ::SetEnvironmentVariableW(L"TMP", folder.c_str());
            ::SetEnvironmentVariableW(L"TEMP", folder.c_str());
            InitLogOutput();
        }
    });
    for (int seq = 0; seq < count; ++seq)
        WriteLog(kWriterSource, seq, kWriterFunction, WriterMessage("main", seq).c_str());
    stop = true;
    notifications.join();

    WriterRecords records;
    CollectFolderRecords(m_temp.Folder(), records);
    CollectFolderRecords(first, records);
    CollectFolderRecords(second, records);
    // Merged from several files, so in no particular order.
    std::vector<int>& seqs = records.seqsByTag["main"];
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(0, records.torn);
    EXPECT_EQ(Sequence(count), seqs);
    EXPECT_EQ(1u, records.seqsByTag.size());
    RemoveScratchFolder(first);
    RemoveScratchFolder(second);
}

// Several processes that load the component append to the same daily file at the same time.
TEST_F(LogOnTest, ProcessesAppendingAtOnceKeepEveryRecordWhole)
{
    const int processes = 4;
    const int count = 1500;
    wchar_t self[MAX_PATH * 4] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    ASSERT_NE(0u, length);
    std::wstring helper(self, length);
    helper = helper.substr(0, helper.rfind(L'\\') + 1) + L"tallyfold_log_writer.exe";

    std::vector<unique_handle> children;
    std::vector<unique_handle> threads;
    for (int i = 0; i < processes; ++i) {
        std::wstring commandLine = L"\"" + helper + L"\" p" + std::to_wstring(i) + L" " + std::to_wstring(count);
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(::CreateProcessW(helper.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                     nullptr, nullptr, &startup, &info))
            << "CreateProcessW error " << ::GetLastError();
        children.emplace_back(info.hProcess);
        threads.emplace_back(info.hThread);
    }
    // Started together, so that their records really overlap in time.
    for (unique_handle& thread : threads)
        ::ResumeThread(thread.get());
    for (unique_handle& child : children) {
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 240000));
        DWORD code = 1;
        ::GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(0u, code);
    }

    WriterRecords records;
    CollectFolderRecords(m_temp.Folder(), records);
    EXPECT_EQ(0, records.torn);
    EXPECT_EQ(static_cast<size_t>(processes), records.seqsByTag.size());
    for (int i = 0; i < processes; ++i)
        EXPECT_EQ(Sequence(count), records.seqsByTag["p" + std::to_string(i)]) << "process " << i;
}
