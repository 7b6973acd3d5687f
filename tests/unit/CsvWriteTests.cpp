// CsvWrite called through the vtable: with null strings, which script cannot pass (a null
// text is no text at all, unlike an empty one, and must not create the file, while a path
// that is refused is reported before the text is looked at), and on a file that someone
// else has open while sharing it fully. And the writer itself, whose flush or close fails.
#include "CLCQRCsvWrite.h"
#include "TestSupport.h"

#include <string>
#include <vector>

using namespace tftest;

namespace {

enum class PathKind { UnderFolder, AsIs, Null };

struct NullCase {
    const char* name;
    PathKind kind;
    const wchar_t* file;  // the path, under the test folder or as it is
    const wchar_t* text;  // null: a null text
    const wchar_t* result;
    const wchar_t* code;
    bool created;         // a file lies at the path afterwards
};

const NullCase kCases[] = {
    {"null text, good path", PathKind::UnderFolder, L"nulltext.csv", nullptr, L"E_FAIL", L"QR10003E", false},
    {"null text, missing folder", PathKind::UnderFolder, L"missing\\nulltext.csv", nullptr, L"E_FAIL", L"QR10003E", false},
    {"null text, refused extension", PathKind::UnderFolder, L"nulltext.txt", nullptr, L"E_FAIL", L"QR10007E", false},
    {"null text, blank path", PathKind::AsIs, L" \t", nullptr, L"E_FAIL", L"QR10006E", false},
    {"null path", PathKind::Null, nullptr, L"a,b", L"E_FAIL", L"QR10006E", false},
    {"null path, null text", PathKind::Null, nullptr, nullptr, L"E_FAIL", L"QR10006E", false},
    {"empty text, good path", PathKind::UnderFolder, L"emptytext.csv", L"", L"S_OK", L"", true},
};

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class CsvWriteTests : public ComTest {};

// The result word and code that a call handed back, releasing the hand-off reference.
void ExpectOutcome(IDispatch* out, const wchar_t* word, const wchar_t* code)
{
    ASSERT_NE(nullptr, out);
    com_ptr<IDispatch> handedOff = com_ptr<IDispatch>::attach(out);
    com_ptr<CLIGetXmlResultQR> result;
    ASSERT_HR(S_OK, handedOff.query(IID_CLIGetXmlResultQR, result));
    EXPECT_EQ(std::wstring(word), ReadProperty(result.get(), &CLIGetXmlResultQR::get_Result));
    EXPECT_EQ(std::wstring(code), ReadProperty(result.get(), &CLIGetXmlResultQR::get_DetailErrorInfo));
}

TEST_F(CsvWriteTests, NullStrings)
{
    TallyfoldDll dll;
    ASSERT_TRUE(dll.Loaded());
    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    const TempFolder fixture(L"tallyfold-csv-", L"nulls");
    const std::wstring& folder = fixture.Path();

    for (const NullCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const bool underFolder = c.kind == PathKind::UnderFolder;
        const std::wstring path = underFolder ? folder + L"\\" + c.file : std::wstring(c.file ? c.file : L"");
        if (underFolder)
            ::DeleteFileW(path.c_str());
        unique_bstr bstrPath(c.kind == PathKind::Null ? nullptr : ::SysAllocString(path.c_str()));
        unique_bstr bstrText(c.text ? ::SysAllocString(c.text) : nullptr);
        IDispatch* const sentinel = reinterpret_cast<IDispatch*>(static_cast<INT_PTR>(0x0badf00d));
        IDispatch* out = sentinel;

        ASSERT_HR(S_OK, control->CsvWrite(bstrPath.get(), bstrText.get(), &out));
        ASSERT_NE(sentinel, out);
        ExpectOutcome(out, c.result, c.code);
        if (underFolder) {
            EXPECT_EQ(c.created, Exists(path)) << "file at the path afterwards";
            ::DeleteFileW(path.c_str());
        }
    }
    EXPECT_FALSE(Exists(folder + L"\\missing")) << "nothing created for the missing folder";
}

// The writer shares nothing while it has the file open, so even a reader that shares
// everything keeps it from writing; the file keeps its bytes.
TEST_F(CsvWriteTests, FileOpenElsewhereWithFullSharing)
{
    TallyfoldDll dll;
    ASSERT_TRUE(dll.Loaded());
    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    const TempFolder fixture(L"tallyfold-csv-", L"shared");
    const std::wstring& folder = fixture.Path();
    const std::wstring path = folder + L"\\shared.csv";
    {
        tallyfold::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(static_cast<bool>(file));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), "old", 3, &written, nullptr));
    }
    {
        tallyfold::unique_file reader(::CreateFileW(path.c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(static_cast<bool>(reader));
        unique_bstr bstrPath = Bstr(path.c_str());
        unique_bstr bstrText = Bstr(L"new");
        IDispatch* out = nullptr;
        ASSERT_HR(S_OK, control->CsvWrite(bstrPath.get(), bstrText.get(), &out));
        ExpectOutcome(out, L"E_FAIL", L"QR10003E");

        char bytes[8] = {};
        DWORD read = 0;
        ASSERT_TRUE(::ReadFile(reader.get(), bytes, sizeof bytes, &read, nullptr));
        EXPECT_EQ(std::string("old"), std::string(bytes, read));
    }
    ::DeleteFileW(path.c_str());
}

// Stand-ins for the calls after the write: each records itself, makes the real call and, when
// told to, fails as a network share or a volume filled meanwhile makes it fail: the data went
// into the cache, but could not be written out of it.
struct AfterWrite {
    std::vector<std::string> calls;
    bool flushFails = false;
    bool closeFails = false;
};
AfterWrite g_afterWrite;

// The real call's answer, or a failure with this error when the case asks for one.
BOOL Answer(BOOL real, bool fails, DWORD error)
{
    if (!fails)
        return real;
    ::SetLastError(error);
    return FALSE;
}

BOOL WINAPI FlushStandIn(HANDLE file)
{
    g_afterWrite.calls.push_back("flush");
    return Answer(::FlushFileBuffers(file), g_afterWrite.flushFails, ERROR_DISK_FULL);
}

BOOL WINAPI CloseStandIn(HANDLE file)
{
    g_afterWrite.calls.push_back("close");
    return Answer(::CloseHandle(file), g_afterWrite.closeFails, ERROR_NETNAME_DELETED);
}

// The CSV is reported written only once the flush and the close have said so: either failing
// is a failed write, "QR10010E", like a failed WriteFile. The platform here never fails a
// flush or a close of a disk file, so stand-ins do, inside the writer's own code.
TEST_F(CsvWriteTests, WrittenOnlyOnceFlushedAndClosed)
{
    TallyfoldDll dll;
    ASSERT_TRUE(dll.Loaded());
    const TempFolder fixture(L"tallyfold-csv-", L"kept");
    const std::wstring& folder = fixture.Path();
    const std::wstring path = folder + L"\\kept.csv";
    const std::string bytes = "a,b\r\n1,2\r\n";
    struct Case {
        const char* name;
        bool flushFails;
        bool closeFails;
        const wchar_t* result;
        const wchar_t* code;
    };
    const Case cases[] = {
        {"flushed and closed", false, false, L"S_OK", L""},
        {"flush fails", true, false, L"E_FAIL", L"QR10010E"},
        {"close fails", false, true, L"E_FAIL", L"QR10010E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        com_ptr<CLIGetXmlResultQR> result;
        ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result));
        g_afterWrite = AfterWrite{{}, c.flushFails, c.closeFails};
        {
            tallyfold::CLCQRCsvWrite worker(result.get(), {FlushStandIn, CloseStandIn, ::FindNextFileW});
            worker.WriteFileData(path.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()));
        }
        // The worker's hand-off reference goes with the check.
        ExpectOutcome(result.get(), c.result, c.code);
        EXPECT_EQ((std::vector<std::string>{"flush", "close"}), g_afterWrite.calls);

        // The handle is closed on every path: the file opens without sharing, and the bytes
        // reached it.
        tallyfold::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(static_cast<bool>(file)) << "the writer's handle is still open: " << ::GetLastError();
        char read[32] = {};
        DWORD got = 0;
        ASSERT_TRUE(::ReadFile(file.get(), read, sizeof read, &got, nullptr));
        EXPECT_EQ(bytes, std::string(read, got));
        file.reset();
        ::DeleteFileW(path.c_str());
    }
}

} // namespace
