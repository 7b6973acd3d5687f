// Registry helpers of Siteward's tests: the two keys that the tool writes, read and put back
// whole, so that every test leaves the prefix's settings as it found them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "Owners.h"

namespace siteward_test {

constexpr wchar_t kZoneKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";
constexpr wchar_t kAllowKey[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

using Bytes = std::vector<BYTE>;

inline Bytes DwordBytes(DWORD value)
{
    return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

struct RegistryValue {
    std::wstring name;
    DWORD type = REG_NONE;
    Bytes data;

    bool operator==(const RegistryValue& other) const
    {
        return std::tie(name, type, data) == std::tie(other.name, other.type, other.data);
    }
};

inline std::ostream& operator<<(std::ostream& out, const RegistryValue& value)
{
    out << "type " << value.type << ", data";
    char hex[4];
    for (BYTE b : value.data) {
        std::snprintf(hex, sizeof(hex), " %02x", b);
        out << hex;
    }
    return out;
}

// Reads one value whatever its type; false when it is absent.
inline bool ReadValue(const wchar_t* keyPath, const wchar_t* name, RegistryValue& value)
{
    value = RegistryValue{};
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (::RegGetValueW(HKEY_CURRENT_USER, keyPath, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size)
        != ERROR_SUCCESS)
        return false;
    Bytes data(size);
    if (::RegGetValueW(HKEY_CURRENT_USER, keyPath, name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                       data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    value = RegistryValue{name, type, std::move(data)};
    return true;
}

inline ::testing::AssertionResult SetValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const Bytes& data)
{
    tallyfold::unique_hkey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = ::RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "setting value " << (name ? "named" : "default") << " failed: " << status;
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult DeleteValue(const wchar_t* keyPath, const wchar_t* name)
{
    const LSTATUS status = ::RegDeleteKeyValueW(HKEY_CURRENT_USER, keyPath, name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return ::testing::AssertionFailure() << "deleting a value failed: " << status;
    return ::testing::AssertionSuccess();
}

// A key's own values (the keys the tool writes have no sub-keys that it touches).
struct KeySnapshot {
    bool exists = false;
    std::vector<RegistryValue> values; // ordered by name

    bool operator==(const KeySnapshot& other) const
    {
        return exists == other.exists && values == other.values;
    }

    static KeySnapshot Take(const wchar_t* keyPath)
    {
        KeySnapshot snapshot;
        tallyfold::unique_hkey key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return snapshot;
        snapshot.exists = true;
        DWORD count = 0, maxName = 0, maxData = 0;
        if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName,
                               &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "RegQueryInfoKeyW failed";
            return snapshot;
        }
        for (DWORD i = 0; i < count; ++i) {
            std::wstring name(maxName + 1, L'\0');
            Bytes data(maxData + 1);
            DWORD nameLength = maxName + 1, size = maxData + 1, type = REG_NONE;
            if (::RegEnumValueW(key.get(), i, &name[0], &nameLength, nullptr, &type, data.data(), &size)
                != ERROR_SUCCESS) {
                ADD_FAILURE() << "RegEnumValueW failed at value " << i;
                continue;
            }
            name.resize(nameLength);
            data.resize(size);
            snapshot.values.push_back(RegistryValue{name, type, data});
        }
        std::sort(snapshot.values.begin(), snapshot.values.end(),
                  [](const RegistryValue& a, const RegistryValue& b) { return a.name < b.name; });
        return snapshot;
    }

    // Makes the key hold exactly these values again (or be absent, if it was).
    void PutBack(const wchar_t* keyPath) const
    {
        if (!exists) {
            const LSTATUS status = ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath);
            EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << "RegDeleteTreeW: " << status;
            return;
        }
        for (const RegistryValue& value : Take(keyPath).values)
            EXPECT_TRUE(DeleteValue(keyPath, value.name.c_str()));
        for (const RegistryValue& value : values)
            EXPECT_TRUE(SetValue(keyPath, value.name.c_str(), value.type, value.data));
    }
};

inline void PrintTo(const KeySnapshot& snapshot, std::ostream* out)
{
    if (!snapshot.exists) {
        *out << "(no key)";
        return;
    }
    for (const RegistryValue& value : snapshot.values) {
        *out << "\n  ";
        for (wchar_t c : value.name)
            *out << (c < 0x80 ? char(c) : '?');
        *out << ": " << value;
    }
}

// Both keys of the tool, put back when the guard goes.
class SavedSettings {
public:
    SavedSettings() : m_zone(KeySnapshot::Take(kZoneKey)), m_allow(KeySnapshot::Take(kAllowKey)) {}
    ~SavedSettings()
    {
        m_zone.PutBack(kZoneKey);
        m_allow.PutBack(kAllowKey);
    }
    SavedSettings(const SavedSettings&) = delete;
    SavedSettings& operator=(const SavedSettings&) = delete;

private:
    KeySnapshot m_zone;
    KeySnapshot m_allow;
};

} // namespace siteward_test
