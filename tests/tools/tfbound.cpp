// tfbound MS COMMAND-LINE...
// Runs the rest of its own command line, exactly as given, as a process and waits at most MS
// milliseconds for it; a process still running then is ended. Lets a script test bound a call
// that might never return. Exit code: the process's own, 124 when it had to be ended, 125 when
// it could not be started, 126 when its exit code could not be read, 2 on bad usage; the last
// three say why on standard error.
#include "Owners.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>

namespace {

// Past one argument of a command line and the blanks after it; quotes group blanks.
const wchar_t* SkipArgument(const wchar_t* p)
{
    bool quoted = false;
    for (; *p && (quoted || !std::iswspace(*p)); ++p) {
        if (*p == L'"')
            quoted = !quoted;
    }
    while (*p && std::iswspace(*p))
        ++p;
    return p;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    wchar_t* end = nullptr;
    const unsigned long bound = std::wcstoul(argv[1], &end, 10);
    if (*end)
        return 2;
    const wchar_t* rest = SkipArgument(SkipArgument(::GetCommandLineW()));
    std::wstring command = rest; // CreateProcessW may write into its command line

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::fwprintf(stderr, L"tfbound: cannot start %ls: error %lu\n", rest, ::GetLastError());
        return 125;
    }
    tallyfold::unique_handle process(info.hProcess), thread(info.hThread);
    if (::WaitForSingleObject(process.get(), bound) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 124);
        ::WaitForSingleObject(process.get(), 10000);
        std::fwprintf(stderr, L"tfbound: %ls did not end within %lu ms and was ended\n", rest, bound);
        return 124;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) {
        std::fwprintf(stderr, L"tfbound: no exit code of %ls: error %lu\n", rest, ::GetLastError());
        return 126;
    }
    return static_cast<int>(code);
}
