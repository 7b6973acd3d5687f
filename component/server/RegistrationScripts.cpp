#include "RegistrationScripts.h"

namespace tallyfold {

const wchar_t kTallyfoldAppId[] = L"{371F7C37-28C2-46B4-8AD6-7C2BFF2798C6}";

std::vector<RegistrarReplacement> RegistrationReplacements(const std::wstring& modulePath)
{
    const std::wstring escaped = QuoteForRegistrationScript(modulePath);
    return {
        {L"APPID", kTallyfoldAppId},
        {L"Module", escaped},
        {L"Module_Raw", escaped},
    };
}

HRESULT LoadRegistrationScript(HMODULE image, UINT id, std::wstring& script) noexcept
{
    HRSRC resource = ::FindResourceW(image, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!resource)
        return HRESULT_FROM_WIN32(::GetLastError());
    HGLOBAL loaded = ::LoadResource(image, resource);
    const DWORD size = ::SizeofResource(image, resource);
    const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    if (!bytes)
        return HRESULT_FROM_WIN32(::GetLastError());
    return RegistrationScriptFromText(bytes, size, script);
}

} // namespace tallyfold
