// What self-registration runs: the image's "REGISTRY" script resources and the replacements
// each script is given. The module registers itself with them and the installer package's
// rows are made from them, so the two write the same keys.
#pragma once

#include "Registrar.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tallyfold {

// The component's AppID, the replacement APPID of every script.
extern const wchar_t kTallyfoldAppId[];

// The replacements of one script run: APPID, and the module's path with its quotes doubled
// (it lands inside quoted script text) as Module and Module_Raw.
std::vector<RegistrarReplacement> RegistrationReplacements(const std::wstring& modulePath);

// The text of the image's "REGISTRY" resource id, read through the thread's ANSI code page.
HRESULT LoadRegistrationScript(HMODULE image, UINT id, std::wstring& script) noexcept;

} // namespace tallyfold
