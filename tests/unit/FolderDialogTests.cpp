// GetFolderPath as a page meets it: the registered control opens the real shell dialog on this
// thread while a second thread plays the user (finds the dialog, looks at it, chooses a folder
// and presses a button or closes it). Needs an X display; without one every test is skipped
// and the program exits with the code that ctest reports as skipped.
#include "FolderDialogDriver.h"
#include "MallocSpy.h"
#include "TestSupport.h"
#include "Owners.h"
#include "Tallyfold_h.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace tallyfold;
using namespace tallyfold::dialogtest;
using tftest::Hex;
using tftest::kResultProperties;
using tftest::ResultProperty;

namespace {

constexpr int kSkipExitCode = 77; // the SKIP_RETURN_CODE of the ctest entry
constexpr DWORD kAppearTimeoutMs = 20000;
constexpr DWORD kCloseTimeoutMs = 10000;
constexpr char kFunctionHeader[] = " CLCGetXmlQR::GetFolderPath--\r\n予期せぬ例外が発生しました。\r\n[File:";
constexpr char kWorkerSource[] = "CLCQRGetFolderPath.cpp Line:";
// Why the table of endings cannot run under qemu-user.
constexpr char kEndingsUnderEmulator[] =
    "under qemu-user the desktop process loses its RPC server thread as it starts (Wine gets no trap number for a "
    "fault), so choosing a folder never closes the dialog (a shell-only program shows the same), and this program "
    "then dies of a signal Wine never sees or hangs; the x86_64 run covers it, and the cancel path runs here in "
    "OwnedByTheActiveWindow and js_dialog_folder";

bool HasDisplay()
{
    return !tftest::EnvW(L"DISPLAY").empty();
}

// An item list fills its block exactly: items of the sizes they state, then the terminating
// zero size.
bool IsItemListShape(const BYTE* block, size_t size)
{
    size_t offset = 0;
    while (offset + sizeof(USHORT) <= size) {
        USHORT cb = 0;
        std::memcpy(&cb, block + offset, sizeof cb);
        if (cb == 0)
            return offset + sizeof(USHORT) == size;
        offset += cb;
    }
    return false;
}

// Whether a block allocated since the spy started watching and still live is an item list
// equal to itemList (which the test itself owns and which is not counted).
bool SpyHoldsItemList(LPCITEMIDLIST itemList)
{
    const UINT size = ::ILGetSize(itemList);
    for (const auto& copy : tftest::MallocSpy::Instance().OutstandingOfSize(size, itemList)) {
        if (IsItemListShape(copy.data(), size) && ::ILIsEqual(reinterpret_cast<LPCITEMIDLIST>(copy.data()), itemList))
            return true;
    }
    return false;
}

// The spy on the task allocator, through which the shell hands out item lists and the
// component gives them back: which blocks are live and whether a block is freed a second time.
tftest::MallocSpy& g_spy = tftest::MallocSpy::Instance();
std::wstring g_scratch; // this run's temporary-files folder, ending in a backslash

// Everything of a run: COM on this thread (the page's apartment), a private temporary-files
// folder for the log's daily file, set before the DLL loads and reads it, and the spy.
class DialogEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        m_com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_EQ(S_OK, m_com) << Hex(m_com);
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(::GetTempPathW(static_cast<DWORD>(temp.size()), &temp[0]));
        g_scratch = temp + L"tfdialog_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                    std::to_wstring(::GetTickCount64()) + L"\\";
        ASSERT_TRUE(::CreateDirectoryW(g_scratch.c_str(), nullptr)) << ::GetLastError();
        ::SetEnvironmentVariableW(L"TMP", g_scratch.c_str());
        ::SetEnvironmentVariableW(L"TEMP", g_scratch.c_str());
        const HRESULT hr = tftest::RegisterMallocSpy();
        ASSERT_EQ(S_OK, hr) << Hex(hr);
    }
    void TearDown() override
    {
        WIN32_FIND_DATAW entry;
        unique_find search(::FindFirstFileW((g_scratch + L"*.log").c_str(), &entry));
        if (search) {
            do {
                ::DeleteFileW((g_scratch + entry.cFileName).c_str());
            } while (::FindNextFileW(search.get(), &entry));
        }
        search.reset();
        ::RemoveDirectoryW(g_scratch.c_str());
        if (SUCCEEDED(m_com))
            ::CoUninitialize();
    }

private:
    HRESULT m_com = E_FAIL;
};

// The log files of this run, one after another.
std::string ReadLog()
{
    std::string bytes;
    WIN32_FIND_DATAW entry;
    unique_find search(::FindFirstFileW((g_scratch + L"*.log").c_str(), &entry));
    if (!search)
        return bytes;
    do {
        unique_file file(::CreateFileW((g_scratch + entry.cFileName).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
        char chunk[4096];
        DWORD got = 0;
        while (file && ::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got != 0)
            bytes.append(chunk, got);
    } while (::FindNextFileW(search.get(), &entry));
    return bytes;
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

unique_cotaskmem_ptr<ITEMIDLIST> ItemListOf(const wchar_t* path)
{
    unique_cotaskmem_ptr<ITEMIDLIST> itemList;
    const HRESULT hr = ::SHParseDisplayName(path, nullptr, itemList.put(), 0, nullptr);
    EXPECT_EQ(S_OK, hr) << Hex(hr);
    return itemList;
}

unique_cotaskmem_ptr<ITEMIDLIST> ItemListOf(int folder)
{
    unique_cotaskmem_ptr<ITEMIDLIST> itemList;
    const HRESULT hr = ::SHGetSpecialFolderLocation(nullptr, folder, itemList.put());
    EXPECT_EQ(S_OK, hr) << Hex(hr);
    return itemList;
}

com_ptr<CLIGetXmlQR> NewControl()
{
    com_ptr<CLIGetXmlQR> control;
    const HRESULT hr = ::CoCreateInstance(CLSID_CLCGetXmlQR, nullptr, CLSCTX_INPROC_SERVER, IID_CLIGetXmlQR,
                                          control.put_void());
    EXPECT_EQ(S_OK, hr) << Hex(hr);
    return control;
}

// Values of the six properties, in the order of kResultProperties.
using Values = std::vector<std::wstring>;

void ExpectProperties(CLIGetXmlResultQR* result, const Values& expected)
{
    EXPECT_EQ(expected, tftest::ReadProperties(result));
}

void PutSentinels(CLIGetXmlResultQR* result)
{
    for (const ResultProperty& property : kResultProperties) {
        unique_bstr sentinel(::SysAllocString(L"sentinel"));
        (result->*property.put)(sentinel.get());
    }
}

// What the row's user does before finishing the dialog.
struct Choice {
    const wchar_t* path = nullptr;          // choose this folder by its path
    LPCITEMIDLIST itemList = nullptr;       // or this item by its item list
};

// What the second thread saw and did.
struct UserReport {
    bool found = false;
    DialogView view;
    bool selected = true;
    bool okEnabledAfterChoice = false;
    bool finished = false;
};

// Under qemu-user the shell's folder dialog now and then never opens: SHBrowseForFolderW returns
// at once as if cancelled (a program that only calls it did so in 4 of 120 tries, and in none of
// 60 on x86_64). Such a call is made again, at most twice, and says so; a dialog that never
// opens in three tries fails.
constexpr int kTriesUnderEmulator = 3;

// Calls GetFolderPath on this thread while another thread plays the user. When a step of the
// user fails, the dialog is cancelled, so the call always returns.
HRESULT CallOnceWithUser(CLIGetXmlQR* control, const Choice& choice, Finish how, IDispatch** result,
                         UserReport& report)
{
    const DWORD process = ::GetCurrentProcessId();
    std::thread user([&] {
        HWND dialog = WaitForFolderDialog(process, kAppearTimeoutMs);
        if (!dialog) {
            DismissAll(process);
            return;
        }
        report.found = true;
        report.view = Look(dialog);
        if (choice.path)
            report.selected = SelectPath(dialog, choice.path);
        else if (choice.itemList)
            report.selected = SelectItemList(dialog, choice.itemList);
        report.okEnabledAfterChoice = IsOkEnabled(dialog);
        report.finished = report.selected && FinishDialog(dialog, how, kCloseTimeoutMs);
        if (!report.finished)
            DismissAll(process);
    });
    const HRESULT hr = control->GetFolderPath(result);
    user.join();
    return hr;
}

HRESULT CallWithUser(CLIGetXmlQR* control, const Choice& choice, Finish how, IDispatch** result, UserReport& report)
{
    const int tries = tftest::EnvW(L"TALLYFOLD_EMULATED").empty() ? 1 : kTriesUnderEmulator;
    for (int attempt = 1;; ++attempt) {
        report = UserReport{};
        const HRESULT hr = CallOnceWithUser(control, choice, how, result, report);
        if (report.found || attempt == tries)
            return hr;
        std::printf("emulator: the folder dialog did not open (try %d of %d); trying again\n", attempt, tries);
        std::fflush(stdout);
        if (SUCCEEDED(hr) && *result) {
            (*result)->Release();
            *result = nullptr;
        }
    }
}

// The checks a user's eye makes of every dialog of the component.
void ExpectDialogLooksRight(const UserReport& user, HWND owner)
{
    ASSERT_TRUE(user.found) << "no folder dialog appeared";
    const DialogView& view = user.view;
    EXPECT_TRUE(view.visible) << Describe(view);
    EXPECT_TRUE(view.foreground) << Describe(view);
    EXPECT_EQ(nullptr, view.coveredBy) << Describe(view);
    EXPECT_FALSE(view.topmost) << Describe(view);
    EXPECT_TRUE(view.showsTitle) << Describe(view);
    // OK and Cancel only: no edit box, no new-folder button.
    EXPECT_FALSE(view.hasEditBox) << Describe(view);
    EXPECT_EQ(2, view.buttons) << Describe(view);
    EXPECT_EQ(owner, view.owner) << Describe(view);
    EXPECT_FALSE(view.preselected) << Describe(view);
}

class FolderDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!HasDisplay())
            GTEST_SKIP() << "no X display (DISPLAY is unset): the folder dialog cannot open";
    }
};

// Every way a dialog ends, in one table. The rows run in order on one control from a thread
// with no active window: each dialog opens without an owner and, although the row before
// may have chosen a folder, with nothing preselected.
TEST_F(FolderDialogTest, EndingsOnOneControl)
{
    if (tftest::LeftOutUnderEmulator("FolderDialogTest.EndingsOnOneControl", kEndingsUnderEmulator))
        return;
    ASSERT_EQ(nullptr, ::GetActiveWindow());
    ASSERT_NE(0u, ::GetEnvironmentVariableW(L"TALLYFOLD_OUTPUT", nullptr, 0)) << "the log must be on";

    const std::wstring chosen = g_scratch + L"選んだ フォルダ";
    ASSERT_TRUE(::CreateDirectoryW(chosen.c_str(), nullptr)) << ::GetLastError();
    const auto chosenList = ItemListOf(chosen.c_str());
    const auto rootList = ItemListOf(L"C:\\");
    const auto computerList = ItemListOf(CSIDL_DRIVES);
    ASSERT_TRUE(chosenList && rootList && computerList);

    struct Row {
        const char* name;
        Choice choice;
        Finish how;
        Values expected; // the six properties
        bool logged;
        LPCITEMIDLIST returned; // what the dialog hands back, to be freed by the component
    };
    const Row rows[] = {
        {"chosen folder", {chosen.c_str()}, Finish::Ok, {L"S_OK", L"", chosen, L"", L"", L""}, false, chosenList.get()},
        {"drive root", {L"C:\\"}, Finish::Ok, {L"S_OK", L"", L"C:\\", L"", L"", L""}, false, rootList.get()},
        {"cancel", {}, Finish::Cancel, {L"S_FALSE", L"", L"", L"", L"", L""}, false, nullptr},
        {"cancel after choosing", {chosen.c_str()}, Finish::Cancel, {L"S_FALSE", L"", L"", L"", L"", L""}, false, nullptr},
        {"WM_CLOSE", {}, Finish::CloseMessage, {L"S_FALSE", L"", L"", L"", L"", L""}, false, nullptr},
        {"SC_CLOSE", {}, Finish::CloseCommand, {L"S_FALSE", L"", L"", L"", L"", L""}, false, nullptr},
        // A virtual folder has no file-system path. The dialog keeps OK disabled for it (no
        // user can choose it); a program that sends the OK command anyway gets it back.
        {"virtual folder", {nullptr, computerList.get()}, Finish::ForcedOk,
         {L"E_FAIL", L"QR10003E", L"", L"", L"", L""}, true, computerList.get()},
    };

    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    com_ptr<CLIGetXmlResultQR> previous;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // What an earlier call left must not survive this one.
        if (previous)
            PutSentinels(previous.get());
        previous.reset();
        const std::string logBefore = ReadLog();
        g_spy.ForgetOutstanding();
        g_spy.Watch();

        IDispatch* raw = reinterpret_cast<IDispatch*>(static_cast<INT_PTR>(0xdeadbeef));
        UserReport user;
        const HRESULT hr = CallWithUser(control.get(), row.choice, row.how, &raw, user);

        ExpectDialogLooksRight(user, nullptr);
        EXPECT_TRUE(user.selected) << "the row's choice was not selected";
        EXPECT_TRUE(user.finished) << "the dialog did not close the row's way";
        if (row.choice.itemList) {
            EXPECT_FALSE(user.okEnabledAfterChoice) << "OK accepts a folder without a file-system path";
        }
        ASSERT_EQ(S_OK, hr) << Hex(hr);
        ASSERT_NE(reinterpret_cast<IDispatch*>(static_cast<INT_PTR>(0xdeadbeef)), raw);
        ASSERT_NE(nullptr, raw);
        com_ptr<CLIGetXmlResultQR> result;
        HRESULT hrQuery = raw->QueryInterface(IID_CLIGetXmlResultQR, result.put_void());
        ASSERT_EQ(S_OK, hrQuery) << Hex(hrQuery);
        ExpectProperties(result.get(), row.expected);
        // The call handed over exactly one reference: the control keeps one, and ours from the
        // query is the other that remains.
        EXPECT_EQ(2u, raw->Release());

        const std::string added = ReadLog().substr(logBefore.size());
        if (row.logged) {
            EXPECT_EQ(1u, CountOf(added, "[File:")) << added;
            EXPECT_EQ(1u, CountOf(added, kFunctionHeader)) << added;
            EXPECT_EQ(1u, CountOf(added, kWorkerSource)) << added;
        } else {
            EXPECT_EQ("", added);
        }

        // The item list the dialog returned is freed, and nothing is freed twice.
        EXPECT_NE(0u, g_spy.Reached()) << "the allocation spy saw nothing";
        EXPECT_EQ(0, g_spy.DoubleFrees());
        if (row.returned) {
            EXPECT_FALSE(SpyHoldsItemList(row.returned)) << "the chosen item list is still allocated";
        }
        previous = result;
    }
    ::RemoveDirectoryW(chosen.c_str());
}

// The page's window is active on the calling thread: the dialog belongs to it and opens in
// front of it, not left topmost.
TEST_F(FolderDialogTest, OwnedByTheActiveWindow)
{
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW cls = {};
    cls.lpfnWndProc = ::DefWindowProcW;
    cls.hInstance = instance;
    cls.lpszClassName = L"TallyfoldTestPage";
    ::RegisterClassW(&cls);
    struct Window {
        HWND hwnd;
        ~Window()
        {
            if (hwnd)
                ::DestroyWindow(hwnd);
        }
    } page{::CreateWindowExW(0, cls.lpszClassName, L"page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 800, 600,
                             nullptr, nullptr, instance, nullptr)};
    ASSERT_NE(nullptr, page.hwnd) << ::GetLastError();
    ::SetForegroundWindow(page.hwnd);
    ::SetActiveWindow(page.hwnd);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&msg);
    ASSERT_EQ(page.hwnd, ::GetActiveWindow());

    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    IDispatch* raw = nullptr;
    UserReport user;
    const HRESULT hr = CallWithUser(control.get(), Choice{}, Finish::Cancel, &raw, user);
    ExpectDialogLooksRight(user, page.hwnd);
    EXPECT_TRUE(user.finished);
    ASSERT_EQ(S_OK, hr) << Hex(hr);
    ASSERT_NE(nullptr, raw);
    com_ptr<CLIGetXmlResultQR> result;
    const HRESULT hrQuery = raw->QueryInterface(IID_CLIGetXmlResultQR, result.put_void());
    raw->Release();
    ASSERT_EQ(S_OK, hrQuery) << Hex(hrQuery);
    ExpectProperties(result.get(), {L"S_FALSE", L"", L"", L"", L"", L""});
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new DialogEnvironment);
    const int rc = RUN_ALL_TESTS();
    // A run without a display proved nothing: ctest reports it as skipped, never as passed.
    return rc == 0 && !HasDisplay() ? kSkipExitCode : rc;
}
