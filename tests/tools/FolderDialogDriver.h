// Plays the user at the component's folder dialog: finds it, looks at it, chooses a folder and
// presses a button or closes it. Works from another thread of the dialog's process and from
// another process alike (what the dialog must read is copied into the dialog's process).
// Every wait is bounded, so a test that goes wrong never hangs on an open dialog.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace tallyfold::dialogtest {

// The text the component shows in its dialog.
constexpr wchar_t kFolderDialogTitle[] = L"フォルダを選択してください";

// What a user sees of an open dialog.
struct DialogView {
    bool visible = false;
    bool foreground = false;     // the window that has the user's input
    HWND coveredBy = nullptr;    // the first visible window above it in the z-order, if any
    bool topmost = false;        // still in the band of topmost windows
    bool showsTitle = false;     // one of its controls shows kFolderDialogTitle
    bool hasEditBox = false;
    int buttons = 0;             // visible buttons
    bool okEnabled = false;
    HWND owner = nullptr;
    bool preselected = false;    // the folder tree had a selection when the dialog opened
};

// What a failed check prints.
std::string Describe(const DialogView& view);

enum class Finish {
    Ok,           // click OK (refused while OK is disabled, as for a user)
    ForcedOk,     // the OK command sent to the dialog whatever the button's state
    Cancel,       // click Cancel
    CloseMessage, // WM_CLOSE
    CloseCommand, // the window menu's Close (SC_CLOSE)
};

// The first visible folder dialog that shows kFolderDialogTitle, of the given process
// (0: of any process), or null once timeoutMs have passed.
HWND WaitForFolderDialog(DWORD processId, DWORD timeoutMs);

// Looks at the dialog; waits up to a few seconds for it to take the foreground.
DialogView Look(HWND dialog);

// Asks the dialog to select a folder, as BFFM_SETSELECTIONW with a path or an item list.
// True when the folder tree then has a selection.
bool SelectPath(HWND dialog, const wchar_t* path);
bool SelectItemList(HWND dialog, LPCITEMIDLIST itemList);

bool IsOkEnabled(HWND dialog);

// True once the dialog has gone.
bool FinishDialog(HWND dialog, Finish how, DWORD timeoutMs);

// After a failed check: cancels every dialog of the process (0: of any process), so that the
// call that opened it returns.
void DismissAll(DWORD processId);

} // namespace tallyfold::dialogtest
