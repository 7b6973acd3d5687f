// tftool: the file fixtures that script tests cannot make with the script host alone.
//   tftool bytes PATH HEX          write exactly these bytes
//   tftool utf8 PATH TEXT          write TEXT as UTF-8 (no byte-order mark)
//   tftool size PATH N [BYTE]      write N bytes (default 'a')
//   tftool hex PATH OUT            write the bytes of PATH as hex text into OUT
//   tftool ansi TEXT OUT           write TEXT in the ANSI code page, as hex text, into OUT
//   tftool attrib PATH HEX         set the file attributes
//   tftool hold PATH FLAG          open PATH with no sharing, create FLAG, hold until FLAG is gone
//   tftool regdump KEY OUT [SKIP...]  write the lines of everything below KEY (HKCR\..., HKCU\...,
//                                  HKLM\...) into OUT, sorted, as UTF-8, without the subtrees
//                                  SKIP (relative to KEY); a KEY that does not exist gives "absent"
// Exit code 0 on success, 1 on failure, 2 on bad usage.
#include "Owners.h"
#include "RegistryDump.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using tallyfold::unique_file;

namespace {

bool WriteAll(const wchar_t* path, const std::string& bytes)
{
    unique_file file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return bytes.empty() ||
           (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

bool ReadAll(const wchar_t* path, std::string& bytes)
{
    unique_file file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return true;
}

std::string ToHex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

bool FromHex(const wchar_t* hex, std::string& bytes)
{
    const size_t length = std::wcslen(hex);
    if (length % 2)
        return false;
    for (size_t i = 0; i < length; i += 2) {
        wchar_t pair[3] = {hex[i], hex[i + 1], 0};
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul(pair, &end, 16);
        if (*end)
            return false;
        bytes += static_cast<char>(value);
    }
    return true;
}

std::string Convert(UINT codePage, const wchar_t* text)
{
    const int length = static_cast<int>(std::wcslen(text));
    if (length == 0)
        return std::string();
    const int size = ::WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(codePage, 0, text, length, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

int Hold(const wchar_t* path, const wchar_t* flag)
{
    unique_file file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return 1;
    if (!WriteAll(flag, "held"))
        return 1;
    // Held until the test removes the flag; two minutes at most, so nothing is left behind.
    for (int i = 0; i < 2400 && ::GetFileAttributesW(flag) != INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(50);
    return 0;
}

int RegDump(int argc, wchar_t** argv)
{
    const std::wstring path = argv[2];
    const struct {
        const wchar_t* name;
        HKEY key;
    } roots[] = {{L"HKCR\\", HKEY_CLASSES_ROOT}, {L"HKCU\\", HKEY_CURRENT_USER}, {L"HKLM\\", HKEY_LOCAL_MACHINE}};
    HKEY root = nullptr;
    std::wstring below;
    for (const auto& candidate : roots) {
        if (path.compare(0, 5, candidate.name) == 0) {
            root = candidate.key;
            below = path.substr(5);
        }
    }
    if (!root)
        return 2;
    tallyfold::unique_hkey key;
    LONG error = ::RegOpenKeyExW(root, below.c_str(), 0, KEY_READ, key.put());
    if (error == ERROR_FILE_NOT_FOUND)
        return WriteAll(argv[3], "absent\n") ? 0 : 1;
    std::vector<std::wstring> lines;
    if (error == ERROR_SUCCESS)
        error = tftest::DumpRegistryKey(key.get(), L"", lines);
    if (error != ERROR_SUCCESS)
        return 1;
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::wstring& line : lines) {
        bool skipped = false;
        for (int i = 4; i < argc; ++i) {
            const std::wstring skip = argv[i];
            for (const std::wstring& prefix : {L"key " + skip, L"value " + skip}) {
                if (line.compare(0, prefix.size(), prefix) == 0 &&
                    (line.size() == prefix.size() || line[prefix.size()] == L'\\' || line[prefix.size()] == L' '))
                    skipped = true;
            }
        }
        if (!skipped)
            text += Convert(CP_UTF8, line.c_str()) + "\n";
    }
    return WriteAll(argv[3], text) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    const std::wstring command = argv[1];
    const wchar_t* path = argv[2];
    std::string bytes;
    if (command == L"bytes" && argc == 4)
        return FromHex(argv[3], bytes) && WriteAll(path, bytes) ? 0 : 1;
    if (command == L"utf8" && argc == 4)
        return WriteAll(path, Convert(CP_UTF8, argv[3])) ? 0 : 1;
    if (command == L"size" && (argc == 4 || argc == 5)) {
        const unsigned long count = std::wcstoul(argv[3], nullptr, 10);
        const char fill = argc == 5 ? static_cast<char>(argv[4][0]) : 'a';
        return WriteAll(path, std::string(count, fill)) ? 0 : 1;
    }
    if (command == L"hex" && argc == 4)
        return ReadAll(path, bytes) && WriteAll(argv[3], ToHex(bytes)) ? 0 : 1;
    if (command == L"ansi" && argc == 4)
        return WriteAll(argv[3], ToHex(Convert(CP_ACP, path))) ? 0 : 1;
    if (command == L"attrib" && argc == 4)
        return ::SetFileAttributesW(path, std::wcstoul(argv[3], nullptr, 16)) ? 0 : 1;
    if (command == L"hold" && argc == 4)
        return Hold(path, argv[3]);
    if (command == L"regdump" && argc >= 4)
        return RegDump(argc, argv);
    return 2;
}
