// Reads a registration script whole into a tree of keys and values, then walks the tree
// against the registry. Reading first means a malformed script writes nothing, and the walk
// itself allocates nothing, so a registration that fails part-way can always be taken back.
#include "Registrar.h"

#include "Owners.h"

#include <climits>
#include <cstdint>
#include <new>
#include <utility>

namespace tallyfold {

namespace {

bool EqualsIgnoreCase(const std::wstring& text, const wchar_t* word)
{
    return ::CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), word, -1, TRUE) == CSTR_EQUAL;
}

// ---- Replacements ---------------------------------------------------------------------

bool ExpandReplacements(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                        std::wstring& expanded)
{
    expanded.clear();
    expanded.reserve(script.size());
    std::size_t pos = 0;
    while (pos < script.size()) {
        const std::size_t open = script.find(L'%', pos);
        if (open == std::wstring::npos) {
            expanded.append(script, pos, std::wstring::npos);
            break;
        }
        expanded.append(script, pos, open - pos);
        const std::size_t close = script.find(L'%', open + 1);
        if (close == std::wstring::npos)
            return false;
        if (close == open + 1) {
            expanded.push_back(L'%');
        } else {
            const std::wstring name = script.substr(open + 1, close - open - 1);
            const RegistrarReplacement* match = nullptr;
            for (const RegistrarReplacement& replacement : replacements) {
                if (EqualsIgnoreCase(name, replacement.name.c_str())) {
                    match = &replacement;
                    break;
                }
            }
            if (!match)
                return false;
            expanded.append(match->value);
        }
        pos = close + 1;
    }
    return true;
}

// ---- Tokens ---------------------------------------------------------------------------

struct Token {
    std::wstring text;
    bool quoted = false;
};

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v';
}

// Tokens are separated by blanks; a quote may neither open nor close in the middle of a
// word, so that text such as abc'def' or =s is refused instead of being read as two items.
bool Tokenize(const std::wstring& text, std::vector<Token>& tokens)
{
    std::size_t pos = 0;
    const std::size_t end = text.size();
    while (true) {
        while (pos < end && IsBlank(text[pos]))
            ++pos;
        if (pos == end)
            return true;
        Token token;
        if (text[pos] == L'\'') {
            token.quoted = true;
            ++pos;
            while (true) {
                if (pos == end)
                    return false;
                if (text[pos] == L'\'') {
                    if (pos + 1 < end && text[pos + 1] == L'\'') {
                        token.text.push_back(L'\'');
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                token.text.push_back(text[pos++]);
            }
            if (pos < end && !IsBlank(text[pos]))
                return false;
        } else {
            while (pos < end && !IsBlank(text[pos])) {
                if (text[pos] == L'\'')
                    return false;
                token.text.push_back(text[pos++]);
            }
        }
        tokens.push_back(std::move(token));
    }
}

// ---- Script tree ----------------------------------------------------------------------

struct ScriptData {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

struct ScriptItem {
    bool isValue = false;
    std::wstring name;
    bool noRemove = false;
    bool forceRemove = false;
    bool deleteKey = false;
    // Keys: whether the default value is set. Values: always.
    bool hasData = false;
    ScriptData data;
    std::vector<ScriptItem> children;
};

struct ScriptRoot {
    HKEY key = nullptr;
    std::vector<ScriptItem> items;
};

struct RootName {
    const wchar_t* shortName;
    const wchar_t* longName;
    HKEY key;
};

const RootName kRootNames[] = {
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKU", L"HKEY_USERS", HKEY_USERS},
    {L"HKPD", L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKDD", L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys that hold everybody's entries: a script may add to them but never wipe them.
const wchar_t* const kNeverDeleted[] = {
    L"AppID", L"CLSID", L"Component Categories", L"FileType", L"Interface", L"Hardware",
    L"Mime", L"SAM", L"SECURITY", L"SYSTEM", L"Software", L"TypeLib",
};

bool IsNeverDeleted(const std::wstring& name)
{
    for (const wchar_t* spared : kNeverDeleted) {
        if (EqualsIgnoreCase(name, spared))
            return true;
    }
    return false;
}

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

bool ParseNumber(const std::wstring& text, DWORD& number)
{
    std::size_t pos = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        pos = 2;
    }
    if (pos == text.size())
        return false;
    std::uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigit(text[pos]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return false;
    }
    number = static_cast<DWORD>(value);
    return true;
}

void AppendText(std::vector<BYTE>& bytes, const wchar_t* text, std::size_t length)
{
    const BYTE* first = reinterpret_cast<const BYTE*>(text);
    bytes.insert(bytes.end(), first, first + length * sizeof(wchar_t));
    const wchar_t nul = L'\0';
    const BYTE* nulBytes = reinterpret_cast<const BYTE*>(&nul);
    bytes.insert(bytes.end(), nulBytes, nulBytes + sizeof(wchar_t));
}

bool MakeData(const std::wstring& type, const std::wstring& text, ScriptData& data)
{
    if (EqualsIgnoreCase(type, L"s")) {
        data.type = REG_SZ;
        AppendText(data.bytes, text.c_str(), text.size());
        return true;
    }
    if (EqualsIgnoreCase(type, L"d")) {
        DWORD number = 0;
        if (!ParseNumber(text, number))
            return false;
        data.type = REG_DWORD;
        const BYTE* first = reinterpret_cast<const BYTE*>(&number);
        data.bytes.assign(first, first + sizeof number);
        return true;
    }
    if (EqualsIgnoreCase(type, L"b")) {
        if (text.size() % 2 != 0)
            return false;
        data.type = REG_BINARY;
        for (std::size_t pos = 0; pos < text.size(); pos += 2) {
            const int high = HexDigit(text[pos]);
            const int low = HexDigit(text[pos + 1]);
            if (high < 0 || low < 0)
                return false;
            data.bytes.push_back(static_cast<BYTE>(high * 16 + low));
        }
        return true;
    }
    if (EqualsIgnoreCase(type, L"m")) {
        data.type = REG_MULTI_SZ;
        std::size_t pos = 0;
        while (true) {
            const std::size_t separator = text.find(L"\\0", pos);
            const std::size_t stop = separator == std::wstring::npos ? text.size() : separator;
            AppendText(data.bytes, text.c_str() + pos, stop - pos);
            if (separator == std::wstring::npos)
                break;
            pos = separator + 2;
        }
        // The empty string that closes the list.
        AppendText(data.bytes, L"", 0);
        return true;
    }
    return false;
}

class ScriptParser {
public:
    explicit ScriptParser(const std::vector<Token>& tokens) : m_tokens(tokens) {}

    bool ParseScript(std::vector<ScriptRoot>& roots)
    {
        while (m_pos < m_tokens.size()) {
            const Token& name = m_tokens[m_pos++];
            if (name.quoted)
                return false;
            ScriptRoot root;
            for (const RootName& candidate : kRootNames) {
                if (EqualsIgnoreCase(name.text, candidate.shortName) || EqualsIgnoreCase(name.text, candidate.longName)) {
                    root.key = candidate.key;
                    break;
                }
            }
            if (!root.key || !Accept(L"{") || !ParseBody(root.items))
                return false;
            roots.push_back(std::move(root));
        }
        return true;
    }

private:
    bool AtWord(const wchar_t* word) const
    {
        return m_pos < m_tokens.size() && !m_tokens[m_pos].quoted && EqualsIgnoreCase(m_tokens[m_pos].text, word);
    }

    bool Accept(const wchar_t* punctuation)
    {
        if (m_pos < m_tokens.size() && !m_tokens[m_pos].quoted && m_tokens[m_pos].text == punctuation) {
            ++m_pos;
            return true;
        }
        return false;
    }

    // A key or value name, or a value's data: any quoted text, or a bare word that is not
    // punctuation and holds no equals sign.
    bool TakeText(std::wstring& text)
    {
        if (m_pos >= m_tokens.size())
            return false;
        const Token& token = m_tokens[m_pos];
        if (!token.quoted &&
            (token.text == L"{" || token.text == L"}" || token.text.find(L'=') != std::wstring::npos))
            return false;
        text = token.text;
        ++m_pos;
        return true;
    }

    bool ParseData(ScriptData& data)
    {
        if (m_pos >= m_tokens.size() || m_tokens[m_pos].quoted)
            return false;
        const std::wstring& type = m_tokens[m_pos++].text;
        std::wstring text;
        return TakeText(text) && MakeData(type, text, data);
    }

    // Reads items up to and including the closing brace.
    bool ParseBody(std::vector<ScriptItem>& items)
    {
        while (true) {
            if (m_pos >= m_tokens.size())
                return false;
            if (Accept(L"}"))
                return true;
            ScriptItem item;
            if (!ParseItem(item))
                return false;
            items.push_back(std::move(item));
        }
    }

    bool ParseItem(ScriptItem& item)
    {
        while (true) {
            if (AtWord(L"NoRemove"))
                item.noRemove = true;
            else if (AtWord(L"ForceRemove"))
                item.forceRemove = true;
            else if (AtWord(L"Delete"))
                item.deleteKey = true;
            else
                break;
            ++m_pos;
        }
        if (AtWord(L"val")) {
            ++m_pos;
            item.isValue = true;
            item.hasData = true;
            return !item.forceRemove && !item.deleteKey && TakeText(item.name) && Accept(L"=") && ParseData(item.data);
        }
        if (!TakeText(item.name) || item.name.empty() || item.name.find(L'\\') != std::wstring::npos)
            return false;
        if (Accept(L"=")) {
            item.hasData = true;
            if (!ParseData(item.data))
                return false;
        }
        if (Accept(L"{"))
            return ParseBody(item.children);
        return true;
    }

    const std::vector<Token>& m_tokens;
    std::size_t m_pos = 0;
};

// ---- Walking the tree -----------------------------------------------------------------

HRESULT FromRegistry(LONG error)
{
    return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
}

const wchar_t* ValueName(const ScriptItem& item)
{
    return item.name.empty() ? nullptr : item.name.c_str();
}

HRESULT SetValue(HKEY key, const wchar_t* name, const ScriptData& data)
{
    const LONG error = ::RegSetValueExW(key, name, 0, data.type, data.bytes.empty() ? nullptr : data.bytes.data(),
                                        static_cast<DWORD>(data.bytes.size()));
    return error == ERROR_SUCCESS ? S_OK : FromRegistry(error);
}

HRESULT DeleteKeyTree(HKEY parent, const std::wstring& name)
{
    const LONG error = ::RegDeleteTreeW(parent, name.c_str());
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistry(error);
}

HRESULT RegisterItems(HKEY parent, const std::vector<ScriptItem>& items);

HRESULT RegisterKey(HKEY parent, const ScriptItem& item)
{
    const bool spared = IsNeverDeleted(item.name);
    if (item.deleteKey)
        return spared ? S_OK : DeleteKeyTree(parent, item.name);
    if (item.forceRemove && !spared) {
        const HRESULT hr = DeleteKeyTree(parent, item.name);
        if (FAILED(hr))
            return hr;
    }

    // Only the access the key's own items need, so that a shared key such as CLSID, which
    // merely holds the script's keys, is not asked for the right to change its values.
    REGSAM access = KEY_READ;
    if (item.hasData)
        access |= KEY_SET_VALUE;
    for (const ScriptItem& child : item.children)
        access |= child.isValue ? KEY_SET_VALUE : KEY_CREATE_SUB_KEY;

    unique_hkey key;
    const LONG error = ::RegCreateKeyExW(parent, item.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                         nullptr, key.put(), nullptr);
    if (error != ERROR_SUCCESS)
        return FromRegistry(error);
    if (item.hasData) {
        const HRESULT hr = SetValue(key.get(), nullptr, item.data);
        if (FAILED(hr))
            return hr;
    }
    return RegisterItems(key.get(), item.children);
}

HRESULT RegisterItems(HKEY parent, const std::vector<ScriptItem>& items)
{
    for (const ScriptItem& item : items) {
        const HRESULT hr = item.isValue ? SetValue(parent, ValueName(item), item.data) : RegisterKey(parent, item);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT RemoveItems(HKEY parent, const std::vector<ScriptItem>& items);

HRESULT RemoveKey(HKEY parent, const ScriptItem& item)
{
    REGSAM access = KEY_READ;
    for (const ScriptItem& child : item.children) {
        if (child.isValue && !child.noRemove)
            access |= KEY_SET_VALUE;
    }
    unique_hkey key;
    LONG error = ::RegOpenKeyExW(parent, item.name.c_str(), 0, access, key.put());
    if (error == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (error != ERROR_SUCCESS)
        return FromRegistry(error);

    const HRESULT hr = RemoveItems(key.get(), item.children);
    if (FAILED(hr) || item.noRemove)
        return hr;

    // A key that still has subkeys holds entries that are not the script's: it stays.
    DWORD subkeys = 0;
    error = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS)
        return FromRegistry(error);
    key.reset();
    if (subkeys != 0)
        return S_OK;
    error = ::RegDeleteKeyW(parent, item.name.c_str());
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistry(error);
}

HRESULT RemoveItems(HKEY parent, const std::vector<ScriptItem>& items)
{
    for (const ScriptItem& item : items) {
        HRESULT hr = S_OK;
        if (item.isValue) {
            if (item.noRemove)
                continue;
            const LONG error = ::RegDeleteValueW(parent, ValueName(item));
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
                hr = FromRegistry(error);
        } else if (!item.deleteKey) {
            // A Delete key is one the script takes away, not one it wrote.
            hr = RemoveKey(parent, item);
        }
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT RemoveRoots(const std::vector<ScriptRoot>& roots)
{
    for (const ScriptRoot& root : roots) {
        const HRESULT hr = RemoveItems(root.key, root.items);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT RegisterRoots(const std::vector<ScriptRoot>& roots)
{
    for (const ScriptRoot& root : roots) {
        const HRESULT hr = RegisterItems(root.key, root.items);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT ReadScript(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                   std::vector<ScriptRoot>& roots) noexcept
{
    try {
        std::wstring expanded;
        if (!ExpandReplacements(script, replacements, expanded))
            return REGISTRAR_E_SYNTAX;
        std::vector<Token> tokens;
        if (!Tokenize(expanded, tokens))
            return REGISTRAR_E_SYNTAX;
        ScriptParser parser(tokens);
        if (!parser.ParseScript(roots))
            return REGISTRAR_E_SYNTAX;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// ---- Listing the tree -----------------------------------------------------------------

void ListItems(HKEY root, const std::wstring& path, const std::vector<ScriptItem>& items,
               std::vector<RegistrarEntry>& entries)
{
    for (const ScriptItem& item : items) {
        RegistrarEntry entry;
        entry.root = root;
        entry.noRemove = item.noRemove;
        if (item.isValue) {
            entry.key = path;
            entry.isValue = true;
            entry.valueName = item.name;
            entry.type = item.data.type;
            entry.data = item.data.bytes;
            entries.push_back(std::move(entry));
            continue;
        }
        entry.key = path.empty() ? item.name : path + L"\\" + item.name;
        entry.forceRemove = item.forceRemove && !IsNeverDeleted(item.name);
        entry.deleteKey = item.deleteKey;
        entry.empty = !item.hasData && item.children.empty();
        entries.push_back(entry);
        if (item.hasData) {
            RegistrarEntry value;
            value.root = root;
            value.key = entry.key;
            value.isValue = true;
            value.type = item.data.type;
            value.data = item.data.bytes;
            entries.push_back(std::move(value));
        }
        ListItems(root, entry.key, item.children, entries);
    }
}

} // namespace

HRESULT ListRegistrationScript(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                               std::vector<RegistrarEntry>& entries) noexcept
{
    entries.clear();
    std::vector<ScriptRoot> roots;
    const HRESULT hr = ReadScript(script, replacements, roots);
    if (FAILED(hr))
        return hr;
    try {
        for (const ScriptRoot& root : roots)
            ListItems(root.key, std::wstring(), root.items, entries);
    } catch (const std::bad_alloc&) {
        entries.clear();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT RunRegistrationScript(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements,
                              bool registering) noexcept
{
    std::vector<ScriptRoot> roots;
    const HRESULT hrRead = ReadScript(script, replacements, roots);
    if (FAILED(hrRead))
        return hrRead;

    if (!registering)
        return RemoveRoots(roots);
    const HRESULT hr = RegisterRoots(roots);
    if (FAILED(hr)) {
        // The failure that stopped the registration is what the caller needs to see; the
        // undo takes back what it can.
        RemoveRoots(roots);
    }
    return hr;
}

HRESULT RegistrationScriptFromText(const char* text, std::size_t length, std::wstring& script) noexcept
{
    script.clear();
    std::size_t used = 0;
    while (used < length && text[used] != '\0')
        ++used;
    if (used == 0)
        return S_OK;
    if (used > static_cast<std::size_t>(INT_MAX))
        return E_INVALIDARG;
    const int count = static_cast<int>(used);
    const int wide = ::MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, text, count, nullptr, 0);
    if (wide == 0)
        return HRESULT_FROM_WIN32(::GetLastError());
    try {
        script.resize(static_cast<std::size_t>(wide));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (::MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, text, count, &script[0], wide) != wide) {
        const DWORD error = ::GetLastError();
        script.clear();
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

std::wstring QuoteForRegistrationScript(const std::wstring& text)
{
    std::wstring quoted;
    quoted.reserve(text.size());
    for (const wchar_t c : text) {
        quoted.push_back(c);
        if (c == L'\'')
            quoted.push_back(L'\'');
    }
    return quoted;
}

} // namespace tallyfold
