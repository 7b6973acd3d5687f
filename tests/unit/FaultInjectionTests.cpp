// Task memory failing under the component, through the DLL under test. For every allocation
// that a call reaches, a trial makes exactly that one allocation fail: the call must still
// return S_OK with the control's one result object and exactly one added reference; the page
// must read either the call's usual outcome, or that outcome with one property null (a put
// whose own copy failed: the component does not examine what its puts return), or "E_FAIL"
// with "QR10003E"; and once every object is released no block allocated during the call may
// be left and the DLL may unload.
// Also files that change between the folder listing and the read, and a folder of ten
// thousand entries. The test runs with OANOCACHE set, so that every string really allocates.
#include "MallocSpy.h"
#include "TestSupport.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace tftest;

namespace {

// Registered for the whole process before anything is allocated.
const auto* const kSpyEnvironment = ::testing::AddGlobalTestEnvironment(new MallocSpyEnvironment);

// How ReadProperty shows a null string.
const wchar_t kNull[] = L"<null>";

// A fixture folder that can also read its files back and list the reader's candidates.
class Folder : public TempFolder {
public:
    explicit Folder(const wchar_t* name) : TempFolder(L"tallyfold-fault-", name) {}

    // The bytes of a file; false when there is none to open.
    bool Read(const std::wstring& name, std::string& bytes) const
    {
        bytes.clear();
        tallyfold::unique_file file(::CreateFileW(Of(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file)
            return false;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        return true;
    }

    // The candidates as the platform lists them for "*.xml": names ending in .xml whose only
    // attribute is the archive attribute, in listing order.
    std::vector<std::wstring> ListedCandidates() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry;
        tallyfold::unique_find search(::FindFirstFileW(Of(L"*.xml").c_str(), &entry));
        if (!search)
            return names;
        do {
            const std::wstring name = entry.cFileName;
            if (entry.dwFileAttributes == FILE_ATTRIBUTE_ARCHIVE && name.size() > 4 &&
                ::CompareStringOrdinal(name.c_str() + name.size() - 4, -1, L".xml", -1, TRUE) == CSTR_EQUAL)
                names.push_back(name);
        } while (::FindNextFileW(search.get(), &entry));
        return names;
    }
};

constexpr size_t kResult = 0, kDetail = 1, kFileName = 3, kFileData = 4, kDataNum = 5;

using Props = std::array<std::wstring, 6>;
using Entry = std::pair<std::wstring, std::wstring>; // name, contents
using Store = std::vector<Entry>;

std::wstring Escaped(const std::wstring& text)
{
    std::wstring shown;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            shown += c;
        } else {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            shown += escape;
        }
    }
    return shown;
}

std::string Show(const std::wstring& text)
{
    const std::wstring shown = Escaped(text);
    return std::string(shown.begin(), shown.end());
}

std::string Show(const Props& props)
{
    std::string text;
    for (size_t i = 0; i < props.size(); ++i)
        text += Show(kResultProperties[i].name) + "=" + Show(props[i]) + " ";
    return text;
}

std::string Show(const Store& store)
{
    std::string text = "[";
    for (const Entry& e : store)
        text += " " + Show(e.first) + ":" + std::to_string(e.second.size());
    return text + " ]";
}

Props ReadAll(CLIGetXmlResultQR* result)
{
    Props props;
    for (size_t i = 0; i < props.size(); ++i)
        props[i] = ReadProperty(result, kResultProperties[i].get);
    return props;
}

// The store as GetXmlData hands it out: 1, 2, ... until an index gives no "S_OK".
Store Stored(CLIGetXmlQR* control)
{
    Store store;
    for (LONG i = 1; i < 100; ++i) {
        com_ptr<IDispatch> out;
        if (control->GetXmlData(i, out.put()) != S_OK)
            break;
        com_ptr<CLIGetXmlResultQR> result;
        if (FAILED(out.query(IID_CLIGetXmlResultQR, result)) || ReadProperty(result.get(), kResultProperties[kResult].get) != L"S_OK")
            break;
        store.emplace_back(ReadProperty(result.get(), kResultProperties[kFileName].get), ReadProperty(result.get(), kResultProperties[kFileData].get));
    }
    return store;
}

bool IsPrefix(const Store& part, const Store& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

ULONG References(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

unique_bstr BstrOf(const std::wstring& text)
{
    return unique_bstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// How a trial ended, as the page sees it.
enum class Ending {
    Usual,        // every property and the store as without any failure
    PropertyLost, // as usual, but one property reads null: its put could not copy the text
    Unexpected,   // "E_FAIL" with "QR10003E"
};

// A call under test: what makes the state it needs (without failures), the call, and what the
// page must see after it when nothing fails.
struct MethodCase {
    const char* name;
    std::function<void(CLIGetXmlQR*)> prepare;
    std::function<HRESULT(CLIGetXmlQR*, IDispatch**)> call;
    Props expected;
    Store expectedStore;
    Store storeBefore; // what prepare leaves in the store
    // CsvWrite: the file the call writes, the bytes it must hold, and whether the call may
    // create it at all.
    std::wstring csvFile;
    std::string csvBytes;
    bool csvMayWrite = false;
};

class FaultTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_TRUE(dll.Loaded()) << "cannot load the DLL or find its four exports by name";
    }

    struct Tally {
        unsigned usual = 0, unexpected = 0;
        std::vector<std::string> lost;  // "property@n"
        std::vector<std::string> stale; // "property@n": still the value from before the call
    };

    // One trial of c with the failAt-th allocation of the call failing (0: none). Returns how
    // many allocations the call asked for.
    unsigned Trial(const MethodCase& c, const Folder* csvFolder, unsigned failAt, Tally& tally)
    {
        SCOPED_TRACE(::testing::Message() << c.name << ", allocation " << failAt << " fails");
        MallocSpy& spy = MallocSpy::Instance();
        com_ptr<CLIGetXmlQR> control;
        EXPECT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
        if (!control)
            return 0;
        // The result object exists before the call, so that the call's outcome can be seen.
        IDispatch* object = nullptr;
        {
            com_ptr<IDispatch> first;
            EXPECT_HR(S_OK, control->ClearXmlData(first.put()));
            object = first.get();
        }
        if (!object)
            return 0;
        c.prepare(control.get());
        // What the page could read before the call.
        Props before;
        {
            com_ptr<CLIGetXmlResultQR> result;
            EXPECT_HR(S_OK, object->QueryInterface(IID_CLIGetXmlResultQR, result.put_void()));
            if (result)
                before = ReadAll(result.get());
        }
        if (csvFolder)
            ::DeleteFileW(csvFolder->Of(c.csvFile).c_str());

        IDispatch* const sentinel = reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(0xdeadbeef));
        IDispatch* out = sentinel;
        spy.Arm(failAt);
        const HRESULT hr = c.call(control.get(), &out);
        spy.Disarm();
        const unsigned reached = spy.Reached();
        const SIZE_T failedSize = spy.FailedSize();

        EXPECT_HR(S_OK, hr);
        EXPECT_EQ(object, out) << "the control's one result object is handed back";
        if (hr != S_OK || out != object)
            return reached;
        com_ptr<IDispatch> handed = com_ptr<IDispatch>::attach(out);
        EXPECT_EQ(2u, References(out)) << "the control's reference and the one handed out";

        Props props;
        {
            com_ptr<CLIGetXmlResultQR> result;
            EXPECT_HR(S_OK, handed.query(IID_CLIGetXmlResultQR, result));
            if (result)
                props = ReadAll(result.get());
        }
        const Store store = Stored(control.get());

        Ending ending;
        size_t lost = props.size();
        if (props == c.expected && store == c.expectedStore) {
            ending = Ending::Usual;
        } else if (props[kResult] == L"E_FAIL" && props[kDetail] == L"QR10003E") {
            ending = Ending::Unexpected;
            // Properties put before the failure keep their values. The frame clears the
            // properties one by one; those it had not reached when the failure came still hold
            // what the page read before the call, and the one whose clearing failed reads null
            // (an empty string to the page).
            for (size_t i = 2; i < props.size(); ++i) {
                EXPECT_TRUE(props[i].empty() || props[i] == kNull || props[i] == c.expected[i] || props[i] == before[i])
                    << Show(kResultProperties[i].name) << " reads " << Show(props[i]);
                if (!props[i].empty() && props[i] != kNull && props[i] != c.expected[i])
                    tally.stale.push_back(Show(kResultProperties[i].name) + "@" + std::to_string(failAt));
            }
            // Files stored before the failure stay; a store emptied before it stays empty.
            EXPECT_TRUE(IsPrefix(store, c.expectedStore) || store == c.storeBefore) << "store " << Show(store);
        } else {
            ending = Ending::PropertyLost;
            size_t differing = 0;
            for (size_t i = 0; i < props.size(); ++i) {
                if (props[i] != c.expected[i]) {
                    ++differing;
                    lost = i;
                }
            }
            EXPECT_EQ(1u, differing) << "one put that could not copy its text loses one property";
            EXPECT_EQ(kNull, props[lost]) << "a put that fails leaves the property null";
            EXPECT_EQ(c.expectedStore, store) << "store " << Show(store);
        }
        if (failAt == 0) {
            EXPECT_EQ(Ending::Usual, ending) << Show(props) << "store " << Show(store);
        }
        if (::testing::Test::HasFailure())
            std::printf("  %s, allocation %u (%lu bytes) fails: %s store %s\n", c.name, failAt,
                        static_cast<unsigned long>(failedSize), Show(props).c_str(), Show(store).c_str());

        if (csvFolder) {
            std::string bytes;
            const bool exists = csvFolder->Read(c.csvFile, bytes);
            if (!c.csvMayWrite) {
                EXPECT_FALSE(exists) << "a file appeared for a refused path";
            } else if (ending == Ending::Unexpected) {
                // The failure may come after the file was written, in reporting "S_OK".
                EXPECT_TRUE(!exists || bytes == c.csvBytes) << "file holds " << bytes;
            } else {
                EXPECT_TRUE(exists && bytes == c.csvBytes) << "file holds " << bytes;
            }
            ::DeleteFileW(csvFolder->Of(c.csvFile).c_str());
        }

        if (failAt != 0) {
            if (ending == Ending::Usual)
                ++tally.usual;
            else if (ending == Ending::Unexpected)
                ++tally.unexpected;
            else
                tally.lost.push_back(Show(kResultProperties[lost].name) + "@" + std::to_string(failAt));
        }

        handed.reset();
        control.reset();
        EXPECT_EQ(0u, spy.Outstanding()) << "blocks allocated during the call are still allocated after the release";
        spy.ForgetOutstanding();
        EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "an object or a reference is left";
        return reached;
    }

    // Fails each allocation that the call reaches in turn, until a trial no longer reaches it.
    Tally EveryFailure(const MethodCase& c, const Folder* csvFolder = nullptr)
    {
        Tally tally;
        const unsigned usual = Trial(c, csvFolder, 0, tally);
        EXPECT_GT(usual, 0u) << c.name << ": the call allocates nothing, so nothing was tried";
        for (unsigned n = 1; n < 10000 && !::testing::Test::HasFailure(); ++n) {
            if (Trial(c, csvFolder, n, tally) < n)
                break;
        }
        std::string lost, stale;
        for (const std::string& l : tally.lost)
            lost += " " + l;
        for (const std::string& l : tally.stale)
            stale += " " + l;
        std::printf("%s: %u allocations without failures; %u failures ended as usual, %u as \"E_FAIL\" "
                    "\"QR10003E\" (stale:%s), %u lost a property:%s\n",
                    c.name, usual, tally.usual, tally.unexpected, stale.c_str(),
                    static_cast<unsigned>(tally.lost.size()), lost.c_str());
        return tally;
    }

    TallyfoldDll dll;
};

std::string Utf8(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

HRESULT Read(CLIGetXmlQR* control, const std::wstring& folder, LONG maximum, IDispatch** out)
{
    unique_bstr path = BstrOf(folder);
    return control->ReadXmlData(path.get(), maximum, out);
}

// A call made only for the state it leaves: its hand-off reference is dropped at once.
void ReadAndDrop(CLIGetXmlQR* control, const std::wstring& folder)
{
    com_ptr<IDispatch> out;
    Read(control, folder, 5, out.put());
}

} // namespace

// ReadXmlData of three files, and of a folder whose third file is empty ("QR10001E" with the
// file's name). A failure in the reader's own buffers, in a string it makes for a put or
// inside a put of the result object is reported as "E_FAIL" / "QR10003E" with the files
// before it stored: no property is ever lost beside a word that says the call worked.
TEST_F(FaultTest, ReadXmlData)
{
    Folder good(L"read-good"), empty(L"read-empty");
    const std::wstring texts[] = {L"<a>1</a>", L"<b>\u8a3c\u660e\u66f8</b>", L"<c>3</c>"};
    const wchar_t* names[] = {L"a.xml", L"b.xml", L"c.xml"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(good.Write(names[i], Utf8(texts[i])));
        ASSERT_TRUE(empty.Write(names[i], i == 2 ? std::string() : Utf8(texts[i])));
    }
    auto storeOf = [&](const Folder& folder, bool stopAtEmpty) {
        Store store;
        for (const std::wstring& name : folder.ListedCandidates()) {
            const size_t i = static_cast<size_t>(name[0] - L'a');
            if (stopAtEmpty && i == 2)
                break;
            store.emplace_back(name, texts[i]);
        }
        return store;
    };
    const Store goodStore = storeOf(good, false);
    const Store emptyStore = storeOf(empty, true);
    ASSERT_EQ(3u, goodStore.size());

    // Blanks around the path make the trimming allocate as the page's paths do.
    // The arguments exist before any failure is armed: only the call's own allocations fail.
    const unique_bstr goodPath = BstrOf(L" " + good.Path() + L"\t"), emptyPath = BstrOf(empty.Path());
    const MethodCase cases[] = {
        {"ReadXmlData of three files",
         [&](CLIGetXmlQR* c) { ReadAndDrop(c, empty.Path()); },
         [&](CLIGetXmlQR* c, IDispatch** out) { return c->ReadXmlData(goodPath.get(), 5, out); },
         {L"S_OK", L"", L"", L"", L"", L"3"}, goodStore, emptyStore},
        {"ReadXmlData whose third file is empty",
         [&](CLIGetXmlQR* c) { ReadAndDrop(c, good.Path()); },
         [&](CLIGetXmlQR* c, IDispatch** out) { return c->ReadXmlData(emptyPath.get(), 5, out); },
         {L"E_FAIL", L"QR10001E", L"", L"c.xml", L"", L""}, emptyStore, goodStore},
    };
    for (const MethodCase& c : cases) {
        const Tally tally = EveryFailure(c);
        EXPECT_GT(tally.unexpected, 0u) << c.name << ": no failure reached the reader's own allocations";
        EXPECT_TRUE(tally.lost.empty()) << c.name << ": a put that could not keep its text left the property empty";
    }
}

// GetXmlData of a stored file and of an index out of range, and ClearXmlData: the store is
// untouched by GetXmlData whatever fails; ClearXmlData that fails before it empties the store
// leaves it whole, and says so with "E_FAIL".
TEST_F(FaultTest, GetXmlDataAndClearXmlData)
{
    Folder folder(L"get");
    ASSERT_TRUE(folder.Write(L"a.xml", "<a>one</a>"));
    ASSERT_TRUE(folder.Write(L"b.xml", "<b>two</b>"));
    Store store;
    for (const std::wstring& name : folder.ListedCandidates())
        store.emplace_back(name, name == L"a.xml" ? L"<a>one</a>" : L"<b>two</b>");
    ASSERT_EQ(2u, store.size());
    auto fill = [&](CLIGetXmlQR* c) { ReadAndDrop(c, folder.Path()); };
    const MethodCase cases[] = {
        {"GetXmlData of the second file", fill,
         [](CLIGetXmlQR* c, IDispatch** out) { return c->GetXmlData(2, out); },
         {L"S_OK", L"", L"", store[1].first, store[1].second, L""}, store, store},
        {"GetXmlData out of range", fill, [](CLIGetXmlQR* c, IDispatch** out) { return c->GetXmlData(3, out); },
         {L"S_FALSE", L"", L"", L"", L"", L""}, store, store},
        {"ClearXmlData", fill, [](CLIGetXmlQR* c, IDispatch** out) { return c->ClearXmlData(out); },
         {L"S_OK", L"", L"", L"", L"", L"2"}, {}, store},
    };
    for (const MethodCase& c : cases) {
        const Tally tally = EveryFailure(c);
        EXPECT_GT(tally.unexpected + tally.lost.size(), 0u) << c.name;
    }
}

// CsvWrite of a good path and of a refused extension. A failure that comes after the file is
// written (in reporting "S_OK") leaves the file and reports "E_FAIL" / "QR10003E"; a refused
// path never gets a file, whatever fails.
TEST_F(FaultTest, CsvWrite)
{
    Folder folder(L"csv");
    const std::wstring text = L"\u65e5\u4ed8,\u4ef6\u6570\r\n2026-01-05,3\r\n";
    // The text in the ANSI code page, as the platform converts it.
    std::string ansi(64, '\0');
    ansi.resize(static_cast<size_t>(::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                          &ansi[0], 64, nullptr, nullptr)));
    ASSERT_FALSE(ansi.empty());
    const unique_bstr good = BstrOf(L" " + folder.Of(L"out.csv") + L" "), refused = BstrOf(folder.Of(L"out.txt")),
                      data = BstrOf(text);
    auto nothing = [](CLIGetXmlQR*) {};
    MethodCase written{"CsvWrite of a good path", nothing,
                       [&](CLIGetXmlQR* c, IDispatch** out) { return c->CsvWrite(good.get(), data.get(), out); },
                       {L"S_OK", L"", L"", L"", L"", L""}, {}, {}};
    written.csvFile = L"out.csv";
    written.csvBytes = ansi;
    written.csvMayWrite = true;
    MethodCase refusedCase{"CsvWrite of a refused extension", nothing,
                           [&](CLIGetXmlQR* c, IDispatch** out) { return c->CsvWrite(refused.get(), data.get(), out); },
                           {L"E_FAIL", L"QR10007E", L"", L"", L"", L""}, {}, {}};
    refusedCase.csvFile = L"out.txt";
    for (const MethodCase* c : {&written, &refusedCase}) {
        const Tally tally = EveryFailure(*c, &folder);
        EXPECT_GT(tally.unexpected, 0u) << c->name;
    }
}

// The first call of a fresh control creates its result object through the COM runtime. A
// failure there ends the call with E_FAIL and an untouched out-pointer; the next call tries
// again. Any other failure ends like the failures above.
TEST_F(FaultTest, FirstCallCreatesTheResultObject)
{
    MallocSpy& spy = MallocSpy::Instance();
    unsigned refused = 0;
    for (unsigned n = 1; n < 10000 && !HasFailure(); ++n) {
        SCOPED_TRACE(::testing::Message() << "allocation " << n << " fails");
        com_ptr<CLIGetXmlQR> control;
        ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
        IDispatch* const sentinel = reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(0xdeadbeef));
        IDispatch* out = sentinel;
        spy.Arm(n);
        const HRESULT hr = control->ClearXmlData(&out);
        spy.Disarm();
        const bool reached = spy.Reached() >= n;
        com_ptr<IDispatch> handed;
        if (hr == E_FAIL) {
            ++refused;
            EXPECT_EQ(sentinel, out) << "nothing is handed out when the result object cannot be made";
        } else {
            ASSERT_HR(S_OK, hr);
            handed = com_ptr<IDispatch>::attach(out);
            EXPECT_EQ(2u, References(out));
            com_ptr<CLIGetXmlResultQR> result;
            ASSERT_HR(S_OK, handed.query(IID_CLIGetXmlResultQR, result));
            const Props props = ReadAll(result.get());
            // As usual, with at most one string missing (null): one of the fresh object's six, or
            // one put's copy; or the unexpected failure.
            size_t nulls = 0;
            for (const std::wstring& p : props)
                nulls += p == kNull;
            const bool usual = (props[kResult] == L"S_OK" || props[kResult] == kNull) &&
                               (props[kDetail].empty() || props[kDetail] == kNull);
            const bool unexpected = props[kResult] == L"E_FAIL" && props[kDetail] == L"QR10003E";
            EXPECT_TRUE((usual || unexpected) && nulls <= 1) << Show(props);
        }
        // A later call, with nothing failing, works.
        com_ptr<IDispatch> again;
        EXPECT_HR(S_OK, control->ClearXmlData(again.put()));
        if (handed) {
            EXPECT_EQ(handed.get(), again.get()) << "the same result object";
        }
        again.reset();
        handed.reset();
        control.reset();
        EXPECT_EQ(0u, spy.Outstanding());
        spy.ForgetOutstanding();
        EXPECT_HR(S_OK, dll.DllCanUnloadNow());
        if (!reached)
            break;
    }
    std::printf("first call: %u failures refused the call with E_FAIL\n", refused);
}

// The result object's accessors, called directly. A setter that cannot copy returns E_FAIL and
// leaves the property null, its old text already released; a getter that cannot copy returns
// E_FAIL, leaves the out-pointer alone, and the property keeps its text. Each makes one
// allocation at most.
TEST_F(FaultTest, ResultAccessors)
{
    MallocSpy& spy = MallocSpy::Instance();
    BSTR const sentinel = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0xdeadbeef));
    const std::wstring oldText = L"old \u8a3c", newText = L"new \u8a3c\u660e";
    for (const ResultProperty& p : kResultProperties) {
        SCOPED_TRACE(Show(p.name));
        for (unsigned n = 0; n < 3 && !HasFailure(); ++n) {
            SCOPED_TRACE(::testing::Message() << "allocation " << n << " fails");
            com_ptr<CLIGetXmlResultQR> result;
            ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result));
            unique_bstr old = BstrOf(oldText), fresh = BstrOf(newText);
            ASSERT_HR(S_OK, (result.get()->*p.put)(old.get()));

            spy.Arm(n);
            const HRESULT put = (result.get()->*p.put)(fresh.get());
            spy.Disarm();
            const unsigned putReached = spy.Reached();
            EXPECT_HR(n == 1 ? E_FAIL : S_OK, put);
            EXPECT_EQ(n == 1 ? std::wstring(kNull) : newText, ReadProperty(result.get(), p.get));

            // The getter on a property that holds text.
            ASSERT_HR(S_OK, (result.get()->*p.put)(old.get()));
            BSTR value = sentinel;
            spy.Arm(n);
            const HRESULT get = (result.get()->*p.get)(&value);
            spy.Disarm();
            const unsigned getReached = spy.Reached();
            unique_bstr got(value != sentinel ? value : nullptr);
            EXPECT_HR(n == 1 ? E_FAIL : S_OK, get);
            if (n == 1) {
                EXPECT_EQ(sentinel, value) << "nothing is stored where the getter was pointed";
            } else {
                EXPECT_EQ(oldText, Str(got.get()));
            }
            EXPECT_EQ(oldText, ReadProperty(result.get(), p.get)) << "the property keeps its text";

            got.reset();
            result.reset();
            EXPECT_EQ(0u, spy.Outstanding());
            spy.ForgetOutstanding();
            EXPECT_HR(S_OK, dll.DllCanUnloadNow());
            if (n == 0) {
                EXPECT_EQ(1u, putReached) << "a put makes one copy";
                EXPECT_EQ(1u, getReached) << "a get makes one copy";
            }
        }
    }
}

namespace {

// Two files of distinct sizes, so that the reader's buffer for each is an allocation of a size
// of its own: when the first of them is read, the other one is changed. The platform has
// already listed both, so the reader works from the size that the listing gave.
class ChangedFile : public FaultTest {
protected:
    static constexpr DWORD kFirstSize = 1000, kSecondSize = 2000;

    struct Run {
        std::wstring changed; // the file that was changed after the listing
        Props props;
        Store store;
    };

    Run ReadWhileChanging(Folder& folder, const std::function<void(const std::wstring&)>& change)
    {
        Run run;
        EXPECT_TRUE(folder.Write(L"x.xml", std::string(kFirstSize, 'x')));
        EXPECT_TRUE(folder.Write(L"y.xml", std::string(kSecondSize, 'y')));
        com_ptr<CLIGetXmlQR> control;
        EXPECT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
        if (!control)
            return run;
        MallocSpy& spy = MallocSpy::Instance();
        spy.HookFirst({kFirstSize + 1, kSecondSize + 1}, [&](SIZE_T size) {
            run.changed = size == kFirstSize + 1 ? L"y.xml" : L"x.xml";
            change(folder.Of(run.changed));
        });
        spy.Arm(0);
        com_ptr<IDispatch> out;
        const HRESULT hr = Read(control.get(), folder.Path(), 5, out.put());
        spy.Disarm();
        EXPECT_HR(S_OK, hr);
        EXPECT_FALSE(run.changed.empty()) << "the hook never ran: no buffer of either size was asked for";
        com_ptr<CLIGetXmlResultQR> result;
        if (SUCCEEDED(out.query(IID_CLIGetXmlResultQR, result)))
            run.props = ReadAll(result.get());
        run.store = Stored(control.get());
        return run;
    }

    static std::wstring Text(DWORD size, wchar_t c) { return std::wstring(size, c); }
};

} // namespace

// A file that shrank after the listing gives what it still holds; one that grew is read only
// as far as the listing said.
TEST_F(ChangedFile, ShrankOrGrewAfterTheListing)
{
    {
        Folder folder(L"shrank");
        const Run run = ReadWhileChanging(folder, [](const std::wstring& path) {
            tallyfold::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                      CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(file && ::WriteFile(file.get(), "<short/>", 8, &written, nullptr));
        });
        EXPECT_EQ(L"S_OK", run.props[kResult]);
        EXPECT_EQ(L"2", run.props[kDataNum]);
        ASSERT_EQ(2u, run.store.size());
        const Entry& changed = run.store[1];
        EXPECT_EQ(run.changed, changed.first) << "the changed file is the second one read";
        EXPECT_EQ(L"<short/>", changed.second);
        EXPECT_EQ(run.changed == L"y.xml" ? Text(kFirstSize, L'x') : Text(kSecondSize, L'y'), run.store[0].second);
    }
    {
        Folder folder(L"grew");
        const Run run = ReadWhileChanging(folder, [](const std::wstring& path) {
            tallyfold::unique_file file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
            const std::string more(5000, 'z');
            DWORD written = 0;
            ASSERT_TRUE(file && ::WriteFile(file.get(), more.data(), static_cast<DWORD>(more.size()), &written, nullptr));
        });
        EXPECT_EQ(L"S_OK", run.props[kResult]);
        ASSERT_EQ(2u, run.store.size());
        const DWORD listed = run.changed == L"y.xml" ? kSecondSize : kFirstSize;
        EXPECT_EQ(Text(listed, run.changed == L"y.xml" ? L'y' : L'x'), run.store[1].second)
            << "read only as far as the listing said";
    }
}

// A file deleted after the listing cannot be opened: "E_FAIL" / "QR10003E" without a file name,
// and the file read before it stays stored.
TEST_F(ChangedFile, DeletedAfterTheListing)
{
    Folder folder(L"deleted");
    const Run run = ReadWhileChanging(folder, [](const std::wstring& path) { ASSERT_TRUE(::DeleteFileW(path.c_str())); });
    EXPECT_EQ(L"E_FAIL", run.props[kResult]);
    EXPECT_EQ(L"QR10003E", run.props[kDetail]);
    EXPECT_EQ(L"", run.props[kFileName]);
    EXPECT_EQ(L"", run.props[kDataNum]);
    ASSERT_EQ(1u, run.store.size());
    EXPECT_NE(run.changed, run.store[0].first);
}

// Ten thousand entries that match or nearly match "*.xml" (read-only files, folders, names
// ending in .xmlx or .txt), of which five are candidates: the five are stored in the order of
// the listing, quickly. The folder is made beforehand by fault_entries.sh, outside Wine, where
// making ten thousand files takes a moment rather than minutes.
TEST_F(FaultTest, TenThousandEntriesFewCandidates)
{
    const std::wstring folder = EnvW(L"TALLYFOLD_FAULT_ENTRIES");
    if (folder.empty())
        GTEST_SKIP() << "TALLYFOLD_FAULT_ENTRIES names no folder (made by fault_entries.sh)";
    size_t entries = 0;
    std::vector<std::wstring> listed;
    {
        WIN32_FIND_DATAW entry;
        tallyfold::unique_find search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
        ASSERT_TRUE(search) << "cannot list " << Show(folder);
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            ++entries;
            if (entry.dwFileAttributes == FILE_ATTRIBUTE_ARCHIVE && name.size() > 4 &&
                name.compare(name.size() - 4, 4, L".xml") == 0)
                listed.push_back(name);
        } while (::FindNextFileW(search.get(), &entry));
    }
    ASSERT_EQ(10000u, entries);
    ASSERT_EQ(5u, listed.size()) << "the read-only files and folders are not candidates";

    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    com_ptr<IDispatch> out;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_HR(S_OK, Read(control.get(), folder, 5, out.put()));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("ReadXmlData over %u entries: %.3f s\n", static_cast<unsigned>(entries), seconds);
    EXPECT_LT(seconds, 10.0);
    com_ptr<CLIGetXmlResultQR> result;
    ASSERT_HR(S_OK, out.query(IID_CLIGetXmlResultQR, result));
    const Props props = ReadAll(result.get());
    EXPECT_EQ(L"S_OK", props[kResult]);
    EXPECT_EQ(L"5", props[kDataNum]);
    Store expected;
    for (const std::wstring& name : listed)
        expected.emplace_back(name, L"<c>" + std::to_wstring(std::stoi(name.substr(1, 5))) + L"</c>");
    EXPECT_EQ(expected, Stored(control.get()));

    // One candidate more than allowed: the limit counts candidates only.
    ASSERT_HR(S_OK, Read(control.get(), folder, 4, out.put()));
    ASSERT_HR(S_OK, out.query(IID_CLIGetXmlResultQR, result));
    EXPECT_EQ(L"QR10002E", ReadProperty(result.get(), kResultProperties[kDetail].get));
    EXPECT_EQ(Store(expected.begin(), expected.begin() + 4), Stored(control.get()));
}
