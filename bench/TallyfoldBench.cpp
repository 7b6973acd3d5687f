// The benchmark behind "make bench". Every figure is the median of several rounds, and every
// ratio compares the component with a baseline that does the same work with plain platform
// calls in the same run (the machine is noisy; only ratios measured side by side count).
//
//   tallyfold_bench.exe HANDOUT.js   the whole table (the DLL must be registered)
//   tallyfold_bench.exe first-call   one fresh process: load, type library, first call
//   tallyfold_bench.exe peak FOLDER  one fresh process: memory of one ReadXmlData
//
// The rounds come from TALLYFOLD_BENCH_ROUNDS (default 7). Exit code: 0 when every target is
// met, 1 when one is missed, 2 when a measurement could not be made.
#include "Owners.h"
#include "Tallyfold_h.h"

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

int Rounds()
{
    wchar_t value[16];
    const DWORD length = ::GetEnvironmentVariableW(L"TALLYFOLD_BENCH_ROUNDS", value, 16);
    const int rounds = length > 0 && length < 16 ? _wtoi(value) : 0;
    return rounds > 0 ? rounds : 7;
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

// Converts the text to the ANSI code page and writes it with one WriteFile.
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

// Child: the process's memory counters around one ReadXmlData, and the size of the store.
int PeakMain(const std::wstring& folder)
{
    CheckHr(::CoInitialize(nullptr), "CoInitialize");
    {
        com_ptr<CLIGetXmlQR> control = CreateControl();
        ClearStore(control.get()); // the result object exists before the call is measured
        unique_bstr path(::SysAllocString(folder.c_str()));
        PROCESS_MEMORY_COUNTERS before = {sizeof before};
        PROCESS_MEMORY_COUNTERS after = {sizeof after};
        if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof before))
            Fail("GetProcessMemoryInfo failed: %lu", ::GetLastError());
        IDispatch* out = nullptr;
        const HRESULT hr = control->ReadXmlData(path.get(), kFileCount, &out);
        if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof after))
            Fail("GetProcessMemoryInfo failed: %lu", ::GetLastError());
        Outcome(hr, out, "ReadXmlData", L"S_OK");
        const StoreSize store = MeasureStore(control.get(), kFileCount);
        using Count = unsigned long long;
        std::printf("peak %llu %llu %llu %llu %llu %llu %llu\n", Count{before.WorkingSetSize},
                    Count{before.PeakWorkingSetSize}, Count{after.PeakWorkingSetSize}, Count{before.PagefileUsage},
                    Count{after.PagefileUsage}, Count{after.PeakPagefileUsage}, Count{store.Bytes()});
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

void Row(const char* number, const char* what, const std::string& component, const std::string& baseline,
         const std::string& ratio, const std::string& target, const char* verdict)
{
    std::printf("%-3s %-46s %13s %13s %8s %9s %s\n", number, what, component.c_str(), baseline.c_str(), ratio.c_str(),
                target.c_str(), verdict);
}

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Progress(const char* what)
{
    std::fprintf(stderr, "  measuring %s ...\n", what);
    std::fflush(stderr);
}

int BenchMain(const std::wstring& script)
{
    const int rounds = Rounds();
    ScratchFolder scratch;
    const std::wstring program = ThisProgram();
    const std::wstring output = scratch.Path() + L"\\child-output.txt";

    // 100 files just under the 20 MiB total for the reader, 100 small ones for the hand-out.
    const std::wstring large = scratch.Sub(L"large");
    const std::wstring small = scratch.Sub(L"small");
    for (int file = 1; file <= kFileCount; ++file) {
        WriteWholeFile(large + L"\\" + FileNameOf(file), CertificateXml(file, kLargeFileSize));
        WriteWholeFile(small + L"\\" + FileNameOf(file), CertificateXml(file, 0));
    }

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

    // 4: each round a fresh process, so that no earlier peak hides the call's own.
    Progress("the memory of ReadXmlData");
    std::vector<double> wsBefore, peakWs, peakGrowth, pagefileBefore, pagefileAfter, peakPagefile, storeBytes;
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& line : Lines(RunProgram(program, L"peak \"" + large + L"\"", output))) {
            unsigned long long b = 0, pb = 0, pa = 0, fb = 0, fa = 0, fp = 0, s = 0;
            if (std::sscanf(line.c_str(), "peak %llu %llu %llu %llu %llu %llu %llu", &b, &pb, &pa, &fb, &fa, &fp,
                            &s) == 7) {
                wsBefore.push_back(static_cast<double>(b));
                peakWs.push_back(static_cast<double>(pa));
                // A peak reached before the call (while starting up) is not the call's.
                peakGrowth.push_back(static_cast<double>(pa > b ? pa - b : 0));
                pagefileBefore.push_back(static_cast<double>(fb));
                pagefileAfter.push_back(static_cast<double>(fa));
                peakPagefile.push_back(static_cast<double>(fp));
                storeBytes.push_back(static_cast<double>(s));
            }
        }
    }
    if (peakWs.size() != static_cast<size_t>(rounds))
        Fail("the memory process printed no figures");

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
    for (int round = 0; round < rounds; ++round) {
        // Alternating who goes first spreads a slow spell of the machine over both.
        if (round % 2 == 0) {
            readMs.push_back(TimeComponentRead(control.get(), largePath.get()));
            plainReadMs.push_back(TimeBaselineRead(large));
        } else {
            plainReadMs.push_back(TimeBaselineRead(large));
            readMs.push_back(TimeComponentRead(control.get(), largePath.get()));
        }
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
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            csvMs.push_back(timeCsvWrite());
            plainCsvMs.push_back(timeBaselineWrite());
        } else {
            plainCsvMs.push_back(timeBaselineWrite());
            csvMs.push_back(timeCsvWrite());
        }
    }
    control.reset();
    ::CoUninitialize();

    // 2: the page's loop runs in the script host, against the same control class.
    Progress("the hand-out loop from JScript");
    wchar_t system[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH)
        Fail("GetSystemDirectoryW failed: %lu", ::GetLastError());
    const std::string scriptOutput = RunProgram(std::wstring(system) + L"\\cscript.exe",
                                                 L"//nologo \"" + script + L"\" \"" + small + L"\" " +
                                                     std::to_wstring(rounds),
                                                 output);
    std::vector<double> handoutRate, uncachedRate, dictionaryRate;
    for (const std::string& line : Lines(scriptOutput)) {
        char loop[32] = {};
        double files = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%31s %lf %lf", loop, &files, &ms) != 3 || ms <= 0) {
            if (line.compare(0, 6, "error ") == 0)
                Fail("hand-out script: %s", line.c_str() + 6);
            continue;
        }
        const double rate = files * 1000.0 / ms;
        if (std::string(loop) == "component")
            handoutRate.push_back(rate);
        else if (std::string(loop) == "uncached")
            uncachedRate.push_back(rate);
        else if (std::string(loop) == "dictionary")
            dictionaryRate.push_back(rate);
    }
    if (handoutRate.size() != static_cast<size_t>(rounds) || uncachedRate.size() != static_cast<size_t>(rounds) ||
        dictionaryRate.size() != static_cast<size_t>(rounds))
        Fail("the hand-out script printed no figures:\n%s", scriptOutput.c_str());

    // The table.
    Verdict verdict;
    std::printf("\nEach figure is the median of %d rounds; each ratio is Tallyfold against the baseline\n"
                "measured beside it in the same run.\n\n", rounds);
    Row("#", "measurement", "Tallyfold", "baseline", "ratio", "target", "");

    const double read = Median(readMs), plainRead = Median(plainReadMs);
    Row("1", Format("ReadXmlData, %d files, %lu bytes UTF-8", kFileCount, kLargeFileSize * kFileCount).c_str(),
        Format("%.1f ms", read), Format("%.1f ms", plainRead), Format("%.2fx", read / plainRead), "<= 1.25x",
        verdict.Judge(read <= 1.25 * plainRead));
    std::printf("    baseline: FindFirstFileW/NextFileW, CreateFileW, ReadFile, MultiByteToWideChar (sizing\n"
                "    pass + decode) into a wstring per file; ReadXmlData called through the vtable of a\n"
                "    CoCreateInstance'd control object; store emptied outside the clock for both.\n");

    const double handout = Median(handoutRate), uncached = Median(uncachedRate), dictionary = Median(dictionaryRate);
    Row("2", Format("hand-out loop from JScript, %d files", kFileCount).c_str(), Format("%.0f /s", handout),
        Format("%.0f /s", dictionary), Format("%.2fx", handout / dictionary), ">= 0.50x",
        verdict.Judge(handout >= 0.5 * dictionary));
    Row("2b", "  same, names the name cache cannot serve", Format("%.0f /s", uncached), Format("%.0f /s", dictionary),
        Format("%.2fx", uncached / dictionary), "", "");
    std::printf("    rate: files handed out per second (GetXmlData i, FileNameStr, FileDataStr: 3 calls;\n"
                "    baseline: Item(i) of two Scripting.Dictionary objects holding the same texts: 2 calls).\n"
                "    2b spells the members in lower case: they still resolve through the type information,\n"
                "    which the exact-match name cache then leaves to do the lookup (a proxy for no cache).\n"
                "    cache's share: %.0f%% more hand-outs per second with it.\n",
                (handout / uncached - 1.0) * 100.0);

    const double csvWrite = Median(csvMs), plainCsvWrite = Median(plainCsvMs);
    Row("3", Format("CsvWrite, %llu bytes in code page %u", static_cast<unsigned long long>(kCsvBytes), ::GetACP()).c_str(), Format("%.1f ms", csvWrite),
        Format("%.1f ms", plainCsvWrite), Format("%.2fx", csvWrite / plainCsvWrite), "<= 1.25x",
        verdict.Judge(csvWrite <= 1.25 * plainCsvWrite));
    std::printf("    baseline: WideCharToMultiByte (sizing pass + convert), CreateFileW, one WriteFile.\n");

    const double store = Median(storeBytes), peak = Median(peakWs), growth = Median(peakGrowth);
    const double limit = 2.0 * store + 16.0 * 1024 * 1024;
    Row("4", "peak working set during 1 (PeakWorkingSetSize)", Format("%.1f MiB", Mib(peak)),
        Format("%.1f MiB", Mib(store)), Format("%.2fx", peak / store), "< 2x+16M", verdict.Judge(peak < limit));
    std::printf("    baseline column: decoded size held in the store (UTF-16 names and texts). Fresh process\n"
                "    per round; working set before the call %.1f MiB, so the call added %.1f MiB at its peak.\n"
                "    Limit 2 x store + 16 MiB = %.1f MiB, against the whole process's peak.\n"
                "    Pagefile usage before the call %.1f MiB, after it %.1f MiB; PeakPagefileUsage %.1f MiB\n"
                "    %s.\n",
                Mib(Median(wsBefore)), Mib(growth), Mib(limit), Mib(Median(pagefileBefore)),
                Mib(Median(pagefileAfter)), Mib(Median(peakPagefile)),
                peakPagefile == pagefileAfter ? "(the same as after it: this platform keeps no separate peak of it)"
                                              : "(a peak of its own)");

    Row("4b", "first call after loading", Format("%.1f ms", Median(firstMs)), "", "", "", "");
    std::printf("    fresh process per round, from CoCreateInstance (DLL load) %.1f ms, first GetIDsOfNames\n"
                "    (type library load) %.1f ms, first Invoke (result object created) %.1f ms.\n",
                Median(createMs), Median(namesMs), Median(invokeMs));
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
