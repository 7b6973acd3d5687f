// What the log tests share: a private temporary-files folder per test, so that the daily
// file of one test is never the file of another, and byte-exact reading of what was written.
#pragma once

#include "Owners.h"
#include "TestBasics.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace tallyfold::logtest {

using tftest::EnvDefined;
using tftest::EnvW;

inline std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

// The whole file, or nothing when it does not exist.
inline std::optional<std::string> ReadBytes(const std::wstring& path)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got != 0)
        bytes.append(chunk, got);
    return bytes;
}

inline std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    unique_find search(::FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!search)
        return names;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(search.get(), &entry));
    return names;
}

// The temporary-files folder that the process started with, before any test moved it.
inline const std::wstring& OriginalTempFolder()
{
    static const std::wstring folder = [] {
        std::wstring path(MAX_PATH + 1, L'\0');
        path.resize(::GetTempPathW(static_cast<DWORD>(path.size()), &path[0]));
        return path;
    }();
    return folder;
}

// A fresh empty folder beside the others of the tests; its path ends in a backslash.
inline std::wstring MakeScratchFolder(const wchar_t* purpose)
{
    static LONG counter = 0;
    const std::wstring& base = OriginalTempFolder();
    std::wstring folder = base + L"tflog_" + purpose + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                          std::to_wstring(::InterlockedIncrement(&counter)) + L"\\";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

inline void RemoveScratchFolder(const std::wstring& folder)
{
    for (const std::wstring& name : ListFolder(folder))
        ::DeleteFileW((folder + name).c_str());
    ::RemoveDirectoryW(folder.c_str());
}

// Points TMP and TEMP (and so the temporary-files folder of this process and its children)
// at a fresh folder while it lives.
class ScratchTemp {
public:
    ScratchTemp() : m_folder(MakeScratchFolder(L"temp")), m_oldTmp(Save(L"TMP")), m_oldTemp(Save(L"TEMP"))
    {
        ::SetEnvironmentVariableW(L"TMP", m_folder.c_str());
        ::SetEnvironmentVariableW(L"TEMP", m_folder.c_str());
    }
    ~ScratchTemp()
    {
        Restore(L"TMP", m_oldTmp);
        Restore(L"TEMP", m_oldTemp);
        RemoveScratchFolder(m_folder);
    }
    ScratchTemp(const ScratchTemp&) = delete;
    ScratchTemp& operator=(const ScratchTemp&) = delete;

    const std::wstring& Folder() const { return m_folder; }

private:
    static std::optional<std::wstring> Save(const wchar_t* name)
    {
        if (!EnvDefined(name))
            return std::nullopt;
        return EnvW(name);
    }
    static void Restore(const wchar_t* name, const std::optional<std::wstring>& value)
    {
        ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }

    std::wstring m_folder;
    std::optional<std::wstring> m_oldTmp;
    std::optional<std::wstring> m_oldTemp;
};

// What the appending helper process writes as the message of its record number seq: sizes
// vary from a few bytes to several kilobytes, so that records torn apart would show.
inline std::string WriterMessage(const std::string& tag, int seq)
{
    return tag + " " + std::to_string(seq) + " 書込み " + std::string(static_cast<size_t>(seq % 8) * 700, 'x');
}
constexpr char kWriterFunction[] = "LogAppendWriter::Append";
constexpr char kWriterSource[] = "LogAppendWriter.cpp";

} // namespace tallyfold::logtest
