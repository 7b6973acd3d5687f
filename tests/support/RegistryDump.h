// The registry as lines of text, for checks that compare what was written with what was
// meant: "key <path>" for every key and "value <path> | <name or (default)> | <type> | <data>"
// for every value, paths relative to the key dumped. Types print as the registration
// scripts write them (s, d, b, m).
#pragma once

#include "Owners.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tftest {

inline std::wstring JoinKey(const std::wstring& path, const std::wstring& name)
{
    return path.empty() ? name : path + L"\\" + name;
}

inline std::wstring KeyLine(const std::wstring& path)
{
    return L"key " + path;
}

inline std::wstring ValueLine(const std::wstring& path, const std::wstring& name, const wchar_t* type,
                              const std::wstring& data)
{
    return L"value " + path + L" | " + (name.empty() ? L"(default)" : name) + L" | " + type + L" | " + data;
}

inline std::wstring SzLine(const std::wstring& path, const std::wstring& name, const std::wstring& text)
{
    return ValueLine(path, name, L"s", text);
}

inline std::wstring HexBytes(const BYTE* bytes, DWORD size)
{
    const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Every character, the terminators included, with NUL shown as \0; a REG_SZ shows its text
// only when it holds exactly one NUL, at its end.
inline std::wstring RenderRegistryData(DWORD type, const BYTE* bytes, DWORD size)
{
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(bytes);
    const DWORD count = size / sizeof(wchar_t);
    switch (type) {
    case REG_SZ:
        if (size % sizeof(wchar_t) == 0 && count > 0 && chars[count - 1] == L'\0' &&
            std::find(chars, chars + count - 1, L'\0') == chars + count - 1)
            return std::wstring(chars, count - 1);
        return L"<malformed " + HexBytes(bytes, size) + L">";
    case REG_DWORD:
        if (size == sizeof(DWORD)) {
            // Little-endian: the number's digits are its bytes backwards.
            const BYTE reversed[] = {bytes[3], bytes[2], bytes[1], bytes[0]};
            return L"0x" + HexBytes(reversed, sizeof reversed);
        }
        return L"<malformed " + HexBytes(bytes, size) + L">";
    case REG_BINARY:
        return HexBytes(bytes, size);
    case REG_MULTI_SZ: {
        std::wstring text;
        for (DWORD i = 0; i < count; ++i)
            text += chars[i] == L'\0' ? std::wstring(L"\\0") : std::wstring(1, chars[i]);
        return text;
    }
    default:
        return L"<type " + std::to_wstring(type) + L" " + HexBytes(bytes, size) + L">";
    }
}

inline const wchar_t* RegistryTypeName(DWORD type)
{
    switch (type) {
    case REG_SZ: return L"s";
    case REG_DWORD: return L"d";
    case REG_BINARY: return L"b";
    case REG_MULTI_SZ: return L"m";
    default: return L"?";
    }
}

// Appends the lines of everything below key (path names it in the lines); the first registry
// failure, or ERROR_SUCCESS.
inline LONG DumpRegistryKey(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxValueName = 0, maxData = 0;
    LONG error = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                                    &maxValueName, &maxData, nullptr, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    for (DWORD i = 0; i < values; ++i) {
        std::vector<wchar_t> name(maxValueName + 1);
        std::vector<BYTE> data(maxData + 1);
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        error = ::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
        if (error != ERROR_SUCCESS)
            return error;
        lines.push_back(ValueLine(path, std::wstring(name.data(), nameLength), RegistryTypeName(type),
                                  RenderRegistryData(type, data.data(), dataSize)));
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        std::vector<wchar_t> name(maxSubkey + 1);
        DWORD nameLength = static_cast<DWORD>(name.size());
        error = ::RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS)
            return error;
        const std::wstring childName(name.data(), nameLength);
        const std::wstring child = JoinKey(path, childName);
        lines.push_back(KeyLine(child));
        tallyfold::unique_hkey childKey;
        error = ::RegOpenKeyExW(key, childName.c_str(), 0, KEY_READ, childKey.put());
        if (error == ERROR_SUCCESS)
            error = DumpRegistryKey(childKey.get(), child, lines);
        if (error != ERROR_SUCCESS)
            return error;
    }
    return ERROR_SUCCESS;
}

} // namespace tftest
