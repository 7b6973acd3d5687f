#include "QRErrorTable.h"

namespace tallyfold {

const QRErrorEntry QRErrorTable[QRErrorCount] = {
    {0, L"", L""},
    {1, QR10001E, L"証明書等（XMLデータ）を正しく読み込むことができませんでした。"},
    {2, QR10002E, L"証明書等（XMLデータ）の合計が１００ページを超えているため、QRコード付証明書等を作成することができません。"},
    {3, QR10003E, L"想定しないエラーが発生しました。"},
    {4, QR10004E, L"ファイルが存在しないなどの理由により、読み込むことができません。正しいフォルダを選択してください。"},
    {5, QR10005E, L"ファイルの合計サイズが大きすぎる為、読み込むことができません。"},
    {6, QR10006E, L"ファイル名を指定してください。"},
    {7, QR10007E, L"指定されたファイル名の拡張子に誤りがあります。<br>「.csv」「.CSV」形式のファイル名を指定してください。"},
    {8, QR10008E, L"出力先フォルダが存在しません。"},
    {9, QR10009E, L"ファイルへのアクセス権がありません。"},
    {10, QR10010E, L"ファイルの書き込みに失敗しました。"},
#ifdef TALLYFOLD_ALLOWED_HOSTS
    {11, QR10011E, L"許可されていないページから呼び出されたため、処理できません。"},
#endif
};

const char kLogInvalidPointer[] = "無効なポインタが渡されました。";
const char kLogCreateResultFailed[] = "CLCGetXmlResultQR の作成に失敗しました。";
const char kLogUnexpectedException[] = "予期せぬ例外が発生しました。";
const char kLogUnexpectedError[] = "想定しないエラーが発生しました。";
#ifdef TALLYFOLD_ALLOWED_HOSTS
const char kLogRefusedOrigin[] = "許可されていないページからの呼び出しです。";
#endif

} // namespace tallyfold
