#include "FolderDialogDriver.h"

#include "Owners.h"

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace tallyfold::dialogtest {

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 50;

bool IsClass(HWND window, const wchar_t* name)
{
    wchar_t cls[64] = {};
    return ::GetClassNameW(window, cls, 64) > 0 && std::wcscmp(cls, name) == 0;
}

DWORD ProcessOf(HWND window)
{
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    return processId;
}

// A message to a window of another thread or process, bounded in time. False on timeout.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr)
{
    DWORD_PTR answer = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &answer))
        return false;
    if (result)
        *result = static_cast<LRESULT>(answer);
    return true;
}

// The text of a control, read through the control itself (also across processes).
std::wstring TextOf(HWND window)
{
    wchar_t text[512] = {};
    if (!Send(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text)))
        return {};
    text[511] = L'\0';
    return text;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM context)
{
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
    return TRUE;
}

std::vector<HWND> Children(HWND dialog)
{
    std::vector<HWND> children;
    ::EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

bool ShowsTitle(HWND dialog)
{
    for (HWND child : Children(dialog)) {
        if (::IsWindowVisible(child) && IsClass(child, L"Static") && TextOf(child) == kFolderDialogTitle)
            return true;
    }
    return false;
}

struct DialogSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<DialogSearch*>(context);
    if (IsClass(window, L"#32770") && (search->processId == 0 || ProcessOf(window) == search->processId))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelDialogs(DWORD processId)
{
    DialogSearch search{processId, {}};
    ::EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FolderTree(HWND dialog)
{
    return ::FindWindowExW(dialog, nullptr, WC_TREEVIEWW, nullptr);
}

HTREEITEM TreeSelection(HWND dialog)
{
    HWND tree = FolderTree(dialog);
    LRESULT item = 0;
    if (!tree || !Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, &item))
        return nullptr;
    return reinterpret_cast<HTREEITEM>(item);
}

// A block of memory in the process of a window, holding a copy of some bytes: what a message
// to the dialog points at must lie in the dialog's own address space.
class RemoteCopy {
public:
    RemoteCopy(HWND window, const void* data, SIZE_T size)
        : m_process(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, ProcessOf(window)))
    {
        if (!m_process)
            return;
        m_block = ::VirtualAllocEx(m_process.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        SIZE_T written = 0;
        if (m_block && !(::WriteProcessMemory(m_process.get(), m_block, data, size, &written) && written == size)) {
            ::VirtualFreeEx(m_process.get(), m_block, 0, MEM_RELEASE);
            m_block = nullptr;
        }
    }
    ~RemoteCopy()
    {
        if (m_block && !m_inUse)
            ::VirtualFreeEx(m_process.get(), m_block, 0, MEM_RELEASE);
    }
    RemoteCopy(const RemoteCopy&) = delete;
    RemoteCopy& operator=(const RemoteCopy&) = delete;

    LPARAM get() const { return reinterpret_cast<LPARAM>(m_block); }
    explicit operator bool() const { return m_block != nullptr; }
    // A message that timed out may still be read later: the block is then left in place.
    void KeepForLateReader() { m_inUse = true; }

private:
    unique_handle m_process;
    void* m_block = nullptr;
    bool m_inUse = false;
};

bool SendSelection(HWND dialog, BOOL isPath, const void* data, SIZE_T size)
{
    RemoteCopy copy(dialog, data, size);
    if (!copy)
        return false;
    // Wine's dialog refuses a path for a while after something changed in one of its folders
    // (the tree and the parsed path disagree until the change settles): ask again for a while.
    const ULONGLONG deadline = ::GetTickCount64() + 15000;
    for (;;) {
        if (!Send(dialog, BFFM_SETSELECTIONW, isPath, copy.get())) {
            copy.KeepForLateReader();
            return false;
        }
        if (TreeSelection(dialog))
            return true;
        if (::GetTickCount64() >= deadline)
            return false;
        ::Sleep(500);
    }
}

bool WaitUntilGone(HWND dialog, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::IsWindow(dialog)) {
        if (::GetTickCount64() >= deadline)
            return false;
        ::Sleep(kPollMs);
    }
    return true;
}

std::string HexOf(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(window));
    return text;
}

} // namespace

std::string Describe(const DialogView& view)
{
    return std::string("visible=") + (view.visible ? "1" : "0") + " foreground=" + (view.foreground ? "1" : "0") +
           " coveredBy=" + HexOf(view.coveredBy) + " topmost=" + (view.topmost ? "1" : "0") +
           " showsTitle=" + (view.showsTitle ? "1" : "0") + " hasEditBox=" + (view.hasEditBox ? "1" : "0") +
           " buttons=" + std::to_string(view.buttons) + " okEnabled=" + (view.okEnabled ? "1" : "0") +
           " owner=" + HexOf(view.owner) + " preselected=" + (view.preselected ? "1" : "0");
}

HWND WaitForFolderDialog(DWORD processId, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        for (HWND dialog : TopLevelDialogs(processId)) {
            if (::IsWindowVisible(dialog) && ShowsTitle(dialog))
                return dialog;
        }
        if (::GetTickCount64() >= deadline)
            return nullptr;
        ::Sleep(kPollMs);
    }
}

DialogView Look(HWND dialog)
{
    DialogView view;
    // The dialog is shown from inside its initialisation and activated just after: give
    // the activation a moment before judging what is in front.
    const ULONGLONG deadline = ::GetTickCount64() + 3000;
    while (::GetForegroundWindow() != dialog && ::GetTickCount64() < deadline)
        ::Sleep(kPollMs);
    view.foreground = ::GetForegroundWindow() == dialog;
    view.visible = ::IsWindowVisible(dialog) != FALSE;
    for (HWND above = ::GetWindow(dialog, GW_HWNDPREV); above; above = ::GetWindow(above, GW_HWNDPREV)) {
        if (::IsWindowVisible(above)) {
            view.coveredBy = above;
            break;
        }
    }
    view.topmost = (::GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    view.showsTitle = ShowsTitle(dialog);
    for (HWND child : Children(dialog)) {
        if (IsClass(child, L"Edit"))
            view.hasEditBox = true;
        if (IsClass(child, L"Button") && ::IsWindowVisible(child))
            ++view.buttons;
    }
    view.okEnabled = IsOkEnabled(dialog);
    view.owner = ::GetWindow(dialog, GW_OWNER);
    view.preselected = TreeSelection(dialog) != nullptr;
    return view;
}

bool SelectPath(HWND dialog, const wchar_t* path)
{
    return SendSelection(dialog, TRUE, path, (std::wcslen(path) + 1) * sizeof(wchar_t));
}

bool SelectItemList(HWND dialog, LPCITEMIDLIST itemList)
{
    return SendSelection(dialog, FALSE, itemList, ::ILGetSize(itemList));
}

bool IsOkEnabled(HWND dialog)
{
    HWND ok = ::GetDlgItem(dialog, IDOK);
    return ok && ::IsWindowVisible(ok) && ::IsWindowEnabled(ok);
}

bool FinishDialog(HWND dialog, Finish how, DWORD timeoutMs)
{
    switch (how) {
    case Finish::Ok:
    case Finish::Cancel: {
        HWND button = ::GetDlgItem(dialog, how == Finish::Ok ? IDOK : IDCANCEL);
        if (!button || !::IsWindowVisible(button) || !::IsWindowEnabled(button))
            return false;
        // A click: the button tells the dialog itself, as under the mouse.
        if (!::PostMessageW(button, BM_CLICK, 0, 0))
            return false;
        break;
    }
    case Finish::ForcedOk:
        if (!::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0))
            return false;
        break;
    case Finish::CloseMessage:
        if (!::PostMessageW(dialog, WM_CLOSE, 0, 0))
            return false;
        break;
    case Finish::CloseCommand:
        if (!::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0))
            return false;
        break;
    }
    return WaitUntilGone(dialog, timeoutMs);
}

void DismissAll(DWORD processId)
{
    for (HWND dialog : TopLevelDialogs(processId))
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

} // namespace tallyfold::dialogtest
