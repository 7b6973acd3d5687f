// The registration-script interpreter against the real registry of the test prefix. Every
// test writes below HKCU\Software\TallyfoldRegistrarTest, which is wiped before and after;
// the shipped scripts run with HKEY_CLASSES_ROOT redirected into that key, so they never
// touch the prefix's real class registrations.
#include "Registrar.h"

#include "Owners.h"
#include "RegistryDump.h"
#include "TestBasics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <ostream>
#include <string>
#include <vector>

using namespace tallyfold;
using namespace tftest;

namespace {

const wchar_t kScratch[] = L"Software\\TallyfoldRegistrarTest";

const wchar_t kAppId[] = L"{371F7C37-28C2-46B4-8AD6-7C2BFF2798C6}";
const wchar_t kLibId[] = L"{7ED64AC5-8942-43D4-8822-0CB153843AF3}";
const wchar_t kControlClsid[] = L"{CDCD1A02-C10B-4854-8AF5-836A506A74DE}";
const wchar_t kResultClsid[] = L"{94CBBEAE-44B4-47B2-BD92-D1C60752D8C0}";

const HRESULT kAccessDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

// ---- Reading the registry back --------------------------------------------------------

// The whole tree below HKCU\<path>, one sorted line per key and value, paths relative to it.
std::vector<std::wstring> Dump(const std::wstring& path = kScratch)
{
    std::vector<std::wstring> lines;
    unique_hkey key;
    const LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put());
    if (error != ERROR_SUCCESS) {
        lines.push_back(L"<cannot open: " + std::to_wstring(error) + L">");
        return lines;
    }
    const LONG dumped = DumpRegistryKey(key.get(), L"", lines);
    if (dumped != ERROR_SUCCESS)
        lines.push_back(L"<cannot read: " + std::to_wstring(dumped) + L">");
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool ScratchExists()
{
    unique_hkey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kScratch, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// ---- Setting the stage ----------------------------------------------------------------

unique_hkey CreateKey(HKEY parent, const std::wstring& path, DWORD options = REG_OPTION_NON_VOLATILE)
{
    unique_hkey key;
    const LONG error = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, error) << "RegCreateKeyExW " << std::string(path.begin(), path.end());
    return key;
}

void CreateScratchKey(const std::wstring& relative, const wchar_t* valueName = nullptr, const wchar_t* text = nullptr)
{
    unique_hkey key = CreateKey(HKEY_CURRENT_USER, JoinKey(kScratch, relative));
    if (text) {
        const LONG error = RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                          static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
        EXPECT_EQ(ERROR_SUCCESS, error) << "RegSetValueExW";
    }
}

// Lets everybody read and delete the key but nobody set its values (nor, by default, add
// subkeys), as a shared key looks to a user without administrator rights.
void DenyWrites(const std::wstring& relative, REGSAM denied = KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
{
    unique_hkey key = CreateKey(HKEY_CURRENT_USER, JoinKey(kScratch, relative));
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize));
    alignas(DWORD) BYTE aclBuffer[256];
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer);
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION));
    ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, denied, sid));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, sid));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor));

    // The failure paths below are only shown if the platform really refuses the write.
    unique_hkey probe;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_CURRENT_USER, JoinKey(kScratch, relative).c_str(), 0,
                                                 KEY_SET_VALUE, probe.put()));
}

// A script whose body lies inside HKCU\Software\TallyfoldRegistrarTest, kept on removal.
std::wstring ScratchScript(const std::wstring& body)
{
    return L"HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove TallyfoldRegistrarTest\r\n\t\t{\r\n" + body +
           L"\r\n\t\t}\r\n\t}\r\n}\r\n";
}

HRESULT Register(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements = {})
{
    return RunRegistrationScript(script, replacements, true);
}

HRESULT Remove(const std::wstring& script, const std::vector<RegistrarReplacement>& replacements = {})
{
    return RunRegistrationScript(script, replacements, false);
}

class Registrar : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kScratch); }
    void TearDown() override
    {
        const LONG error = RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << "cleanup: " << error;
    }
};

// ---- The grammar ----------------------------------------------------------------------

TEST_F(Registrar, WritesKeysAndValuesAsGiven)
{
    const std::wstring script =
        L"hkey_current_user\r\n{\r\n noremove SOFTWARE\r\n {\r\n NoRemove TallyfoldRegistrarTest\r\n {\r\n"
        L"  Plain = s 'default text'\r\n"
        L"  {\r\n"
        L"    val Named = s 'named text'\r\n"
        L"    VAL Empty = s ''\r\n"
        L"    val Dword = d 4294967295\r\n"
        L"    val 'Hex Dword' = D '0x1A2b'\r\n"
        L"    val Bytes = b '00FF10ab'\r\n"
        L"    val NoBytes = b ''\r\n"
        L"    val Multi = m 'first\\0second'\r\n"
        L"    val 'It''s' = s 'quote '' inside'\r\n"
        L"    {0D3E7A3C-0000-4000-8000-000000000001} = d 7\r\n"
        L"    'Two words'\r\n"
        L"    {\r\n"
        L"      Leaf = b C0FFEE\r\n"
        L"    }\r\n"
        L"    'val' = s 'a key, not a value'\r\n"
        L"    val '' = s 'replaced default'\r\n"
        L"  }\r\n"
        L" }\r\n }\r\n}\r\n";
    EXPECT_HR(S_OK, Register(script));

    const std::wstring guid = L"Plain\\{0D3E7A3C-0000-4000-8000-000000000001}";
    EXPECT_EQ(Sorted({
                  KeyLine(L"Plain"),
                  SzLine(L"Plain", L"", L"replaced default"),
                  SzLine(L"Plain", L"Named", L"named text"),
                  SzLine(L"Plain", L"Empty", L""),
                  ValueLine(L"Plain", L"Dword", L"d", L"0xFFFFFFFF"),
                  ValueLine(L"Plain", L"Hex Dword", L"d", L"0x00001A2B"),
                  ValueLine(L"Plain", L"Bytes", L"b", L"00FF10AB"),
                  ValueLine(L"Plain", L"NoBytes", L"b", L""),
                  ValueLine(L"Plain", L"Multi", L"m", L"first\\0second\\0\\0"),
                  SzLine(L"Plain", L"It's", L"quote ' inside"),
                  KeyLine(guid),
                  ValueLine(guid, L"", L"d", L"0x00000007"),
                  KeyLine(L"Plain\\Two words"),
                  KeyLine(L"Plain\\Two words\\Leaf"),
                  ValueLine(L"Plain\\Two words\\Leaf", L"", L"b", L"C0FFEE"),
                  KeyLine(L"Plain\\val"),
                  SzLine(L"Plain\\val", L"", L"a key, not a value"),
              }),
              Dump());
}

TEST_F(Registrar, ReplacementsAreMatchedWithoutRegardToCase)
{
    const std::wstring module = L"C:\\O'Neil's tools\\Tallyfold.dll";
    const std::vector<RegistrarReplacement> replacements = {
        {L"APPID", kAppId},
        {L"Module", QuoteForRegistrationScript(module)},
    };
    const std::wstring script = ScratchScript(L"'%appid%' = s '%MODULE%'\r\n"
                                              L"{\r\n"
                                              L"  val Raw = s '%MoDuLe%'\r\n"
                                              L"  val Percent = s '100%% sure'\r\n"
                                              L"}\r\n"
                                              L"%AppId%Bare = s 'x'");
    EXPECT_HR(S_OK, Register(script, replacements));

    const std::wstring key = kAppId;
    EXPECT_EQ(Sorted({
                  KeyLine(key),
                  SzLine(key, L"", module),
                  SzLine(key, L"Raw", module),
                  SzLine(key, L"Percent", L"100% sure"),
                  KeyLine(key + L"Bare"),
                  SzLine(key + L"Bare", L"", L"x"),
              }),
              Dump());
}

TEST_F(Registrar, MalformedScriptsWriteNothing)
{
    // Each script would write the scratch key before reaching its fault.
    const std::wstring good = L"HKCU { Software { TallyfoldRegistrarTest = s 'x' } }\r\n";
    const std::wstring open = L"HKCU { Software { TallyfoldRegistrarTest = s 'x'\r\n";
    const std::wstring close = L"\r\n} }\r\n";
    const struct {
        const char* what;
        std::wstring script;
    } cases[] = {
        {"unknown root", good + L"HKXX { }"},
        {"quoted root", good + L"'HKCU' { }"},
        {"root without body", good + L"HKCU"},
        {"stray closing brace", good + L"}"},
        {"missing closing brace", open + L"{ Key }" + L"\r\n}"},
        {"unterminated quote", open + L"{ Bad = s 'open }" + close},
        {"unknown replacement", open + L"{ Bad = s '%NOPE%' }" + close},
        {"lone percent", open + L"{ Bad = s '100%' }" + close},
        {"unknown type", open + L"{ Bad = x 'a' }" + close},
        {"missing data", open + L"{ Bad = s }" + close},
        {"quoted type", open + L"{ Bad = 's' 'a' }" + close},
        {"number not a number", open + L"{ Bad = d 'ten' }" + close},
        {"number too big", open + L"{ Bad = d 4294967296 }" + close},
        {"hex number too big", open + L"{ Bad = d 0x100000000 }" + close},
        {"hex prefix alone", open + L"{ Bad = d 0x }" + close},
        {"empty number", open + L"{ Bad = d '' }" + close},
        {"odd byte count", open + L"{ Bad = b 'ABC' }" + close},
        {"bytes not hex", open + L"{ Bad = b 'ZZ' }" + close},
        {"compound key name", open + L"{ 'A\\B' }" + close},
        {"empty key name", open + L"{ '' }" + close},
        {"value without equals", open + L"{ val Bad s 'x' }" + close},
        {"value without name", open + L"{ val = s 'x' }" + close},
        {"ForceRemove on a value", open + L"{ ForceRemove val Bad = s 'x' }" + close},
        {"Delete on a value", open + L"{ Delete val Bad = s 'x' }" + close},
        {"equals glued to type", open + L"{ Bad =s 'x' }" + close},
        {"quote glued to word", open + L"{ Bad = s'x' }" + close},
        {"word glued to quote", open + L"{ 'Bad'x }" + close},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        EXPECT_HR(REGISTRAR_E_SYNTAX, Register(row.script));
        EXPECT_FALSE(ScratchExists());
        EXPECT_HR(REGISTRAR_E_SYNTAX, Remove(row.script));
    }
    // The frame the rows share is itself sound.
    EXPECT_HR(S_OK, Register(open + L"{ Key }" + close));
    EXPECT_TRUE(ScratchExists());
}

// ---- Registering ----------------------------------------------------------------------

TEST_F(Registrar, ReRegisteringRecreatesForceRemoveKeysFromScratch)
{
    const std::wstring script = ScratchScript(L"ForceRemove Fresh = s 'one'\r\n"
                                              L"{\r\n"
                                              L"  Inner = s 'two'\r\n"
                                              L"  ForceRemove Programmable\r\n"
                                              L"}\r\n"
                                              L"Kept = s 'three'");
    ASSERT_HR(S_OK, Register(script));
    const std::vector<std::wstring> first = Dump();

    CreateScratchKey(L"Fresh", L"Stray", L"stray value");
    CreateScratchKey(L"Fresh\\StraySub\\Deeper", L"", L"stray key");
    CreateScratchKey(L"Fresh\\Inner", L"Stray", L"stray value");
    CreateScratchKey(L"Kept", L"Stray", L"left alone");
    EXPECT_HR(S_OK, Register(script));

    std::vector<std::wstring> expected = first;
    expected.push_back(SzLine(L"Kept", L"Stray", L"left alone"));
    EXPECT_EQ(Sorted(expected), Dump());
}

TEST_F(Registrar, ForceRemoveAndDeleteSpareSharedKeys)
{
    const wchar_t* const spared[] = {
        L"AppID", L"CLSID", L"Component Categories", L"FileType", L"Interface", L"Hardware",
        L"Mime", L"SAM", L"SECURITY", L"SYSTEM", L"Software", L"TypeLib",
    };
    for (const wchar_t* name : spared) {
        std::wstring lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return std::towlower(c); });
        SCOPED_TRACE(std::string(lower.begin(), lower.end()));
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        CreateScratchKey(JoinKey(name, L"Foreign"), L"", L"another program's");

        EXPECT_HR(S_OK, Register(ScratchScript(L"ForceRemove '" + lower + L"'\r\n{\r\n  Own = s 'mine'\r\n}\r\n"
                                                   L"Delete '" + lower + L"'")));
        const std::wstring own = JoinKey(name, L"Own");
        const std::wstring foreign = JoinKey(name, L"Foreign");
        EXPECT_EQ(Sorted({KeyLine(name), KeyLine(foreign), SzLine(foreign, L"", L"another program's"), KeyLine(own),
                          SzLine(own, L"", L"mine")}),
                  Dump());
    }

    // Any other name is wiped by both.
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    CreateScratchKey(L"Plain\\Foreign", L"", L"another program's");
    CreateScratchKey(L"Doomed\\Deeper", L"", L"old");
    EXPECT_HR(S_OK, Register(ScratchScript(L"ForceRemove plain\r\n{\r\n  Own = s 'mine'\r\n}\r\n"
                                               L"Delete Doomed\r\n{\r\n  Ignored = s 'x'\r\n}\r\n"
                                               L"Delete Absent")));
    // The key was made anew, so it bears the script's spelling of its name.
    EXPECT_EQ(Sorted({KeyLine(L"plain"), KeyLine(L"plain\\Own"), SzLine(L"plain\\Own", L"", L"mine")}), Dump());
}

TEST_F(Registrar, FailedRegistrationIsTakenBack)
{
    const struct {
        const char* what;
        void (*prepare)();
        HRESULT expected;
    } cases[] = {
        {"key without write access", [] { DenyWrites(L"Locked"); }, kAccessDenied},
        {"durable key under a volatile one",
         [] { CreateKey(HKEY_CURRENT_USER, JoinKey(kScratch, L"Locked"), REG_OPTION_VOLATILE); },
         HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE)},
    };
    const std::wstring script = ScratchScript(L"Before = s 'b'\r\n"
                                              L"{\r\n"
                                              L"  Inner = s 'i'\r\n"
                                              L"  {\r\n"
                                              L"    val Setting = d 1\r\n"
                                              L"  }\r\n"
                                              L"}\r\n"
                                              L"ForceRemove Recreated = s 'r'\r\n"
                                              L"NoRemove Locked\r\n"
                                              L"{\r\n"
                                              L"  Child = s 'c'\r\n"
                                              L"}\r\n"
                                              L"After = s 'a'");
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        CreateScratchKey(L"Unrelated", L"Mine", L"untouched");
        row.prepare();

        EXPECT_HR(row.expected, Register(script));
        EXPECT_EQ(Sorted({KeyLine(L"Locked"), KeyLine(L"Unrelated"), SzLine(L"Unrelated", L"Mine", L"untouched")}),
                  Dump());
    }
}

TEST_F(Registrar, SharedKeyIsAskedOnlyForTheRightsItsItemsUse)
{
    // Subkeys may be added to Shared, but its values may not change.
    DenyWrites(L"Shared", KEY_SET_VALUE);
    const std::wstring script = ScratchScript(L"NoRemove Shared\r\n"
                                              L"{\r\n"
                                              L"  Mine = s 'x'\r\n"
                                              L"  {\r\n"
                                              L"    val Setting = s 'y'\r\n"
                                              L"  }\r\n"
                                              L"}");
    EXPECT_HR(S_OK, Register(script));
    EXPECT_EQ(Sorted({KeyLine(L"Shared"), KeyLine(L"Shared\\Mine"), SzLine(L"Shared\\Mine", L"", L"x"),
                      SzLine(L"Shared\\Mine", L"Setting", L"y")}),
              Dump());
    EXPECT_HR(S_OK, Remove(script));
    EXPECT_EQ(std::vector<std::wstring>{KeyLine(L"Shared")}, Dump());
}

// ---- Removing -------------------------------------------------------------------------

TEST_F(Registrar, RemovalTakesOnlyWhatTheScriptOwns)
{
    const std::wstring script = ScratchScript(L"NoRemove Shared = s 'shared default'\r\n"
                                              L"{\r\n"
                                              L"  Owned = s 'owned'\r\n"
                                              L"  {\r\n"
                                              L"    val Setting = s 'x'\r\n"
                                              L"  }\r\n"
                                              L"  val Named = s 'named'\r\n"
                                              L"  NoRemove val Lasting = s 'lasting'\r\n"
                                              L"}\r\n"
                                              L"ForceRemove Host = s 'host default'\r\n"
                                              L"{\r\n"
                                              L"  val HostValue = s 'v'\r\n"
                                              L"  Child = s 'c'\r\n"
                                              L"}\r\n"
                                              L"Gone = s 'g'\r\n"
                                              L"{\r\n"
                                              L"  Deeper\r\n"
                                              L"  {\r\n"
                                              L"    Deepest = d 1\r\n"
                                              L"  }\r\n"
                                              L"}");
    // Nothing there yet: nothing to remove, and no error.
    EXPECT_HR(S_OK, Remove(script));
    EXPECT_FALSE(ScratchExists());

    ASSERT_HR(S_OK, Register(script));
    CreateScratchKey(L"Host\\Foreign", L"", L"another program's");
    EXPECT_HR(S_OK, Remove(script));

    const std::vector<std::wstring> expected = Sorted({
        KeyLine(L"Shared"),
        SzLine(L"Shared", L"", L"shared default"),
        SzLine(L"Shared", L"Lasting", L"lasting"),
        KeyLine(L"Host"),
        SzLine(L"Host", L"", L"host default"),
        KeyLine(L"Host\\Foreign"),
        SzLine(L"Host\\Foreign", L"", L"another program's"),
    });
    EXPECT_EQ(expected, Dump());

    // What is already gone is no error the second time.
    EXPECT_HR(S_OK, Remove(script));
    EXPECT_EQ(expected, Dump());
}

TEST_F(Registrar, RemovalStopsAtTheFirstFailure)
{
    CreateScratchKey(L"Locked", L"Value", L"x");
    DenyWrites(L"Locked");
    CreateScratchKey(L"Later");

    EXPECT_HR(kAccessDenied, Remove(ScratchScript(L"NoRemove Locked\r\n{\r\n  val Value = s 'x'\r\n}\r\nLater")));
    EXPECT_EQ(Sorted({KeyLine(L"Locked"), SzLine(L"Locked", L"Value", L"x"), KeyLine(L"Later")}), Dump());
}

// ---- Script text ----------------------------------------------------------------------

class ThreadLocale {
public:
    explicit ThreadLocale(LCID locale) : m_saved(GetThreadLocale()) { SetThreadLocale(locale); }
    ~ThreadLocale() { SetThreadLocale(m_saved); }

private:
    LCID m_saved;
};

// ---- Listing --------------------------------------------------------------------------

// A listed key or value as the line a dump of the registry shows for it.
std::wstring DumpLine(const RegistrarEntry& entry)
{
    if (!entry.isValue)
        return KeyLine(entry.key);
    const DWORD size = static_cast<DWORD>(entry.data.size());
    return ValueLine(entry.key, entry.valueName, RegistryTypeName(entry.type),
                     RenderRegistryData(entry.type, entry.data.data(), size));
}

// The dump line with the entry's root and markers.
std::wstring EntryLine(const RegistrarEntry& entry)
{
    std::wstring line = entry.root == HKEY_CURRENT_USER ? L"HKCU " : entry.root == HKEY_LOCAL_MACHINE ? L"HKLM " : L"? ";
    line += DumpLine(entry);
    if (entry.noRemove)
        line += L" NoRemove";
    if (entry.forceRemove)
        line += L" ForceRemove";
    if (entry.deleteKey)
        line += L" Delete";
    if (entry.empty)
        line += L" empty";
    return line;
}

TEST(RegistrarListing, NamesWhatRegisteringWritesInItsOrder)
{
    const std::wstring script = L"HKCU\r\n{\r\n NoRemove Software\r\n {\r\n"
                                L"  ForceRemove 'Tally %NAME%' = s '%Module%'\r\n  {\r\n"
                                L"   val Count = d 0x10\r\n   ForceRemove Empty\r\n   NoRemove Kept\r\n   Delete Old\r\n"
                                L"  }\r\n  ForceRemove CLSID\r\n }\r\n}\r\nHKLM { Two { val B = b 0AFF } }\r\n";
    std::vector<RegistrarEntry> entries;
    ASSERT_HR(S_OK, ListRegistrationScript(script, {{L"NAME", L"fold"}, {L"Module", L"C:\\x.dll"}}, entries));
    std::vector<std::wstring> lines;
    for (const RegistrarEntry& entry : entries)
        lines.push_back(EntryLine(entry));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"HKCU key Software NoRemove",
                  L"HKCU key Software\\Tally fold ForceRemove",
                  L"HKCU value Software\\Tally fold | (default) | s | C:\\x.dll",
                  L"HKCU value Software\\Tally fold | Count | d | 0x00000010",
                  L"HKCU key Software\\Tally fold\\Empty ForceRemove empty",
                  L"HKCU key Software\\Tally fold\\Kept NoRemove empty",
                  L"HKCU key Software\\Tally fold\\Old Delete empty",
                  // ForceRemove never deletes a shared key, so the listing does not mark it.
                  L"HKCU key Software\\CLSID empty",
                  L"HKLM key Two",
                  L"HKLM value Two | B | b | 0AFF",
              }),
              lines);

    // What registering refuses, listing refuses too, and lists nothing.
    EXPECT_HR(REGISTRAR_E_SYNTAX, ListRegistrationScript(L"HKCU { Software { Open = s 'x' }", {}, entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_HR(REGISTRAR_E_SYNTAX, ListRegistrationScript(L"HKCU { '%MISSING%' }", {}, entries));
    EXPECT_TRUE(entries.empty());
}

TEST(RegistrarText, ConvertsThroughTheThreadCodePage)
{
    const LCID japanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT);
    const LCID english = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    const struct {
        const char* what;
        LCID locale;
        std::string text;
        HRESULT expected;
        std::wstring script;
    } cases[] = {
        {"ascii", japanese, "HKCR\r\n{\r\n\t'a' = s 'b'\r\n}\r\n", S_OK, L"HKCR\r\n{\r\n\t'a' = s 'b'\r\n}\r\n"},
        {"code page 932", japanese, "\x83\x65\x83\x58\x83\x67", S_OK, L"\u30C6\u30B9\u30C8"},
        {"code page 1252", english, "\xE9t\xE9", S_OK, L"\u00E9t\u00E9"},
        {"ends at NUL", japanese, std::string("ab\0cd", 5), S_OK, L"ab"},
        {"empty", japanese, "", S_OK, L""},
        {"lead byte without trail byte", japanese, "ab\x83", HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), L""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        ThreadLocale locale(row.locale);
        std::wstring script = L"sentinel";
        EXPECT_HR(row.expected, RegistrationScriptFromText(row.text.data(), row.text.size(), script));
        EXPECT_EQ(row.script, script);
    }
}

TEST(RegistrarText, QuotingDoublesEverySingleQuote)
{
    EXPECT_EQ(L"C:\\O''Neil''s\\''''x", QuoteForRegistrationScript(L"C:\\O'Neil's\\''x"));
    EXPECT_EQ(L"", QuoteForRegistrationScript(L""));
}

// ---- The shipped scripts --------------------------------------------------------------

std::string ReadScriptFile(const wchar_t* name)
{
    const std::wstring directory = tftest::EnvW(L"TALLYFOLD_REGISTRAR_SCRIPTS");
    EXPECT_FALSE(directory.empty()) << "TALLYFOLD_REGISTRAR_SCRIPTS is not set";
    const std::wstring path = directory + L"\\" + name;
    unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(static_cast<bool>(file)) << "cannot open " << std::string(path.begin(), path.end());
    if (!file)
        return {};
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

// Plain 8-bit ASCII, CR LF line ends, tab indentation.
void ExpectScriptLayout(const std::string& text)
{
    ASSERT_FALSE(text.empty());
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << "last line unterminated";
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c == '\t' || c == '\r' || c == '\n' || (c >= 0x20 && c < 0x7F)) << "byte " << int(c) << " at " << i;
        if (c == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
            lineStart = i + 1;
        } else if (c == '\r') {
            EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
        } else if (c == ' ' && text.find_first_not_of('\t', lineStart) == i) {
            ADD_FAILURE() << "space in the indentation at " << i;
        }
    }
}

// The replacement table as the module builds it for each script: what the caller passes,
// APPID again, and the module path with its quotes doubled as Module and Module_Raw.
std::vector<RegistrarReplacement> ModuleReplacements(const std::wstring& module, bool appIdScript)
{
    std::vector<RegistrarReplacement> replacements;
    if (appIdScript)
        replacements.push_back({L"APPID", kAppId});
    replacements.push_back({L"APPID", kAppId});
    replacements.push_back({L"Module", QuoteForRegistrationScript(module)});
    replacements.push_back({L"Module_Raw", QuoteForRegistrationScript(module)});
    return replacements;
}

void AppendClassTable(std::vector<std::wstring>& lines, const std::wstring& className, const std::wstring& clsid,
                      const std::wstring& module)
{
    const std::wstring description = className + L" Class";
    const std::wstring progId = L"mrv." + className;
    const std::wstring versioned = progId + L".1";
    const std::wstring key = L"CLSID\\" + clsid;
    const std::wstring table[] = {
        KeyLine(versioned),
        SzLine(versioned, L"", description),
        KeyLine(versioned + L"\\CLSID"),
        SzLine(versioned + L"\\CLSID", L"", clsid),
        KeyLine(progId),
        SzLine(progId, L"", description),
        KeyLine(progId + L"\\CLSID"),
        SzLine(progId + L"\\CLSID", L"", clsid),
        KeyLine(progId + L"\\CurVer"),
        SzLine(progId + L"\\CurVer", L"", versioned),
        KeyLine(key),
        SzLine(key, L"", description),
        SzLine(key, L"AppID", kAppId),
        KeyLine(key + L"\\ProgID"),
        SzLine(key + L"\\ProgID", L"", versioned),
        KeyLine(key + L"\\VersionIndependentProgID"),
        SzLine(key + L"\\VersionIndependentProgID", L"", progId),
        KeyLine(key + L"\\Programmable"),
        KeyLine(key + L"\\InprocServer32"),
        SzLine(key + L"\\InprocServer32", L"", module),
        SzLine(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"),
        KeyLine(key + L"\\TypeLib"),
        SzLine(key + L"\\TypeLib", L"", kLibId),
    };
    lines.insert(lines.end(), std::begin(table), std::end(table));
}

class ShippedScripts : public Registrar {
protected:
    void SetUp() override
    {
        Registrar::SetUp();
        // Keys of other programs in the shared class store.
        CreateScratchKey(L"Classes\\CLSID\\{00000000-0000-0000-0000-0000000000F0}", L"", L"another class");
        CreateScratchKey(L"Classes\\AppID\\{00000000-0000-0000-0000-0000000000F1}", L"", L"another application");
        m_classes = CreateKey(HKEY_CURRENT_USER, JoinKey(kScratch, L"Classes"));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, m_classes.get()));

        for (int i = 0; i < 3; ++i) {
            const std::string text = ReadScriptFile(kFiles[i]);
            SCOPED_TRACE(std::string(kFiles[i], kFiles[i] + wcslen(kFiles[i])));
            ExpectScriptLayout(text);
            ASSERT_HR(S_OK, RegistrationScriptFromText(text.data(), text.size(), m_scripts[i]));
        }
    }

    void TearDown() override
    {
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr));
        m_classes.reset();
        Registrar::TearDown();
    }

    HRESULT Run(int script, bool registering)
    {
        return RunRegistrationScript(m_scripts[script], ModuleReplacements(kModule, script == kAppIdScript),
                                     registering);
    }

    std::vector<std::wstring> Classes() { return Dump(JoinKey(kScratch, L"Classes")); }

    static std::vector<std::wstring> ForeignKeys()
    {
        return {
            KeyLine(L"CLSID"),
            KeyLine(L"CLSID\\{00000000-0000-0000-0000-0000000000F0}"),
            SzLine(L"CLSID\\{00000000-0000-0000-0000-0000000000F0}", L"", L"another class"),
            KeyLine(L"AppID"),
            KeyLine(L"AppID\\{00000000-0000-0000-0000-0000000000F1}"),
            SzLine(L"AppID\\{00000000-0000-0000-0000-0000000000F1}", L"", L"another application"),
        };
    }

    static std::vector<std::wstring> AppIdTable()
    {
        const std::wstring key = std::wstring(L"AppID\\") + kAppId;
        return {
            KeyLine(key),
            SzLine(key, L"", L"Tallyfold"),
            KeyLine(L"AppID\\Tallyfold.DLL"),
            SzLine(L"AppID\\Tallyfold.DLL", L"AppID", kAppId),
        };
    }

    static constexpr int kAppIdScript = 0;
    static constexpr int kControlScript = 1;
    static constexpr int kResultScript = 2;
    static constexpr const wchar_t* kFiles[3] = {L"AppID.rgs", L"CLCGetXmlQR.rgs", L"CLCGetXmlResultQR.rgs"};
    // A path with an apostrophe, which the module passes with it doubled.
    static constexpr const wchar_t* kModule = L"C:\\Program Files\\O'Neil Tools\\Tallyfold.dll";

    unique_hkey m_classes;
    std::wstring m_scripts[3];
};

TEST_F(ShippedScripts, WriteExactlyTheirTablesAndRemoveOnlyTheirOwnKeys)
{
    for (int script : {kAppIdScript, kControlScript, kResultScript})
        ASSERT_HR(S_OK, Run(script, true)) << "script " << script;

    std::vector<std::wstring> registered = ForeignKeys();
    const std::vector<std::wstring> appId = AppIdTable();
    registered.insert(registered.end(), appId.begin(), appId.end());
    AppendClassTable(registered, L"CLCGetXmlQR", kControlClsid, kModule);
    AppendClassTable(registered, L"CLCGetXmlResultQR", kResultClsid, kModule);
    registered = Sorted(registered);
    EXPECT_EQ(registered, Classes());

    // Registering again starts the class keys afresh.
    const std::wstring controlKey = std::wstring(L"Classes\\CLSID\\") + kControlClsid;
    CreateScratchKey(controlKey, L"Stray", L"stray value");
    CreateScratchKey(controlKey + L"\\Programmable\\Stray");
    CreateScratchKey(controlKey + L"\\Stray\\Deeper");
    for (int script : {kAppIdScript, kControlScript, kResultScript})
        ASSERT_HR(S_OK, Run(script, true)) << "script " << script;
    EXPECT_EQ(registered, Classes());

    // Another program's subkey keeps the result class key, and only it, in place.
    const std::wstring resultKey = std::wstring(L"CLSID\\") + kResultClsid;
    CreateScratchKey(L"Classes\\" + resultKey + L"\\Foreign", L"", L"another program's");
    for (int script : {kControlScript, kResultScript, kAppIdScript})
        EXPECT_HR(S_OK, Run(script, false)) << "script " << script;
    std::vector<std::wstring> removed = ForeignKeys();
    removed.push_back(KeyLine(resultKey));
    removed.push_back(SzLine(resultKey, L"", L"CLCGetXmlResultQR Class"));
    removed.push_back(KeyLine(resultKey + L"\\Foreign"));
    removed.push_back(SzLine(resultKey + L"\\Foreign", L"", L"another program's"));
    EXPECT_EQ(Sorted(removed), Classes());
}

// The installer package's rows are made from the listing: it must name exactly what
// registering writes.
TEST_F(ShippedScripts, RegisteringWritesExactlyWhatTheListingNames)
{
    std::vector<std::wstring> listed = ForeignKeys();
    for (int script : {kAppIdScript, kControlScript, kResultScript}) {
        std::vector<RegistrarEntry> entries;
        ASSERT_HR(S_OK, ListRegistrationScript(m_scripts[script], ModuleReplacements(kModule, script == kAppIdScript),
                                               entries));
        for (const RegistrarEntry& entry : entries) {
            EXPECT_EQ(HKEY_CLASSES_ROOT, entry.root);
            listed.push_back(DumpLine(entry));
        }
        ASSERT_HR(S_OK, Run(script, true)) << "script " << script;
    }
    listed = Sorted(listed);
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    EXPECT_EQ(listed, Classes());
}

TEST_F(ShippedScripts, ClassScriptFailingPartWayLeavesNoneOfItsKeys)
{
    ASSERT_HR(S_OK, Run(kAppIdScript, true));
    DenyWrites(L"Classes\\CLSID");

    // The ProgID keys are written before CLSID refuses the class key; the undo takes them back.
    EXPECT_HR(kAccessDenied, Run(kControlScript, true));
    std::vector<std::wstring> expected = ForeignKeys();
    const std::vector<std::wstring> appId = AppIdTable();
    expected.insert(expected.end(), appId.begin(), appId.end());
    EXPECT_EQ(Sorted(expected), Classes());
}

} // namespace
