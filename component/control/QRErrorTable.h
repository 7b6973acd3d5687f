// The vocabulary in which every outcome reaches the page: result words, error codes with the
// messages a page shows for them, and the log messages that several units share.
#pragma once

#include <cstdint>

namespace tallyfold {

struct QRErrorEntry {
    std::int32_t nErrorNo;
    const wchar_t* pszErrorCode;
    const wchar_t* pszErrorMessage;
};

// Row n describes code "QR100nnE"; row 0 is "no error". An origin-locked build has one more.
#ifdef TALLYFOLD_ALLOWED_HOSTS
constexpr int QRErrorCount = 12;
#else
constexpr int QRErrorCount = 11;
#endif
extern const QRErrorEntry QRErrorTable[QRErrorCount];

// Result words.
constexpr wchar_t kResultOk[] = L"S_OK";
constexpr wchar_t kResultFalse[] = L"S_FALSE";
constexpr wchar_t kResultFail[] = L"E_FAIL";

// Error codes, as put into DetailErrorInfo.
constexpr wchar_t QR10001E[] = L"QR10001E"; // a file could not be read (empty, or access denied)
constexpr wchar_t QR10002E[] = L"QR10002E"; // more files than the caller allows
constexpr wchar_t QR10003E[] = L"QR10003E"; // unexpected error
constexpr wchar_t QR10004E[] = L"QR10004E"; // no file to read in the folder
constexpr wchar_t QR10005E[] = L"QR10005E"; // total size too large
constexpr wchar_t QR10006E[] = L"QR10006E"; // no output file name
constexpr wchar_t QR10007E[] = L"QR10007E"; // output extension not .csv
constexpr wchar_t QR10008E[] = L"QR10008E"; // output folder missing
constexpr wchar_t QR10009E[] = L"QR10009E"; // no access to the output file
constexpr wchar_t QR10010E[] = L"QR10010E"; // writing the output file failed
#ifdef TALLYFOLD_ALLOWED_HOSTS
constexpr wchar_t QR10011E[] = L"QR10011E"; // called from a page outside the allowed origins
#endif

// Log messages shared by several units (code page 932 text).
extern const char kLogInvalidPointer[];     // 無効なポインタが渡されました。
extern const char kLogCreateResultFailed[]; // CLCGetXmlResultQR の作成に失敗しました。
extern const char kLogUnexpectedException[]; // 予期せぬ例外が発生しました。
extern const char kLogUnexpectedError[];    // 想定しないエラーが発生しました。
#ifdef TALLYFOLD_ALLOWED_HOSTS
extern const char kLogRefusedOrigin[];      // 許可されていないページからの呼び出しです。
#endif

} // namespace tallyfold
