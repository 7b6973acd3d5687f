// tfdialog: plays the user at the component's folder dialog for the script tests, from a
// process of its own (a script that shows the dialog is blocked until it closes).
//   tfdialog ok PATH REPORT   wait for the dialog, check it, choose PATH and click OK
//   tfdialog cancel REPORT    wait for the dialog, check it and click Cancel
//   tfdialog wait REPORT      wait until REPORT is there (the script host has no sleep)
// REPORT receives "ok", or one line per failed check, once the dialog is gone; it appears
// whole. Whatever goes wrong, the dialog is closed, so the script never hangs. Exit code 0
// when every check held (wait: when the report came), 1 otherwise, 2 on bad usage.
#include "FolderDialogDriver.h"
#include "Owners.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

using namespace tallyfold::dialogtest;

namespace {

constexpr DWORD kAppearTimeoutMs = 30000;
constexpr DWORD kCloseTimeoutMs = 10000;
constexpr DWORD kReportTimeoutMs = 60000;

// Written aside and then renamed, so that a reader never sees half a report.
void WriteReport(const std::wstring& path, const std::string& text)
{
    const std::wstring part = path + L".part";
    {
        tallyfold::unique_file file(
            ::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return;
    }
    ::MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int WaitForReport(const wchar_t* path)
{
    const ULONGLONG deadline = ::GetTickCount64() + kReportTimeoutMs;
    while (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        if (::GetTickCount64() >= deadline)
            return 1;
        ::Sleep(50);
    }
    return 0;
}

// Non-ASCII characters as \uXXXX, as the script tests print them.
std::string Escaped(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; *p; ++p) {
        char unit[8];
        if (*p >= 0x20 && *p < 0x7f)
            out += static_cast<char>(*p);
        else {
            std::snprintf(unit, sizeof unit, "\\u%04x", static_cast<unsigned>(*p));
            out += unit;
        }
    }
    return out;
}

// The checks a user's eye makes of a dialog that has just opened.
std::string CheckView(const DialogView& view)
{
    std::string failures;
    if (!view.visible || !view.foreground || view.coveredBy)
        failures += "dialog not visible in front\n";
    if (view.topmost)
        failures += "dialog left topmost\n";
    if (!view.showsTitle)
        failures += "title text not shown\n";
    if (view.preselected)
        failures += "a folder was preselected\n";
    if (!failures.empty())
        failures += Describe(view) + "\n";
    return failures;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"wait") == 0)
        return WaitForReport(argv[2]);
    const bool ok = argc == 4 && std::wcscmp(argv[1], L"ok") == 0;
    const bool cancel = argc == 3 && std::wcscmp(argv[1], L"cancel") == 0;
    if (!ok && !cancel)
        return 2;
    const wchar_t* report = argv[argc - 1];

    HWND dialog = WaitForFolderDialog(0, kAppearTimeoutMs);
    if (!dialog) {
        WriteReport(report, "no folder dialog appeared\n");
        DismissAll(0);
        return 1;
    }
    std::string failures = CheckView(Look(dialog));
    if (ok && !SelectPath(dialog, argv[2]))
        failures += "the folder could not be selected: " + Escaped(argv[2]) + "\n";
    if (failures.empty() && !FinishDialog(dialog, ok ? Finish::Ok : Finish::Cancel, kCloseTimeoutMs))
        failures += "the dialog did not close\n";
    if (!failures.empty())
        DismissAll(0);
    WriteReport(report, failures.empty() ? "ok" : failures);
    return failures.empty() ? 0 : 1;
}
