#include "CLCQRGetFolderPath.h"

#include "QRErrorTable.h"
#include "Report.h"

#include <shlobj.h>

namespace tallyfold {

namespace {

const wchar_t kDialogTitle[] = L"フォルダを選択してください";

} // namespace

CLCQRGetFolderPath::CLCQRGetFolderPath(CLIGetXmlResultQR* pResult) : m_pResult(pResult) {}

void CLCQRGetFolderPath::GetFolderPath()
{
    static const char kFunction[] = "CLCGetXmlQR::GetFolderPath";
    try {
        // Receives the dialog's display name, then the chosen folder's path.
        wchar_t szPath[MAX_PATH] = {};

        BROWSEINFOW info = {};
        info.hwndOwner = ::GetActiveWindow(); // null when the thread has no active window
        info.pidlRoot = nullptr;              // the whole namespace, from the desktop down
        info.pszDisplayName = szPath;
        info.lpszTitle = kDialogTitle;
        // OK accepts file-system folders only; no edit box, no new-folder button.
        info.ulFlags = BIF_RETURNONLYFSDIRS;
        info.lpfn = BrowseFolderCallback;
        info.lParam = 0;
        info.iImage = 0;

        // The item list is freed when this owner goes, on every path, exactly once.
        unique_cotaskmem_ptr<ITEMIDLIST> chosen(::SHBrowseForFolderW(&info));
        if (!chosen) {
            // Cancel and close are no failure: nothing is logged and no code is set.
            ReportWord(m_pResult.get(), kResultFalse);
            return;
        }
        if (!::SHGetPathFromIDListW(chosen.get(), szPath)) {
            // Only a virtual item (no file-system path) gets here: the dialog's flag keeps a
            // user from choosing one, so it is treated as the unexpected failure it is.
            chosen.reset();
            TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
            return;
        }
        chosen.reset();
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_Result, kResultOk);
        // The path as the platform gives it: a drive root keeps its backslash, others have none.
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_SelectFolderPath, szPath);
        HandOff(m_pResult.get());
    } catch (...) {
        TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
    }
}

int CALLBACK BrowseFolderCallback(HWND hwnd, UINT uMsg, LPARAM /*lParam*/, LPARAM lpData)
{
    if (uMsg != BFFM_INITIALIZED)
        return 0;
    // The application value is the description's 0, so this names no folder: every dialog
    // opens with nothing preselected, whatever an earlier call chose.
    ::SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, lpData);
    // Raised above every window, the browser's included, then made an ordinary window again
    // so that it stays in front without hiding what the user switches to next.
    ::SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    return 0;
}

} // namespace tallyfold
