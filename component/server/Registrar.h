// The interpreter of the registration scripts that the DLL carries as "REGISTRY" resources:
// it writes the keys and values a script names when the server registers and removes them
// again when it unregisters.
//
// A script is a sequence of root blocks, each a root key name followed by a braced body:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {GUID} = s 'Class name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Roots: HKCR, HKCU, HKLM, HKU, HKPD, HKDD, HKCC or their HKEY_... long forms. A body holds
// keys and values in any order:
//   [markers] name [= type data] [{ body }]     a key, with its default value and children
//   [NoRemove] val name = type data            a named value of the enclosing key
// Markers: NoRemove (never removed), ForceRemove (deleted with everything below it, then
// written anew, when registering), Delete (deleted with everything below it when
// registering; removal leaves it alone). Keys named AppID, CLSID, Component Categories,
// FileType, Interface, Hardware, Mime, SAM, SECURITY, SYSTEM, Software or TypeLib are never
// deleted by ForceRemove or Delete.
// Types: s (string), d (32-bit number, decimal or 0x hexadecimal), b (bytes as pairs of hex
// digits), m (strings separated by the two characters \0).
// Names and data are bare words or single-quoted text, in which '' stands for one quote. A
// key name is one level: it may not hold a backslash. Bare words may not hold a quote or an
// equals sign. Keywords, root names and types are matched without regard to case; quoted
// text is never a keyword.
// %NAME% anywhere in the text is replaced by the value of the replacement of that name
// (matched without regard to case, the first of equal names wins) before the text is read;
// %% stands for one percent sign. A value that lands inside quoted text must have its quotes
// doubled (QuoteForRegistrationScript).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tallyfold {

struct RegistrarReplacement {
    std::wstring name;
    std::wstring value;
};

// The outcome for a script that is not well formed, or that names a replacement it was not
// given. The whole script is read before anything is written, so such a script writes
// nothing at all.
constexpr HRESULT REGISTRAR_E_SYNTAX = DISP_E_EXCEPTION;

// Registering writes what the script names; if any step fails, the same script is at once
// run in removing mode to take back what it wrote, and the first failure is returned.
// Removing deletes the script's named values (unless NoRemove) and each of its keys that is
// not NoRemove and has no subkeys left; what is already absent is no error, any other
// failure ends the run. Registry failures come back as HRESULT_FROM_WIN32 of the system
// error; E_OUTOFMEMORY when the script cannot be held in memory.
HRESULT RunRegistrationScript(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                              bool registering) noexcept;

// One item that registering a script writes, in the order it writes them: a key (with the
// markers the script gives it) or a value of a key. A key's default value follows the key as
// a value with an empty name.
struct RegistrarEntry {
    HKEY root = nullptr;
    std::wstring key; // below the root, levels joined by backslashes
    bool isValue = false;
    // Values.
    std::wstring valueName;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    // Keys and values.
    bool noRemove = false;
    // Keys. forceRemove is only set where registering really deletes the key first (never
    // for the shared names that ForceRemove spares).
    bool forceRemove = false;
    bool deleteKey = false;
    bool empty = false; // the script gives it neither a value nor a subkey
};

// Reads a script as RunRegistrationScript does, with the same outcome for a malformed one,
// and lists what registering it writes without touching the registry.
HRESULT ListRegistrationScript(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                               std::vector<RegistrarEntry>& entries) noexcept;

// The 8-bit text of a script resource as UTF-16, through the calling thread's ANSI code
// page. The text ends at its first NUL or after length bytes. Bytes that the code page does
// not map fail with HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION).
HRESULT RegistrationScriptFromText(const char* text, std::size_t length, std::wstring& script) noexcept;

// Text with every single quote doubled, so that it reads back as itself from between the
// quotes of a script.
std::wstring QuoteForRegistrationScript(const std::wstring& text);

} // namespace tallyfold
