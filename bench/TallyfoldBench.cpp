// The benchmark behind "make bench". Every timed row compares the component with a baseline
// that does the same work with plain platform calls: in every round the two sides run back to
// back, the side that goes first alternating, and the row is judged on the median of the
// rounds' ratios (the machine is shared and noisy; a slow spell then falls on both sides of a
// ratio, and the median passes over the rounds it spoiled).
//
//   tallyfold_bench.exe HANDOUT.js   the whole table (the DLL must be registered)
//   tallyfold_bench.exe first-call   one fresh process: load, type library, first call
//   tallyfold_bench.exe peak FOLDER  one fresh process: memory of one ReadXmlData
//
// The rounds come from TALLYFOLD_BENCH_ROUNDS (default and least 11). Exit code: 0 when every
// target is met, 1 when one is missed, 2 when a measurement could not be made.
#include "Owners.h"
#include "Tallyfold_h.h"

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using tallyfold::com_ptr;
using tallyfold::unique_bstr;
using tallyfold::unique_file;
using tallyfold::unique_find;
using tallyfold::unique_handle;

namespace {

constexpr int kFileCount = 100;
// The reader refuses a total above 20 MiB; the fixture stays just under it.
constexpr DWORD kTotalLimit = 20 * 1024 * 1024;
constexpr DWORD kLargeFileSize = kTotalLimit / kFileCount;
constexpr size_t kCsvBytes = 10 * 1024 * 1024;

struct BenchFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw BenchFailure(text);
}

void CheckHr(HRESULT hr, const char* call)
{
    if (FAILED(hr))
        Fail("%s failed: 0x%08lx", call, static_cast<unsigned long>(hr));
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    return out;
}

// ---------------------------------------------------------------------------------------
// Clock and statistics

double NowMs()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER count;
    ::QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / frequency;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

// Fewer rounds leave a median that one or two spoiled rounds can still move.
constexpr int kLeastRounds = 11;

int Rounds()
{
    wchar_t value[16];
    const DWORD length = ::GetEnvironmentVariableW(L"TALLYFOLD_BENCH_ROUNDS", value, 16);
    const int rounds = length > 0 && length < 16 ? _wtoi(value) : 0;
    return std::max(rounds, kLeastRounds);
}

// One row's ratio in every round: the component's figure over the baseline's.
struct Ratios {
    std::vector<double> values;

    void Add(double component, double baseline) { values.push_back(component / baseline); }
    double Median() const { return ::Median(values); }
    double Min() const { return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end()); }
    double Max() const { return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()); }
};

// Times the two sides of a row back to back, the one that goes first alternating by round, so
// that a slow spell of the machine falls on both; returns their times in milliseconds.
template <typename Component, typename Baseline>
std::pair<double, double> BackToBack(int round, Component component, Baseline baseline)
{
    if (round % 2 == 0) {
        const double first = component();
        return {first, baseline()};
    }
    const double first = baseline();
    return {component(), first};
}

// ---------------------------------------------------------------------------------------
// Fixtures

std::string ToUtf8(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

const wchar_t* const kTitles[] = {L"納税証明書", L"住民票の写し", L"登記事項証明書", L"課税証明書"};
const wchar_t* const kHolders[] = {L"山田 太郎", L"佐藤 花子", L"鈴木 一郎", L"高橋 美咲", L"田中 健太"};

std::wstring CertificateRecord(int file, int record)
{
    wchar_t text[1024];
    std::swprintf(text, 1024,
                  L"  <Certificate>\n"
                  L"    <Number>2026-%03d-%05d</Number>\n"
                  L"    <Title>%ls</Title>\n"
                  L"    <Holder>%ls</Holder>\n"
                  L"    <Address>東京都千代田区霞が関三丁目１番１号　第%d号室</Address>\n"
                  L"    <Note>法人税の納税額を証明します。課税期間は令和七年四月一日から令和八年三月三十一日までです。</Note>\n"
                  L"  </Certificate>\n",
                  file, record, kTitles[(file + record) % 4], kHolders[(file * 7 + record) % 5], record);
    return text;
}

// A UTF-8 XML document of certificate records; with a size, exactly that many bytes (blank
// padding between the elements), else one record.
std::string CertificateXml(int file, size_t size)
{
    std::string xml = ToUtf8(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Certificates>\n");
    const std::string tail = ToUtf8(L"</Certificates>\n");
    for (int record = 1;; ++record) {
        const std::string next = ToUtf8(CertificateRecord(file, record));
        if (size == 0) {
            xml += next;
            break;
        }
        if (xml.size() + next.size() + tail.size() > size)
            break;
        xml += next;
    }
    if (size > xml.size() + tail.size())
        xml.append(size - xml.size() - tail.size(), ' ');
    return xml + tail;
}

// A plain ASCII XML document of exactly `size` bytes: one byte per character, so that its
// decoded text takes twice the bytes of the file.
std::string AsciiXml(size_t size)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Records>\n";
    const std::string tail = "</Records>\n";
    char record[160];
    for (int number = 1;; ++number) {
        const int length = std::snprintf(record, sizeof record,
                                         "  <Record><Number>2026-%07d</Number><Amount>%d</Amount>"
                                         "<Note>certified copy</Note></Record>\n",
                                         number, number * 37 % 100000);
        if (xml.size() + static_cast<size_t>(length) + tail.size() > size)
            break;
        xml.append(record, static_cast<size_t>(length));
    }
    xml.append(size - xml.size() - tail.size(), ' ');
    return xml + tail;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        Fail("CreateFileW(%s) failed: %lu", Narrow(path).c_str(), ::GetLastError());
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        Fail("WriteFile(%s) failed: %lu", Narrow(path).c_str(), ::GetLastError());
}

std::wstring FileNameOf(int file)
{
    wchar_t name[32];
    std::swprintf(name, 32, L"証明書-%03d.xml", file);
    return name;
}

// A folder in the temporary folder that is removed, with everything in it, at the end.
class ScratchFolder {
public:
    ScratchFolder()
    {
        wchar_t temp[MAX_PATH];
        const DWORD length = ::GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH)
            Fail("GetTempPathW failed: %lu", ::GetLastError());
        wchar_t name[64];
        std::swprintf(name, 64, L"tallyfold-bench-%lu", ::GetCurrentProcessId());
        m_path = std::wstring(temp) + name;
        if (!::CreateDirectoryW(m_path.c_str(), nullptr))
            Fail("CreateDirectoryW(%s) failed: %lu", Narrow(m_path).c_str(), ::GetLastError());
    }
    ~ScratchFolder() { Remove(m_path); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::wstring Sub(const wchar_t* name) const
    {
        const std::wstring path = m_path + L"\\" + name;
        if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            Fail("CreateDirectoryW(%s) failed: %lu", Narrow(path).c_str(), ::GetLastError());
        return path;
    }
    const std::wstring& Path() const { return m_path; }

private:
    static void Remove(const std::wstring& folder) noexcept
    {
        WIN32_FIND_DATAW entry;
        unique_find search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
        if (search) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = folder + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(path);
                else
                    ::DeleteFileW(path.c_str());
            } while (::FindNextFileW(search.get(), &entry));
        }
        search.reset();
        ::RemoveDirectoryW(folder.c_str());
    }

    std::wstring m_path;
};

// ---------------------------------------------------------------------------------------
// The component through its interfaces, as a page's host reaches it

using ResultGet = HRESULT (STDMETHODCALLTYPE CLIGetXmlResultQR::*)(BSTR*);

std::wstring Property(CLIGetXmlResultQR* result, ResultGet get)
{
    unique_bstr value;
    CheckHr((result->*get)(value.put()), "result property get");
    return value ? std::wstring(value.get(), ::SysStringLen(value.get())) : std::wstring();
}

// Takes the reference that a method handed out and checks the outcome it reports.
com_ptr<CLIGetXmlResultQR> Outcome(HRESULT hr, IDispatch* handedOut, const char* call, const wchar_t* expected)
{
    com_ptr<IDispatch> dispatch = com_ptr<IDispatch>::attach(handedOut);
    CheckHr(hr, call);
    if (!dispatch)
        Fail("%s handed out no result object", call);
    com_ptr<CLIGetXmlResultQR> result;
    CheckHr(dispatch.query(IID_CLIGetXmlResultQR, result), "QueryInterface(IID_CLIGetXmlResultQR)");
    const std::wstring word = Property(result.get(), &CLIGetXmlResultQR::get_Result);
    if (word != expected)
        Fail("%s: Result %s, DetailErrorInfo %s", call, Narrow(word).c_str(),
             Narrow(Property(result.get(), &CLIGetXmlResultQR::get_DetailErrorInfo)).c_str());
    return result;
}

com_ptr<CLIGetXmlQR> CreateControl()
{
    com_ptr<CLIGetXmlQR> control;
    CheckHr(::CoCreateInstance(CLSID_CLCGetXmlQR, nullptr, CLSCTX_INPROC_SERVER, IID_CLIGetXmlQR, control.put_void()),
            "CoCreateInstance(CLSID_CLCGetXmlQR)");
    return control;
}

void ClearStore(CLIGetXmlQR* control)
{
    IDispatch* out = nullptr;
    const HRESULT hr = control->ClearXmlData(&out);
    Outcome(hr, out, "ClearXmlData", L"S_OK");
}

// Characters of the names and of the texts that the store holds.
struct StoreSize {
    size_t files = 0;
    size_t nameChars = 0;
    size_t textChars = 0;
    size_t Bytes() const { return (nameChars + textChars) * sizeof(wchar_t); }
};

StoreSize MeasureStore(CLIGetXmlQR* control, int count)
{
    StoreSize size;
    for (int i = 1; i <= count; ++i) {
        IDispatch* out = nullptr;
        const HRESULT hr = control->GetXmlData(i, &out);
        com_ptr<CLIGetXmlResultQR> result = Outcome(hr, out, "GetXmlData", L"S_OK");
        size.nameChars += Property(result.get(), &CLIGetXmlResultQR::get_FileNameStr).size();
        size.textChars += Property(result.get(), &CLIGetXmlResultQR::get_FileDataStr).size();
        ++size.files;
    }
    return size;
}

// One timed ReadXmlData through the vtable; the store is emptied again outside the clock.
double TimeComponentRead(CLIGetXmlQR* control, BSTR folder, StoreSize* size = nullptr)
{
    IDispatch* out = nullptr;
    const double start = NowMs();
    const HRESULT hr = control->ReadXmlData(folder, kFileCount, &out);
    const double elapsed = NowMs() - start;
    com_ptr<CLIGetXmlResultQR> result = Outcome(hr, out, "ReadXmlData", L"S_OK");
    const std::wstring count = Property(result.get(), &CLIGetXmlResultQR::get_DataNum);
    if (count != std::to_wstring(kFileCount))
        Fail("ReadXmlData stored %s files, not %d", Narrow(count).c_str(), kFileCount);
    if (size)
        *size = MeasureStore(control, kFileCount);
    ClearStore(control);
    return elapsed;
}

// ---------------------------------------------------------------------------------------
// Baselines: the same work with plain platform calls

struct PlainEntry {
    std::wstring name;
    std::wstring text;
};

// Lists the folder, reads each file whole and decodes it from UTF-8, keeping the names and
// texts as the store does.
void BaselineRead(const std::wstring& folder, std::vector<PlainEntry>& entries)
{
    WIN32_FIND_DATAW entry;
    unique_find search(::FindFirstFileW((folder + L"\\*.xml").c_str(), &entry));
    if (!search)
        Fail("baseline FindFirstFileW failed: %lu", ::GetLastError());
    std::string bytes;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        unique_file file(::CreateFileW((folder + L"\\" + entry.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file)
            Fail("baseline CreateFileW failed: %lu", ::GetLastError());
        bytes.resize(entry.nFileSizeLow);
        DWORD read = 0;
        if (!::ReadFile(file.get(), &bytes[0], entry.nFileSizeLow, &read, nullptr))
            Fail("baseline ReadFile failed: %lu", ::GetLastError());
        file.reset();
        const int count = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(read), nullptr, 0);
        PlainEntry plain{entry.cFileName, std::wstring(static_cast<size_t>(count), L'\0')};
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(read), &plain.text[0], count);
        entries.push_back(std::move(plain));
    } while (::FindNextFileW(search.get(), &entry));
}

double TimeBaselineRead(const std::wstring& folder, StoreSize* size = nullptr)
{
    std::vector<PlainEntry> entries;
    entries.reserve(kFileCount);
    const double start = NowMs();
    BaselineRead(folder, entries);
    const double elapsed = NowMs() - start;
    if (entries.size() != kFileCount)
        Fail("baseline read %u files, not %d", static_cast<unsigned>(entries.size()), kFileCount);
    if (size) {
        *size = StoreSize{};
        for (const PlainEntry& plain : entries) {
            size->nameChars += plain.name.size();
            size->textChars += plain.text.size();
            ++size->files;
        }
    }
    return elapsed;
}

// Converts the text to the ANSI code page, writes it with one WriteFile and flushes it to the
// disk, as CsvWrite does before it reports the file written.
void BaselineWrite(const std::wstring& path, const wchar_t* text, int length)
{
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, length, &bytes[0], size, nullptr, nullptr);
    unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        Fail("baseline CreateFileW failed: %lu", ::GetLastError());
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(size), &written, nullptr))
        Fail("baseline WriteFile failed: %lu", ::GetLastError());
    if (!::FlushFileBuffers(file.get()))
        Fail("baseline FlushFileBuffers failed: %lu", ::GetLastError());
}

ULONGLONG FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        Fail("GetFileAttributesExW(%s) failed: %lu", Narrow(path).c_str(), ::GetLastError());
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// CSV lines of Japanese text whose ANSI form is exactly `bytes` long.
std::wstring CsvText(size_t bytes)
{
    std::wstring text;
    size_t ansi = 0;
    for (int line = 1;; ++line) {
        wchar_t row[256];
        std::swprintf(row, 256, L"証明書-%03d.xml,2026-%03d-%05d,%ls,%ls,2026-12-01,東京都千代田区霞が関三丁目１番１号\r\n",
                      line % 1000, line % 1000, line, kTitles[line % 4], kHolders[line % 5]);
        const int rowBytes = ::WideCharToMultiByte(CP_ACP, 0, row, -1, nullptr, 0, nullptr, nullptr) - 1;
        if (ansi + static_cast<size_t>(rowBytes) > bytes)
            break;
        text += row;
        ansi += static_cast<size_t>(rowBytes);
    }
    text.append(bytes - ansi, L' ');
    return text;
}

// ---------------------------------------------------------------------------------------
// Fresh processes

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        Fail("GetModuleFileNameW failed: %lu", ::GetLastError());
    return path;
}

// Runs a program to its end with its output in a file (a pipe could be held open by a child
// of the child); returns that output.
std::string RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& outputPath)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    {
        unique_file output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output)
            Fail("CreateFileW(%s) failed: %lu", Narrow(outputPath).c_str(), ::GetLastError());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        PROCESS_INFORMATION info = {};
        std::wstring line = L"\"" + program + L"\" " + arguments;
        if (!::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            Fail("CreateProcessW(%s) failed: %lu", Narrow(program).c_str(), ::GetLastError());
        unique_handle process(info.hProcess);
        unique_handle thread(info.hThread);
        output.reset();
        if (::WaitForSingleObject(process.get(), 15 * 60 * 1000) != WAIT_OBJECT_0)
            Fail("%s did not finish", Narrow(program).c_str());
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        if (code != 0)
            Fail("%s %s exited with %lu", Narrow(program).c_str(), Narrow(arguments).c_str(), code);
    }
    unique_file input(::CreateFileW(outputPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!input)
        Fail("CreateFileW(%s) failed: %lu", Narrow(outputPath).c_str(), ::GetLastError());
    std::string text(static_cast<size_t>(::GetFileSize(input.get(), nullptr)), '\0');
    DWORD read = 0;
    if (!text.empty() && !::ReadFile(input.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr))
        Fail("ReadFile(%s) failed: %lu", Narrow(outputPath).c_str(), ::GetLastError());
    text.resize(read);
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Child: from CoCreateInstance of the not yet loaded DLL through the first IDispatch call.
int FirstCallMain()
{
    CheckHr(::CoInitialize(nullptr), "CoInitialize");
    if (::GetModuleHandleW(L"Tallyfold.dll"))
        Fail("Tallyfold.dll was loaded before the first call");
    const double start = NowMs();
    com_ptr<IDispatch> control;
    CheckHr(::CoCreateInstance(CLSID_CLCGetXmlQR, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.put_void()),
            "CoCreateInstance(CLSID_CLCGetXmlQR)");
    const double created = NowMs();
    wchar_t member[] = L"ClearXmlData";
    LPOLESTR names[] = {member};
    DISPID id = DISPID_UNKNOWN;
    CheckHr(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), "GetIDsOfNames(ClearXmlData)");
    const double named = NowMs();
    DISPPARAMS none = {};
    VARIANT result;
    ::VariantInit(&result);
    const HRESULT hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
    const double invoked = NowMs();
    const bool handedOut = V_VT(&result) == VT_DISPATCH && V_DISPATCH(&result);
    ::VariantClear(&result);
    CheckHr(hr, "Invoke(ClearXmlData)");
    if (!handedOut)
        Fail("Invoke(ClearXmlData) handed out no result object");
    control.reset();
    std::printf("first-call %.3f %.3f %.3f\n", created - start, named - created, invoked - named);
    ::CoUninitialize();
    return 0;
}

// ---------------------------------------------------------------------------------------
// The largest block that the DLL asks for

// While armed, notes the size of every block that the DLL's own code asks of the allocators
// that it imports (the C runtime's, the task allocator, the string allocator): the DLL's import
// entries are pointed at the notes below, which pass each call on.
namespace watch {

bool g_armed = false;
size_t g_largest = 0;

void Note(size_t bytes)
{
    if (g_armed && bytes > g_largest)
        g_largest = bytes;
}

void*(__cdecl* g_malloc)(size_t) = nullptr;
void*(__cdecl* g_calloc)(size_t, size_t) = nullptr;
void*(__cdecl* g_realloc)(void*, size_t) = nullptr;
LPVOID(WINAPI* g_coTaskMemAlloc)(SIZE_T) = nullptr;
LPVOID(WINAPI* g_coTaskMemRealloc)(LPVOID, SIZE_T) = nullptr;
BSTR(WINAPI* g_sysAllocString)(const OLECHAR*) = nullptr;
BSTR(WINAPI* g_sysAllocStringLen)(const OLECHAR*, UINT) = nullptr;
BSTR(WINAPI* g_sysAllocStringByteLen)(LPCSTR, UINT) = nullptr;

void* __cdecl Malloc(size_t bytes)
{
    Note(bytes);
    return g_malloc(bytes);
}
void* __cdecl Calloc(size_t count, size_t size)
{
    Note(count * size);
    return g_calloc(count, size);
}
void* __cdecl Realloc(void* block, size_t bytes)
{
    Note(bytes);
    return g_realloc(block, bytes);
}
LPVOID WINAPI TaskAlloc(SIZE_T bytes)
{
    Note(bytes);
    return g_coTaskMemAlloc(bytes);
}
LPVOID WINAPI TaskRealloc(LPVOID block, SIZE_T bytes)
{
    Note(bytes);
    return g_coTaskMemRealloc(block, bytes);
}
BSTR WINAPI StringAlloc(const OLECHAR* text)
{
    Note(text ? (std::wcslen(text) + 1) * sizeof(OLECHAR) : 0);
    return g_sysAllocString(text);
}
BSTR WINAPI StringAllocLen(const OLECHAR* text, UINT length)
{
    Note((static_cast<size_t>(length) + 1) * sizeof(OLECHAR));
    return g_sysAllocStringLen(text, length);
}
BSTR WINAPI StringAllocByteLen(LPCSTR text, UINT length)
{
    Note(static_cast<size_t>(length) + sizeof(OLECHAR));
    return g_sysAllocStringByteLen(text, length);
}

struct Hook {
    const char* name;
    void* note;
    void** original;
};

const Hook kHooks[] = {
    {"malloc", reinterpret_cast<void*>(&Malloc), reinterpret_cast<void**>(&g_malloc)},
    {"calloc", reinterpret_cast<void*>(&Calloc), reinterpret_cast<void**>(&g_calloc)},
    {"realloc", reinterpret_cast<void*>(&Realloc), reinterpret_cast<void**>(&g_realloc)},
    {"CoTaskMemAlloc", reinterpret_cast<void*>(&TaskAlloc), reinterpret_cast<void**>(&g_coTaskMemAlloc)},
    {"CoTaskMemRealloc", reinterpret_cast<void*>(&TaskRealloc), reinterpret_cast<void**>(&g_coTaskMemRealloc)},
    {"SysAllocString", reinterpret_cast<void*>(&StringAlloc), reinterpret_cast<void**>(&g_sysAllocString)},
    {"SysAllocStringLen", reinterpret_cast<void*>(&StringAllocLen), reinterpret_cast<void**>(&g_sysAllocStringLen)},
    {"SysAllocStringByteLen", reinterpret_cast<void*>(&StringAllocByteLen),
     reinterpret_cast<void**>(&g_sysAllocStringByteLen)},
};

// Points the module's import entries of the allocators above at their notes; returns the names
// of those it found.
std::vector<std::string> Install(HMODULE module)
{
    std::vector<std::string> found;
    BYTE* const base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (library->OriginalFirstThunk ? library->OriginalFirstThunk : library->FirstThunk));
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const Hook& hook : kHooks) {
                if (std::strcmp(name, hook.name) != 0 || *hook.original)
                    continue;
                DWORD protection = 0;
                if (!::VirtualProtect(&entries->u1.Function, sizeof entries->u1.Function, PAGE_READWRITE, &protection))
                    Fail("VirtualProtect failed: %lu", ::GetLastError());
                *hook.original = reinterpret_cast<void*>(entries->u1.Function);
                entries->u1.Function = reinterpret_cast<ULONG_PTR>(hook.note);
                ::VirtualProtect(&entries->u1.Function, sizeof entries->u1.Function, protection, &protection);
                found.push_back(name);
            }
        }
    }
    return found;
}

} // namespace watch

// Child: the process's memory counters around one ReadXmlData, the size of the store, and the
// largest block that the DLL asked for during the call.
int PeakMain(const std::wstring& folder)
{
    CheckHr(::CoInitialize(nullptr), "CoInitialize");
    {
        com_ptr<CLIGetXmlQR> control = CreateControl();
        ClearStore(control.get()); // the result object exists before the call is measured
        const HMODULE dll = ::GetModuleHandleW(L"Tallyfold.dll");
        if (!dll)
            Fail("Tallyfold.dll is not loaded");
        const std::vector<std::string> watched = watch::Install(dll);
        if (std::find(watched.begin(), watched.end(), "malloc") == watched.end() ||
            std::find(watched.begin(), watched.end(), "CoTaskMemAlloc") == watched.end())
            Fail("Tallyfold.dll imports neither malloc nor CoTaskMemAlloc: its allocations cannot be watched");
        unique_bstr path(::SysAllocString(folder.c_str()));
        PROCESS_MEMORY_COUNTERS before = {sizeof before};
        PROCESS_MEMORY_COUNTERS after = {sizeof after};
        if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof before))
            Fail("GetProcessMemoryInfo failed: %lu", ::GetLastError());
        IDispatch* out = nullptr;
        watch::g_armed = true;
        const HRESULT hr = control->ReadXmlData(path.get(), kFileCount, &out);
        watch::g_armed = false;
        if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof after))
            Fail("GetProcessMemoryInfo failed: %lu", ::GetLastError());
        com_ptr<CLIGetXmlResultQR> result = Outcome(hr, out, "ReadXmlData", L"S_OK");
        const int files = _wtoi(Property(result.get(), &CLIGetXmlResultQR::get_DataNum).c_str());
        const StoreSize store = MeasureStore(control.get(), files);
        using Count = unsigned long long;
        std::printf("peak %llu %llu %llu %llu %llu %llu %llu %llu\n", Count{before.WorkingSetSize},
                    Count{before.PeakWorkingSetSize}, Count{after.PeakWorkingSetSize}, Count{before.PagefileUsage},
                    Count{after.PagefileUsage}, Count{after.PeakPagefileUsage}, Count{store.Bytes()},
                    Count{watch::g_largest});
    }
    ::CoUninitialize();
    return 0;
}

// ---------------------------------------------------------------------------------------
// The table

double Mib(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

struct Verdict {
    bool missed = false;
    const char* Judge(bool met)
    {
        missed = missed || !met;
        return met ? "met" : "MISSED";
    }
};

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Row(const char* number, const char* what, const std::string& component, const std::string& baseline,
         const std::string& ratio, const std::string& least, const std::string& most, const std::string& target,
         const char* verdict)
{
    std::printf("%-3s %-46s %12s %12s %7s %7s %7s %10s %s\n", number, what, component.c_str(), baseline.c_str(),
                ratio.c_str(), least.c_str(), most.c_str(), target.c_str(), verdict);
}

// A row judged on the median of its rounds' ratios, with the least and the most beside it.
void RatioRow(Verdict& verdict, const char* number, const std::string& what, const std::string& component,
              const std::string& baseline, const Ratios& ratios, const char* target, bool met)
{
    Row(number, what.c_str(), component, baseline, Format("%.2fx", ratios.Median()), Format("%.2fx", ratios.Min()),
        Format("%.2fx", ratios.Max()), target, verdict.Judge(met));
}

void Progress(const char* what)
{
    std::fprintf(stderr, "  measuring %s ...\n", what);
    std::fflush(stderr);
}

// The memory of one ReadXmlData of a folder, in a fresh process each round, so that no earlier
// peak hides the call's own.
struct Memory {
    std::vector<double> wsBefore, peakWs, growth, pagefileBefore, pagefileAfter, peakPagefile, store, largest;
};

void MeasureMemory(const std::wstring& program, const std::wstring& folder, const std::wstring& output, Memory& memory)
{
    for (const std::string& line : Lines(RunProgram(program, L"peak \"" + folder + L"\"", output))) {
        unsigned long long b = 0, pb = 0, pa = 0, fb = 0, fa = 0, fp = 0, s = 0, l = 0;
        if (std::sscanf(line.c_str(), "peak %llu %llu %llu %llu %llu %llu %llu %llu", &b, &pb, &pa, &fb, &fa, &fp, &s,
                        &l) == 8) {
            memory.wsBefore.push_back(static_cast<double>(b));
            memory.peakWs.push_back(static_cast<double>(pa));
            // A peak reached before the call (while starting up) is not the call's.
            memory.growth.push_back(static_cast<double>(pa > b ? pa - b : 0));
            memory.pagefileBefore.push_back(static_cast<double>(fb));
            memory.pagefileAfter.push_back(static_cast<double>(fa));
            memory.peakPagefile.push_back(static_cast<double>(fp));
            memory.store.push_back(static_cast<double>(s));
            memory.largest.push_back(static_cast<double>(l));
            return;
        }
    }
    Fail("the memory process printed no figures");
}

// The ratio of one of a round's figures to another, for every round.
Ratios RoundRatios(const std::vector<double>& component, const std::vector<double>& baseline)
{
    Ratios ratios;
    for (size_t i = 0; i < component.size() && i < baseline.size(); ++i)
        ratios.Add(component[i], baseline[i]);
    return ratios;
}

int BenchMain(const std::wstring& script)
{
    const int rounds = Rounds();
    ScratchFolder scratch;
    const std::wstring program = ThisProgram();
    const std::wstring output = scratch.Path() + L"\\child-output.txt";

    // 100 files just under the 20 MiB total for the reader, 100 small ones for the hand-out, and
    // one ASCII file of the whole 20 MiB: the largest text that one read can hold.
    const std::wstring large = scratch.Sub(L"large");
    const std::wstring small = scratch.Sub(L"small");
    const std::wstring single = scratch.Sub(L"single");
    for (int file = 1; file <= kFileCount; ++file) {
        WriteWholeFile(large + L"\\" + FileNameOf(file), CertificateXml(file, kLargeFileSize));
        WriteWholeFile(small + L"\\" + FileNameOf(file), CertificateXml(file, 0));
    }
    WriteWholeFile(single + L"\\" + FileNameOf(1), AsciiXml(kTotalLimit));

    // 4b: each round a fresh process, so that the DLL and its type library load anew.
    Progress("the first call after loading");
    std::vector<double> createMs, namesMs, invokeMs, firstMs;
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& line : Lines(RunProgram(program, L"first-call", output))) {
            double create = 0, names = 0, invoke = 0;
            if (std::sscanf(line.c_str(), "first-call %lf %lf %lf", &create, &names, &invoke) == 3) {
                createMs.push_back(create);
                namesMs.push_back(names);
                invokeMs.push_back(invoke);
                firstMs.push_back(create + names + invoke);
            }
        }
    }
    if (firstMs.size() != static_cast<size_t>(rounds))
        Fail("the first-call process printed no figures");

    // 4 and 5: the 100 files and the one large file, a fresh process for each in every round.
    Progress("the memory of ReadXmlData");
    Memory manyFiles, oneFile;
    for (int round = 0; round < rounds; ++round) {
        MeasureMemory(program, large, output, manyFiles);
        MeasureMemory(program, single, output, oneFile);
    }

    CheckHr(::CoInitialize(nullptr), "CoInitialize");
    com_ptr<CLIGetXmlQR> control = CreateControl();

    // 1: warm both up once (file cache, heaps) and check that they read the same.
    Progress("ReadXmlData");
    unique_bstr largePath(::SysAllocString(large.c_str()));
    StoreSize componentStore, baselineStore;
    TimeComponentRead(control.get(), largePath.get(), &componentStore);
    TimeBaselineRead(large, &baselineStore);
    if (componentStore.nameChars != baselineStore.nameChars || componentStore.textChars != baselineStore.textChars)
        Fail("the store holds %llu+%llu characters, the baseline %llu+%llu",
             static_cast<unsigned long long>(componentStore.nameChars),
             static_cast<unsigned long long>(componentStore.textChars),
             static_cast<unsigned long long>(baselineStore.nameChars),
             static_cast<unsigned long long>(baselineStore.textChars));
    std::vector<double> readMs, plainReadMs;
    Ratios readRatios;
    for (int round = 0; round < rounds; ++round) {
        const auto [component, baseline] = BackToBack(
            round, [&] { return TimeComponentRead(control.get(), largePath.get()); },
            [&] { return TimeBaselineRead(large); });
        readMs.push_back(component);
        plainReadMs.push_back(baseline);
        readRatios.Add(component, baseline);
    }

    // 3: the same text to two files of the same folder.
    Progress("CsvWrite");
    const std::wstring out = scratch.Sub(L"out");
    const std::wstring csvPath = out + L"\\component.csv";
    const std::wstring plainCsvPath = out + L"\\baseline.csv";
    const std::wstring csv = CsvText(kCsvBytes);
    unique_bstr csvText(::SysAllocStringLen(csv.data(), static_cast<UINT>(csv.size())));
    unique_bstr csvPathText(::SysAllocString(csvPath.c_str()));
    if (!csvText || !csvPathText)
        Fail("no memory for the CSV text");
    auto timeCsvWrite = [&] {
        IDispatch* handed = nullptr;
        const double start = NowMs();
        const HRESULT hr = control->CsvWrite(csvPathText.get(), csvText.get(), &handed);
        const double elapsed = NowMs() - start;
        Outcome(hr, handed, "CsvWrite", L"S_OK");
        return elapsed;
    };
    auto timeBaselineWrite = [&] {
        const double start = NowMs();
        BaselineWrite(plainCsvPath, csv.data(), static_cast<int>(csv.size()));
        return NowMs() - start;
    };
    timeCsvWrite();
    timeBaselineWrite();
    if (FileSizeOf(csvPath) != kCsvBytes || FileSizeOf(plainCsvPath) != kCsvBytes)
        Fail("the CSV files hold %llu and %llu bytes, not %llu", FileSizeOf(csvPath), FileSizeOf(plainCsvPath),
             static_cast<unsigned long long>(kCsvBytes));
    std::vector<double> csvMs, plainCsvMs;
    Ratios csvRatios;
    for (int round = 0; round < rounds; ++round) {
        const auto [component, baseline] = BackToBack(round, timeCsvWrite, timeBaselineWrite);
        csvMs.push_back(component);
        plainCsvMs.push_back(baseline);
        csvRatios.Add(component, baseline);
    }
    control.reset();
    ::CoUninitialize();

    // 2: the page's loop runs in the script host, against the same control class; the script
    // times the loops of each round back to back, alternating their order.
    Progress("the hand-out loop from JScript");
    wchar_t system[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH)
        Fail("GetSystemDirectoryW failed: %lu", ::GetLastError());
    const std::string scriptOutput = RunProgram(std::wstring(system) + L"\\cscript.exe",
                                                 L"//nologo \"" + script + L"\" \"" + small + L"\" " +
                                                     std::to_wstring(rounds),
                                                 output);
    std::vector<double> handoutRate(rounds), uncachedRate(rounds), dictionaryRate(rounds);
    int figures = 0;
    for (const std::string& line : Lines(scriptOutput)) {
        int round = -1;
        char loop[32] = {};
        double files = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%d %31s %lf %lf", &round, loop, &files, &ms) != 4 || ms <= 0 || round < 0 ||
            round >= rounds) {
            if (line.compare(0, 6, "error ") == 0)
                Fail("hand-out script: %s", line.c_str() + 6);
            continue;
        }
        const double rate = files * 1000.0 / ms;
        const std::string name = loop;
        std::vector<double>* rates = name == "component"   ? &handoutRate
                                     : name == "uncached"   ? &uncachedRate
                                     : name == "dictionary" ? &dictionaryRate
                                                            : nullptr;
        if (rates) {
            (*rates)[static_cast<size_t>(round)] = rate;
            ++figures;
        }
    }
    if (figures != 3 * rounds)
        Fail("the hand-out script printed no figures:\n%s", scriptOutput.c_str());
    const Ratios handoutRatios = RoundRatios(handoutRate, dictionaryRate);
    const Ratios uncachedRatios = RoundRatios(uncachedRate, dictionaryRate);

    // The table.
    Verdict verdict;
    std::printf("\nRounds: %d. In every round the two sides of a timed row ran back to back, the one going\n"
                "first alternating; each ratio is the median of the rounds' ratios of Tallyfold to its\n"
                "baseline, with the least and the most of them beside it; times and rates are medians.\n\n",
                rounds);
    Row("#", "measurement", "Tallyfold", "baseline", "ratio", "min", "max", "target", "");

    RatioRow(verdict, "1", Format("ReadXmlData, %d files, %lu bytes UTF-8", kFileCount, kLargeFileSize * kFileCount),
             Format("%.1f ms", Median(readMs)), Format("%.1f ms", Median(plainReadMs)), readRatios, "<= 1.05x",
             readRatios.Median() <= 1.05);
    std::printf("    baseline: FindFirstFileW/NextFileW, CreateFileW, ReadFile, MultiByteToWideChar (sizing\n"
                "    pass + decode) into a wstring per file; ReadXmlData called through the vtable of a\n"
                "    CoCreateInstance'd control object; store emptied outside the clock for both.\n");

    RatioRow(verdict, "2", Format("hand-out loop from JScript, %d files", kFileCount),
             Format("%.0f /s", Median(handoutRate)), Format("%.0f /s", Median(dictionaryRate)), handoutRatios,
             ">= 0.50x", handoutRatios.Median() >= 0.5);
    Row("2b", "  same, names the name cache cannot serve", Format("%.0f /s", Median(uncachedRate)),
        Format("%.0f /s", Median(dictionaryRate)), Format("%.2fx", uncachedRatios.Median()),
        Format("%.2fx", uncachedRatios.Min()), Format("%.2fx", uncachedRatios.Max()), "", "");
    std::printf("    rate: files handed out per second (GetXmlData i, FileNameStr, FileDataStr: 3 calls;\n"
                "    baseline: Item(i) of two Scripting.Dictionary objects holding the same texts: 2 calls).\n"
                "    2b spells the members in lower case: they still resolve through the type information,\n"
                "    which the exact-match name cache then leaves to do the lookup (a proxy for no cache).\n"
                "    cache's share: %.0f%% more hand-outs per second with it.\n",
                (handoutRatios.Median() / uncachedRatios.Median() - 1.0) * 100.0);

    RatioRow(verdict, "3",
             Format("CsvWrite, %llu bytes in code page %u", static_cast<unsigned long long>(kCsvBytes), ::GetACP()),
             Format("%.1f ms", Median(csvMs)), Format("%.1f ms", Median(plainCsvMs)), csvRatios, "<= 1.25x",
             csvRatios.Median() <= 1.25);
    std::printf("    baseline: WideCharToMultiByte (sizing pass + convert), CreateFileW, one WriteFile,\n"
                "    FlushFileBuffers: both sides wait until the file is on the disk.\n");

    const double store = Median(manyFiles.store), peak = Median(manyFiles.peakWs);
    const double limit = 2.0 * store + 16.0 * 1024 * 1024;
    const Ratios peakRatios = RoundRatios(manyFiles.peakWs, manyFiles.store);
    Row("4", "peak working set during 1 (PeakWorkingSetSize)", Format("%.1f MiB", Mib(peak)),
        Format("%.1f MiB", Mib(store)), Format("%.2fx", peakRatios.Median()), Format("%.2fx", peakRatios.Min()),
        Format("%.2fx", peakRatios.Max()), "< 2x+16M", verdict.Judge(peak < limit));
    std::printf("    baseline column: decoded size held in the store (UTF-16 names and texts). Fresh process\n"
                "    per round; working set before the call %.1f MiB, so the call added %.1f MiB at its peak.\n"
                "    Limit 2 x store + 16 MiB = %.1f MiB, against the whole process's peak.\n"
                "    Pagefile usage before the call %.1f MiB, after it %.1f MiB; PeakPagefileUsage %.1f MiB\n"
                "    %s.\n",
                Mib(Median(manyFiles.wsBefore)), Mib(Median(manyFiles.growth)), Mib(limit),
                Mib(Median(manyFiles.pagefileBefore)), Mib(Median(manyFiles.pagefileAfter)),
                Mib(Median(manyFiles.peakPagefile)),
                manyFiles.peakPagefile == manyFiles.pagefileAfter
                    ? "(the same as after it: this platform keeps no separate peak of it)"
                    : "(a peak of its own)");

    Row("4b", "first call after loading", Format("%.1f ms", Median(firstMs)), "", "", "", "", "", "");
    std::printf("    fresh process per round, from CoCreateInstance (DLL load) %.1f ms, first GetIDsOfNames\n"
                "    (type library load) %.1f ms, first Invoke (result object created) %.1f ms.\n",
                Median(createMs), Median(namesMs), Median(invokeMs));

    const Ratios growthRatios = RoundRatios(oneFile.growth, oneFile.store);
    RatioRow(verdict, "5", Format("1 ASCII file, %lu bytes: peak added WS", kTotalLimit),
             Format("%.1f MiB", Mib(Median(oneFile.growth))), Format("%.1f MiB", Mib(Median(oneFile.store))),
             growthRatios, "<= 1.60x", growthRatios.Median() <= 1.60);
    const double fileBytes = kTotalLimit;
    const std::vector<double> fileSizes(oneFile.largest.size(), fileBytes);
    const Ratios largestRatios = RoundRatios(oneFile.largest, fileSizes);
    const double largest = Median(oneFile.largest);
    RatioRow(verdict, "5b", "  largest single allocation during the call", Format("%.2f MiB", Mib(largest)),
             Format("%.2f MiB", Mib(fileBytes)), largestRatios, "<= 2x+64K",
             largest <= 2.0 * fileBytes + 64.0 * 1024);
    std::printf("    5: fresh process per round; peak working set after the call less the working set before\n"
                "    it, against the decoded size held in the store (baseline column); working set before the\n"
                "    call %.1f MiB. 5b: the largest block that Tallyfold.dll's own code asked of the C runtime,\n"
                "    task or string allocator during the call (%.0f bytes), against the file's bytes; limit\n"
                "    2 x file + 64 KiB = %.0f bytes.\n",
                Mib(Median(oneFile.wsBefore)), largest, 2.0 * fileBytes + 64.0 * 1024);

    std::printf("\n%s\n", verdict.missed ? "A target was MISSED." : "Every target met.");
    return verdict.missed ? 1 : 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv) {
        std::fprintf(stderr, "bench: CommandLineToArgvW failed\n");
        return 2;
    }
    std::vector<std::wstring> args(argv + 1, argv + argc);
    ::LocalFree(argv);
    try {
        if (args.size() == 1 && args[0] == L"first-call")
            return FirstCallMain();
        if (args.size() == 2 && args[0] == L"peak")
            return PeakMain(args[1]);
        if (args.size() == 1)
            return BenchMain(args[0]);
        std::fprintf(stderr, "usage: tallyfold_bench HANDOUT.js | first-call | peak FOLDER\n");
        return 2;
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "bench: %s\n", failure.what());
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "bench: %s\n", failure.what());
    }
    return 2;
}
