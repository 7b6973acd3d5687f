// The shell's folder dialog, modal to the calling thread's active window.
#pragma once

#include "Owners.h"
#include "Tallyfold_h.h"

namespace tallyfold {

class CLCQRGetFolderPath {
public:
    explicit CLCQRGetFolderPath(CLIGetXmlResultQR* pResult);

    // Shows the dialog and reports the chosen folder, a cancel, or a failure.
    void GetFolderPath();

private:
    com_ptr<CLIGetXmlResultQR> m_pResult;
};

int CALLBACK BrowseFolderCallback(HWND hwnd, UINT uMsg, LPARAM lParam, LPARAM lpData);

} // namespace tallyfold
