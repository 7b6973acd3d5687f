#include "DiagnosticLog.h"

#include "Owners.h"
#include "ProcessEnd.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace tallyfold {

namespace {

const wchar_t kSwitchVariable[] = L"TALLYFOLD_OUTPUT";
const char kFileNamePicture[] = "'_MRV_TALLYFOLD_'yyyyMMdd'.log'";
const char kRecordDatePicture[] = "yyyy'-'MM'-'dd";
const char kRecordTimePicture[] = "HH':'mm':'ss";

// Once on, the log stays on for as long as the module is loaded.
std::atomic<bool> g_bLogOutput{false};

// The entry point replaces the path on a starting or ending thread while the page's thread
// may be writing a record; readers take a copy under the shared lock. An SRW lock needs no
// set-up or teardown, so it is usable at any notification.
SRWLOCK g_logFilePathLock = SRWLOCK_INIT;
unload_time_static<std::wstring> g_strLogFilePath;

class srw_shared_lock {
public:
    explicit srw_shared_lock(SRWLOCK& lock) noexcept : m_lock(lock) { ::AcquireSRWLockShared(&m_lock); }
    ~srw_shared_lock() { ::ReleaseSRWLockShared(&m_lock); }
    srw_shared_lock(const srw_shared_lock&) = delete;
    srw_shared_lock& operator=(const srw_shared_lock&) = delete;

private:
    SRWLOCK& m_lock;
};

class srw_exclusive_lock {
public:
    explicit srw_exclusive_lock(SRWLOCK& lock) noexcept : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~srw_exclusive_lock() { ::ReleaseSRWLockExclusive(&m_lock); }
    srw_exclusive_lock(const srw_exclusive_lock&) = delete;
    srw_exclusive_lock& operator=(const srw_exclusive_lock&) = delete;

private:
    SRWLOCK& m_lock;
};

bool IsSwitchDefined()
{
    // The value is never used; only whether the variable exists. An empty value still counts
    // as defined, which a zero return tells apart from a missing variable by the last error.
    wchar_t probe[1];
    ::SetLastError(ERROR_SUCCESS);
    if (::GetEnvironmentVariableW(kSwitchVariable, probe, 1) != 0)
        return true;
    return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

// The temporary-files folder, ending in a backslash; empty when the platform has none.
std::wstring TempFolder()
{
    std::wstring folder(MAX_PATH + 1, L'\0');
    for (;;) {
        DWORD length = ::GetTempPathW(static_cast<DWORD>(folder.size()), &folder[0]);
        if (length == 0)
            return {};
        if (length < folder.size()) {
            folder.resize(length);
            return folder;
        }
        // Too small: the answer is the size needed, terminator included.
        folder.resize(length);
    }
}

// Pictures are read in the invariant locale, whose calendar is always the Gregorian one, so
// that years come out Gregorian whatever calendar the user has chosen, without touching the
// user's setting (which every other program of the user would see change).
std::string FormatPart(const SYSTEMTIME& now, const char* picture, bool isDate)
{
    const LCID locale = LOCALE_INVARIANT;
    const DWORD flags = LOCALE_USE_CP_ACP;
    int size = isDate ? ::GetDateFormatA(locale, flags, &now, picture, nullptr, 0)
                      : ::GetTimeFormatA(locale, flags, &now, picture, nullptr, 0);
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size), '\0');
    size = isDate ? ::GetDateFormatA(locale, flags, &now, picture, &text[0], size)
                  : ::GetTimeFormatA(locale, flags, &now, picture, &text[0], size);
    if (size <= 0)
        return {};
    text.resize(static_cast<size_t>(size) - 1);
    return text;
}

// The record as the file holds it: every line feed of the record, those inside the message
// included, is stored as CR LF; every other byte goes out as it is (messages are code page
// 932 text, whose trail bytes never take the value of a line feed).
void AppendLines(std::string& record, const char* text)
{
    for (const char* p = text; *p; ++p) {
        if (*p == '\n')
            record += '\r';
        record += *p;
    }
}

std::string ComposeRecord(const char* sourceFile, int line, const char* functionName, const char* message)
{
    // Lines are built to their full length rather than into a fixed buffer, so a function
    // name or source path of any length is kept whole.
    std::string record;
    AppendLines(record, "--");
    AppendLines(record, GetLocalDateTimeString(kRecordDatePicture, kRecordTimePicture).c_str());
    AppendLines(record, " ");
    AppendLines(record, functionName);
    AppendLines(record, "--\n");
    if (message) {
        AppendLines(record, message);
        AppendLines(record, "\n");
    }
    AppendLines(record, "[File:");
    AppendLines(record, sourceFile);
    AppendLines(record, " Line:");
    AppendLines(record, std::to_string(line).c_str());
    AppendLines(record, "]\n\n");
    return record;
}

// Holds the byte that appenders of the daily file take in turn. It lies far beyond any size
// that a log reaches, so the lock never covers a byte that is read or written.
class append_turn {
public:
    explicit append_turn(HANDLE file) noexcept : m_file(file)
    {
        m_held = ::LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, Region()) != FALSE;
    }
    ~append_turn()
    {
        if (m_held)
            ::UnlockFileEx(m_file, 0, 1, 0, Region());
    }
    append_turn(const append_turn&) = delete;
    append_turn& operator=(const append_turn&) = delete;

private:
    OVERLAPPED* Region() noexcept
    {
        m_region = OVERLAPPED{};
        m_region.OffsetHigh = 0x7FFFFFFF;
        return &m_region;
    }

    HANDLE m_file;
    OVERLAPPED m_region{};
    bool m_held = false;
};

// Several processes append to the same daily file. The handle may only append and each record
// goes out in one write, so a record is never split. Where the platform finds the end of the
// file and writes there in two steps, two appenders could still land on the same end and
// overwrite each other; taking turns on the lock byte prevents that. Reading access is asked
// for only because a lock needs it.
void AppendRecord(const std::wstring& path, const std::string& record)
{
    unique_file file(::CreateFileW(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || record.size() > MAXDWORD)
        return;
    append_turn turn(file.get());
    DWORD written = 0;
    ::WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

} // namespace

std::string GetLocalDateTimeString(const char* datePicture, const char* timePicture)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::string result;
    if (datePicture)
        result += FormatPart(now, datePicture, true);
    if (timePicture) {
        std::string time = FormatPart(now, timePicture, false);
        if (!result.empty())
            result += ' ';
        result += time;
    }
    return result;
}

void InitLogOutput()
{
    // Runs inside the module's entry point: nothing here may throw or load anything.
    try {
        if (!IsSwitchDefined())
            return;
        g_bLogOutput = true;
        std::string name = GetLocalDateTimeString(kFileNamePicture, nullptr);
        std::wstring folder = TempFolder();
        // Without a folder or a date the old path, if any, stays: a path without them would
        // name the folder itself or a file without its day.
        if (name.empty() || folder.empty())
            return;
        std::wstring path = folder + std::wstring(name.begin(), name.end());
        srw_exclusive_lock lock(g_logFilePathLock);
        g_strLogFilePath.get().swap(path);
    } catch (...) {
        // No memory for the path: the log keeps the path it had.
    }
}

void WriteLog(const char* sourceFile, int line, const char* functionName, const char* message)
{
    if (!sourceFile || !functionName || !g_bLogOutput)
        return;
    // Callers log from inside and outside their catch-alls; a record that cannot be made is
    // lost without a word.
    try {
        std::wstring path;
        {
            srw_shared_lock lock(g_logFilePathLock);
            path = g_strLogFilePath.get();
        }
        if (path.empty())
            return;
        AppendRecord(path, ComposeRecord(sourceFile, line, functionName, message));
    } catch (...) {
    }
}

std::string LogFilePath()
{
    std::wstring path;
    {
        srw_shared_lock lock(g_logFilePathLock);
        path = g_strLogFilePath.get();
    }
    if (path.empty())
        return {};
    int size = ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

} // namespace tallyfold
