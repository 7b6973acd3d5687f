// tfregrows DLL OUT: the Windows Installer registry rows that register DLL the way its own
// DllRegisterServer does, written to OUT as a WiX include file of RegistryValue elements.
//
// The rows come from what registration itself reads: the "REGISTRY" scripts that the DLL
// carries, read by the same registrar with the same replacements, and its type library, with
// the keys that the platform's RegisterTypeLib writes for it. Where the DLL's path or folder
// goes, the rows name the package's preprocessor variables TallyfoldDllPath and
// TallyfoldFolderPath, which the package sets to the installed file and its folder.
//
// What an installer row cannot do as the registrar does (a Delete key, a value kept on
// removal, a type other than s, d or b, a root other than HKCR, HKCU, HKLM or HKU) stops the
// tool with a message rather than giving a package that registers otherwise.
// Exit code 0 on success, 1 on failure, 2 on bad usage.
#include "Owners.h"
#include "Registrar.h"
#include "RegistrationScripts.h"

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace tallyfold;

namespace {

// Stand for the module's path and folder while the rows are made; the rows then name the
// package's variables in their place.
const wchar_t kModuleMarker[] = L"\x1" L"MODULE\x1";
const wchar_t kFolderMarker[] = L"\x1" L"FOLDER\x1";
const wchar_t kModulePath[] = L"$(var.TallyfoldDllPath)";
const wchar_t kModuleFolder[] = L"$(var.TallyfoldFolderPath)";

struct Row {
    std::wstring root;
    std::wstring key;
    std::wstring name; // empty: the default value; "*" or "+" with no value: the key alone
    std::wstring type; // string, integer, binary
    std::wstring value;
};

void Fail(const std::wstring& message)
{
    std::fwprintf(stderr, L"tfregrows: %ls\n", message.c_str());
}

std::wstring Hex(const std::vector<BYTE>& bytes)
{
    const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (BYTE b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring Format(const wchar_t* format, unsigned long number)
{
    wchar_t text[16] = {};
    std::swprintf(text, 16, format, number);
    return text;
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with)
{
    for (std::size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// Installer rows are formatted text: brackets would be read as references, "$(" as a
// preprocessor variable. Neither occurs in what this component registers.
bool PlainText(const std::wstring& text, const std::wstring& where)
{
    for (wchar_t c : text) {
        if (c == L'[' || c == L']' || (c < 0x20 && c != L'\x1')) {
            Fail(where + L": text an installer row cannot carry as it is");
            return false;
        }
    }
    if (text.find(L"$(") != std::wstring::npos) {
        Fail(where + L": text an installer row cannot carry as it is");
        return false;
    }
    return true;
}

bool AddRow(std::vector<Row>& rows, Row row)
{
    const std::wstring where = row.root + L"\\" + row.key + L" " + (row.name.empty() ? L"(default)" : row.name);
    if (!PlainText(row.key, where) || !PlainText(row.name, where) || !PlainText(row.value, where))
        return false;
    for (std::wstring* text : {&row.key, &row.name, &row.value})
        *text = ReplaceAll(ReplaceAll(*text, kModuleMarker, kModulePath), kFolderMarker, kModuleFolder);
    for (const Row& other : rows) {
        if (other.root != row.root || other.key != row.key || other.name != row.name)
            continue;
        if (other.type == row.type && other.value == row.value)
            return true;
        Fail(where + L": written twice with different data");
        return false;
    }
    rows.push_back(std::move(row));
    return true;
}

const wchar_t* RootName(HKEY root)
{
    if (root == HKEY_CLASSES_ROOT)
        return L"HKCR";
    if (root == HKEY_CURRENT_USER)
        return L"HKCU";
    if (root == HKEY_LOCAL_MACHINE)
        return L"HKLM";
    if (root == HKEY_USERS)
        return L"HKU";
    return nullptr;
}

bool AddScriptRows(const RegistrarEntry& entry, std::vector<Row>& rows)
{
    const wchar_t* root = RootName(entry.root);
    const std::wstring where = entry.key + (entry.isValue ? L" " + entry.valueName : std::wstring());
    if (!root) {
        Fail(where + L": an installer writes only below HKCR, HKCU, HKLM and HKU");
        return false;
    }
    if (!entry.isValue) {
        if (entry.deleteKey) {
            Fail(where + L": an installer row cannot delete a key when it installs");
            return false;
        }
        // A key with nothing of its own in it is written as a key alone: the installer makes
        // it, and takes it away on removal unless the script keeps it.
        if (!entry.empty)
            return true;
        return AddRow(rows, {root, entry.key, entry.noRemove ? L"+" : L"*", L"string", L""});
    }
    if (entry.noRemove) {
        Fail(where + L": an installer removes every value it wrote");
        return false;
    }
    Row row{root, entry.key, entry.valueName, L"", L""};
    switch (entry.type) {
    case REG_SZ: {
        const wchar_t* chars = reinterpret_cast<const wchar_t*>(entry.data.data());
        std::size_t count = entry.data.size() / sizeof(wchar_t);
        if (count > 0 && chars[count - 1] == L'\0')
            --count;
        row.type = L"string";
        row.value.assign(chars, count);
        // An empty value is how a row says "the key alone".
        if (row.value.empty()) {
            Fail(where + L": an installer row cannot write an empty string");
            return false;
        }
        break;
    }
    case REG_DWORD: {
        DWORD number = 0;
        std::copy(entry.data.begin(), entry.data.end(), reinterpret_cast<BYTE*>(&number));
        row.type = L"integer";
        // The installer reads the number signed.
        row.value = std::to_wstring(static_cast<long>(static_cast<LONG>(number)));
        break;
    }
    case REG_BINARY:
        if (entry.data.empty()) {
            Fail(where + L": an installer row cannot write empty bytes");
            return false;
        }
        row.type = L"binary";
        row.value = Hex(entry.data);
        break;
    default:
        Fail(where + L": an installer row here writes only s, d and b values");
        return false;
    }
    return AddRow(rows, std::move(row));
}

BOOL CALLBACK CollectScriptId(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param)
{
    if (IS_INTRESOURCE(name))
        reinterpret_cast<std::vector<UINT>*>(param)->push_back(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)));
    return TRUE;
}

// Every registration script the DLL carries, in the order of their ids.
bool AddScriptsRows(HMODULE image, std::vector<Row>& rows)
{
    std::vector<UINT> ids;
    if (!::EnumResourceNamesW(image, L"REGISTRY", CollectScriptId, reinterpret_cast<LONG_PTR>(&ids)) || ids.empty()) {
        Fail(L"the DLL carries no registration scripts");
        return false;
    }
    std::sort(ids.begin(), ids.end());
    for (UINT id : ids) {
        std::wstring script;
        std::vector<RegistrarEntry> entries;
        HRESULT hr = LoadRegistrationScript(image, id, script);
        if (SUCCEEDED(hr))
            hr = ListRegistrationScript(script, RegistrationReplacements(kModuleMarker), entries);
        if (FAILED(hr)) {
            Fail(L"registration script " + std::to_wstring(id) + L" cannot be read: 0x" + Format(L"%08lX", hr));
            return false;
        }
        for (const RegistrarEntry& entry : entries) {
            if (!AddScriptRows(entry, rows))
                return false;
        }
    }
    return true;
}

// The keys RegisterTypeLib writes for the library, as the module registers it: no help
// folder is passed, so the help folder is the library's own folder.
bool AddTypeLibRows(const std::wstring& dll, std::vector<Row>& rows)
{
    com_ptr<ITypeLib> lib;
    HRESULT hr = ::LoadTypeLibEx(dll.c_str(), REGKIND_NONE, lib.put());
    TLIBATTR* attr = nullptr;
    if (SUCCEEDED(hr))
        hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) {
        Fail(L"the type library cannot be loaded: 0x" + Format(L"%08lX", hr));
        return false;
    }
    const TLIBATTR libAttr = *attr;
    lib->ReleaseTLibAttr(attr);

    const wchar_t* system = libAttr.syskind == SYS_WIN32 ? L"win32"
                          : libAttr.syskind == SYS_WIN64 ? L"win64"
                          : libAttr.syskind == SYS_WIN16 ? L"win16"
                                                          : nullptr;
    if (!system) {
        Fail(L"the type library is for no Windows system");
        return false;
    }
    const std::wstring libid = GuidText(libAttr.guid);
    const std::wstring version = Format(L"%lx", libAttr.wMajorVerNum) + L"." + Format(L"%lx", libAttr.wMinorVerNum);
    const std::wstring key = L"TypeLib\\" + libid + L"\\" + version;

    unique_bstr name, doc;
    lib->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr);
    const BSTR title = doc ? doc.get() : name.get();
    bool ok = (!title || AddRow(rows, {L"HKCR", key, L"", L"string", title})) &&
              AddRow(rows, {L"HKCR", key + L"\\" + Format(L"%lx", libAttr.lcid) + L"\\" + system, L"", L"string", kModuleMarker}) &&
              AddRow(rows, {L"HKCR", key + L"\\FLAGS", L"", L"string", Format(L"%lu", libAttr.wLibFlags)}) &&
              AddRow(rows, {L"HKCR", key + L"\\HELPDIR", L"", L"string", kFolderMarker});

    // Interfaces that OLE Automation marshals through the library: dispatch and dual
    // interfaces, and interfaces marked oleautomation.
    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; ok && i < count; ++i) {
        TYPEKIND kind;
        if (FAILED(lib->GetTypeInfoType(i, &kind)) || (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH))
            continue;
        com_ptr<ITypeInfo> info;
        TYPEATTR* type = nullptr;
        if (FAILED(lib->GetTypeInfo(i, info.put())) || FAILED(info->GetTypeAttr(&type))) {
            Fail(L"type " + std::to_wstring(i) + L" of the type library cannot be read");
            return false;
        }
        const GUID iid = type->guid;
        const WORD flags = type->wTypeFlags;
        info->ReleaseTypeAttr(type);
        if (kind == TKIND_INTERFACE && !(flags & TYPEFLAG_FOLEAUTOMATION))
            continue;
        const wchar_t* proxy = (kind == TKIND_INTERFACE || (flags & TYPEFLAG_FDUAL))
                                   ? L"{00020424-0000-0000-C000-000000000046}"
                                   : L"{00020420-0000-0000-C000-000000000046}";
        unique_bstr typeName;
        lib->GetDocumentation(static_cast<INT>(i), typeName.put(), nullptr, nullptr, nullptr);
        const std::wstring interfaceKey = L"Interface\\" + GuidText(iid);
        ok = (!typeName || AddRow(rows, {L"HKCR", interfaceKey, L"", L"string", typeName.get()})) &&
             AddRow(rows, {L"HKCR", interfaceKey + L"\\ProxyStubClsid", L"", L"string", proxy}) &&
             AddRow(rows, {L"HKCR", interfaceKey + L"\\ProxyStubClsid32", L"", L"string", proxy}) &&
             AddRow(rows, {L"HKCR", interfaceKey + L"\\TypeLib", L"", L"string", libid}) &&
             AddRow(rows, {L"HKCR", interfaceKey + L"\\TypeLib", L"Version", L"string", version});
    }
    return ok;
}

std::wstring XmlAttribute(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

bool WriteInclude(const std::wstring& path, const std::wstring& dllName, const std::vector<Row>& rows)
{
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                        L"<!-- Made by tfregrows from the registration of " + XmlAttribute(dllName) +
                        L"; do not edit. -->\r\n<Include>\r\n";
    for (const Row& row : rows) {
        text += L"  <RegistryValue Root=\"" + row.root + L"\" Key=\"" + XmlAttribute(row.key) + L"\"";
        if (!row.name.empty())
            text += L" Name=\"" + XmlAttribute(row.name) + L"\"";
        text += L" Type=\"" + row.type + L"\" Value=\"" + XmlAttribute(row.value) + L"\" />\r\n";
    }
    text += L"</Include>\r\n";

    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (size <= 0 || !file ||
        !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        Fail(L"cannot write " + path);
        return false;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: tfregrows DLL OUT.wxi\n");
        return 2;
    }
    const std::wstring dll = argv[1];
    unique_module image(::LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!image) {
        Fail(L"cannot open " + dll + L": error " + std::to_wstring(::GetLastError()));
        return 1;
    }
    if (FAILED(::CoInitialize(nullptr))) {
        Fail(L"COM does not start");
        return 1;
    }
    std::vector<Row> rows;
    bool ok = AddScriptsRows(image.get(), rows) && AddTypeLibRows(dll, rows);
    ::CoUninitialize();
    const std::size_t slash = dll.find_last_of(L"\\/");
    ok = ok && WriteInclude(argv[2], slash == std::wstring::npos ? dll : dll.substr(slash + 1), rows);
    return ok ? 0 : 1;
}
