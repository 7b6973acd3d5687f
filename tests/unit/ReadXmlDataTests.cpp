// Reading a folder through the DLL under test, where a script cannot look: the one reference
// that every path of the reader hands out and the lock count left at the end, sizes beyond
// 32 bits, allocation failures, and the trimming of folder paths. And the reader itself, whose
// listing a dropped share cuts short.
#include "CLCQRReadXmlData.h"
#include "MallocSpy.h"
#include "TestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace tftest;

namespace {

const std::uint64_t kGiB = 1024ull * 1024 * 1024;

// A fixture folder that can also hold sparse files of any size.
class Fixture : public TempFolder {
public:
    explicit Fixture(const wchar_t* name) : TempFolder(L"tallyfold-read-", name) {}

    void Write(const wchar_t* name, const std::string& bytes) const
    {
        ASSERT_TRUE(TempFolder::Write(name, bytes)) << "cannot create the fixture file";
    }

    // A file of this size that takes no room on disk.
    void Sized(const wchar_t* name, std::uint64_t size) const
    {
        tallyfold::unique_file file(::CreateFileW(Of(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(size);
        ASSERT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(::SetEndOfFile(file.get()));
    }
};

struct Outcome {
    const wchar_t* result;
    const wchar_t* code;
    const wchar_t* fileName;
    const wchar_t* dataNum;
};

void ExpectOutcome(IDispatch* out, const Outcome& expected)
{
    com_ptr<CLIGetXmlResultQR> result;
    ASSERT_HR(S_OK, out->QueryInterface(IID_CLIGetXmlResultQR, result.put_void()));
    EXPECT_EQ(expected.result, ReadProperty(result.get(), &CLIGetXmlResultQR::get_Result));
    EXPECT_EQ(expected.code, ReadProperty(result.get(), &CLIGetXmlResultQR::get_DetailErrorInfo));
    EXPECT_EQ(expected.fileName, ReadProperty(result.get(), &CLIGetXmlResultQR::get_FileNameStr));
    EXPECT_EQ(expected.dataNum, ReadProperty(result.get(), &CLIGetXmlResultQR::get_DataNum));
}

// The names handed out by GetXmlData 1, 2, ... until it answers "S_FALSE".
std::vector<std::wstring> StoredNames(CLIGetXmlQR* control)
{
    std::vector<std::wstring> names;
    for (LONG i = 1; i < 100; ++i) {
        com_ptr<IDispatch> out;
        if (control->GetXmlData(i, out.put()) != S_OK)
            break;
        com_ptr<CLIGetXmlResultQR> result;
        if (FAILED(out.query(IID_CLIGetXmlResultQR, result)) ||
            ReadProperty(result.get(), &CLIGetXmlResultQR::get_Result) != L"S_OK")
            break;
        names.push_back(ReadProperty(result.get(), &CLIGetXmlResultQR::get_FileNameStr));
    }
    return names;
}

ULONG References(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

class ReadTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_TRUE(dll.Loaded()) << "cannot load the DLL or find its four exports by name";
        ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    }
    void TearDown() override
    {
        control.reset();
        ComTest::TearDown();
    }

    HRESULT Read(const std::wstring& folder, LONG maximum, com_ptr<IDispatch>& out)
    {
        unique_bstr path = Bstr(folder.c_str());
        return control->ReadXmlData(path.get(), maximum, out.put());
    }

    TallyfoldDll dll;
    com_ptr<CLIGetXmlQR> control;
};

} // namespace

// Every way out of the reader, with the pointers the page gets kept: each call adds exactly one
// reference, and once all are released the DLL may unload.
TEST_F(ReadTest, EveryPathHandsOutOneReferenceAndNothingStaysLocked)
{
    Fixture good(L"refs-good"), empty(L"refs-empty"), large(L"refs-large"), skipped(L"refs-skipped"), held(L"refs-held");
    good.Write(L"a.xml", "<a/>");
    good.Write(L"b.xml", "<b/>");
    empty.Write(L"a.xml", "");
    large.Sized(L"a.xml", 20 * 1024 * 1024 + 1);
    ::CreateDirectoryW(skipped.Of(L"data.xml").c_str(), nullptr);
    held.Write(L"a.xml", "<a/>");
    tallyfold::unique_file holder(::CreateFileW(held.Of(L"a.xml").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);

    struct Case {
        const char* name;
        std::wstring folder;
        LONG maximum;
        Outcome expected;
    };
    const Case cases[] = {
        {"two files", good.Path(), 5, {L"S_OK", L"", L"", L"2"}},
        {"count limit", good.Path(), 1, {L"E_FAIL", L"QR10002E", L"", L""}},
        {"empty file", empty.Path(), 5, {L"E_FAIL", L"QR10001E", L"a.xml", L""}},
        {"total size", large.Path(), 5, {L"E_FAIL", L"QR10005E", L"", L""}},
        {"no candidate", skipped.Path(), 5, {L"E_FAIL", L"QR10004E", L"", L""}},
        {"missing folder", good.Of(L"missing"), 5, {L"E_FAIL", L"QR10004E", L"", L""}},
        {"held open", held.Path(), 5, {L"E_FAIL", L"QR10003E", L"", L""}},
        {"two files again", good.Path(), 5, {L"S_OK", L"", L"", L"2"}},
    };
    std::vector<IDispatch*> handedOut;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unique_bstr path = Bstr(c.folder.c_str());
        IDispatch* out = reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(0xdeadbeef));
        ASSERT_HR(S_OK, control->ReadXmlData(path.get(), c.maximum, &out));
        handedOut.push_back(out);
        EXPECT_EQ(handedOut.front(), out) << "the control's one result object";
        // The control's own reference and one for each call so far.
        EXPECT_EQ(1 + handedOut.size(), References(out));
        ExpectOutcome(out, c.expected);
    }
    holder.reset();

    control.reset();
    for (IDispatch* out : handedOut)
        out->Release();
    EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "a reference was handed out twice or an object leaked";
}

// The total is kept in 64 bits: a size that does not fit in 32 bits, or is 2 GiB or more,
// counts in full, whatever its low 32 bits say.
TEST_F(ReadTest, SizesBeyond32BitsCountInFull)
{
    struct Case {
        const char* name;
        std::uint64_t size;
    };
    const Case cases[] = {
        {"2 GiB", 2 * kGiB},
        {"4 GiB (low part 0)", 4 * kGiB},
        {"4 GiB + 1 (low part 1)", 4 * kGiB + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture folder(L"large");
        folder.Write(L"a.xml", "<a/>");
        folder.Sized(L"b.xml", c.size);
        com_ptr<IDispatch> out;
        ASSERT_HR(S_OK, Read(folder.Path(), 5, out));
        ExpectOutcome(out.get(), {L"E_FAIL", L"QR10005E", L"", L""});
        EXPECT_EQ(std::vector<std::wstring>{L"a.xml"}, StoredNames(control.get())) << "the file before stays stored";
    }
}

namespace {

// Registered for the whole process before anything is allocated: strings allocated while it
// watches are freed through it long after.
const auto* const kSpyEnvironment = ::testing::AddGlobalTestEnvironment(new MallocSpyEnvironment);

} // namespace

// No memory for a buffer of the second file: "QR10003E", the first file stays stored, and
// the reader hands out its one reference all the same. The second file's size is one that no
// other allocation of the call asks for.
TEST_F(ReadTest, NoMemoryForAFileBufferKeepsTheFilesBefore)
{
    const DWORD size = 777; // ASCII text: 777 bytes, 777 characters
    struct Case {
        const char* name;
        SIZE_T failing;
    };
    const Case cases[] = {
        {"bytes of the file and a terminator", size + 1},
        {"characters of the text and a terminator", (size + 1) * sizeof(wchar_t)},
    };
    Fixture folder(L"nomemory");
    folder.Write(L"a.xml", "<a/>");
    folder.Write(L"b.xml", std::string(size, 'b'));
    com_ptr<IDispatch> first; // the result object exists before the spy watches
    ASSERT_HR(S_OK, control->ClearXmlData(first.put()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MallocSpy& spy = MallocSpy::Instance();
        spy.ArmForSize(c.failing);
        com_ptr<IDispatch> out;
        const HRESULT hr = Read(folder.Path(), 5, out);
        spy.Disarm();
        ASSERT_HR(S_OK, hr);
        EXPECT_EQ(1u, spy.Failures()) << "the allocation under test was asked for once";
        ExpectOutcome(out.get(), {L"E_FAIL", L"QR10003E", L"", L""});
        EXPECT_EQ(3u, References(out.get())) << "the control's, the first call's and this call's";
        EXPECT_EQ(std::vector<std::wstring>{L"a.xml"}, StoredNames(control.get()));
    }
}

// No memory to trim the folder path: the control reports it like any unexpected failure.
TEST_F(ReadTest, NoMemoryToTrimThePath)
{
    Fixture folder(L"trim");
    folder.Write(L"a.xml", "<a/>");
    // Trailing blanks give the path a length that no other allocation of the call shares.
    std::wstring path = folder.Path();
    size_t length = std::max<size_t>(path.size(), 300);
    if ((length + 1) * sizeof(wchar_t) % 16 == 0)
        ++length;
    path.resize(length, L' ');
    com_ptr<IDispatch> first;
    ASSERT_HR(S_OK, control->ClearXmlData(first.put()));
    MallocSpy& spy = MallocSpy::Instance();
    spy.ArmForSize((path.size() + 1) * sizeof(wchar_t));
    com_ptr<IDispatch> out;
    const HRESULT hr = Read(path, 5, out);
    spy.Disarm();
    ASSERT_HR(S_OK, hr);
    EXPECT_EQ(1u, spy.Failures());
    ExpectOutcome(out.get(), {L"E_FAIL", L"QR10003E", L"", L""});
    EXPECT_EQ(3u, References(out.get()));
}

namespace {

// A listing that the share cuts short: the first g_entriesBeforeCut entries come, then the
// error.
unsigned g_entriesBeforeCut = 0;
DWORD g_cutError = ERROR_SUCCESS;
unsigned g_nextCalls = 0;

class ListingCutShort : public ComTest {};

BOOL WINAPI FindNextCutShort(HANDLE search, LPWIN32_FIND_DATAW entry)
{
    // FindFirstFileW delivered the first entry.
    if (++g_nextCalls >= g_entriesBeforeCut) {
        ::SetLastError(g_cutError);
        return FALSE;
    }
    return ::FindNextFileW(search, entry);
}

} // namespace

// A listing that ends in an error other than "no more files" (a share dropped in the middle of
// it) is no shorter folder but a failure: "E_FAIL" / "QR10003E" whether or not a file was read,
// with the files stored before it kept and no DataNum. The platform here lists a folder whole
// at its first call, so the cut comes from a stand-in, in the reader's own code.
TEST_F(ListingCutShort, ReportsTheReadAsFailed)
{
    TallyfoldDll dll;
    ASSERT_TRUE(dll.Loaded());
    Fixture folder(L"cut");
    // A sub-folder lists first and is no candidate, then the three files.
    ASSERT_TRUE(::CreateDirectoryW(folder.Of(L"0.xml").c_str(), nullptr));
    for (const wchar_t* name : {L"a.xml", L"b.xml", L"c.xml"})
        folder.Write(name, "<" + std::string(name, name + 1) + "/>");
    struct Case {
        const char* name;
        unsigned entries; // delivered before the cut
        DWORD error;
        const wchar_t* result;
        const wchar_t* code;
        const wchar_t* dataNum;
        size_t stored;
    };
    const Case cases[] = {
        {"listed to its end", 100, ERROR_NO_MORE_FILES, L"S_OK", L"", L"3", 3},
        {"cut before any candidate", 1, ERROR_NETNAME_DELETED, L"E_FAIL", L"QR10003E", L"", 0},
        {"cut after one file", 2, ERROR_NETNAME_DELETED, L"E_FAIL", L"QR10003E", L"", 1},
        {"cut after two files", 3, ERROR_UNEXP_NET_ERR, L"E_FAIL", L"QR10003E", L"", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        com_ptr<CLIGetXmlResultQR> result;
        ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result));
        g_entriesBeforeCut = c.entries;
        g_cutError = c.error;
        g_nextCalls = 0;
        tallyfold::XmlDataMap store;
        {
            tallyfold::CLCQRReadXmlData reader(result.get(), {::FlushFileBuffers, ::CloseHandle, FindNextCutShort});
            reader.m_lMaxFileNum = 5;
            reader.ReadXmlData(folder.Path().c_str(), store);
        }
        // The reader's hand-off reference.
        com_ptr<IDispatch> handedOff = com_ptr<IDispatch>::attach(result.get());
        ExpectOutcome(result.get(), {c.result, c.code, L"", c.dataNum});
        ASSERT_EQ(c.stored, store.size());
        std::int32_t key = 1;
        for (const auto& [position, entry] : store) {
            EXPECT_EQ(key++, position);
            const std::wstring& name = entry.fileName;
            EXPECT_EQ(L"<" + name.substr(0, 1) + L"/>", std::wstring(entry.fileData.get())) << "the text of its own file";
        }
    }
}

// TrimWhitespace itself: its seven blanks at either end, nothing inside, nothing else.
TEST(TrimWhitespace, StripsItsSevenBlanksAtEitherEndOnly)
{
    struct Case {
        std::wstring text;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"\u3000 C:\\data \t", L"C:\\data"},
        {L" \u3000\t\r\n\f\v", L""},
        {L"", L""},
        {L"\v\fC:\\a b\u3000c\\\r\n", L"C:\\a b\u3000c\\"},
        {L"\u00a0C:\\data\u00a0", L"\u00a0C:\\data\u00a0"},
        {L"\u2003C:\\data\u200b", L"\u2003C:\\data\u200b"},
        {std::wstring(L" C:\\data\0 tail ", 15), L"C:\\data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(c.expected, tallyfold::TrimWhitespace(c.text.c_str()));
    }
}
