// The release's signatures as Windows judges them: WinVerifyTrust with the Authenticode policy
// (WINTRUST_ACTION_GENERIC_VERIFY_V2), the check behind a download's warning and a publisher
// rule. The folder in TALLYFOLD_SIGNED holds, from fixture_release_signed: root.cer, the
// throwaway chain's root; signed\, the DLL and EXE signed with that chain; flipped\, the same
// with one byte changed; unsigned\, the files as built.
#include "TestBasics.h"

#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>
#include <vector>

namespace {

using tftest::EnvW;
using tftest::Hex;

struct cert_store_traits {
    using type = HCERTSTORE;
    static type invalid() noexcept { return nullptr; }
    static void close(type s) noexcept { ::CertCloseStore(s, 0); }
};
struct cert_context_traits {
    using type = PCCERT_CONTEXT;
    static type invalid() noexcept { return nullptr; }
    static void close(type c) noexcept { ::CertFreeCertificateContext(c); }
};
using unique_cert_store = tallyfold::unique_resource<cert_store_traits>;
using unique_cert = tallyfold::unique_resource<cert_context_traits>;

std::wstring Signed(const wchar_t* relative) { return EnvW(L"TALLYFOLD_SIGNED") + L"\\" + relative; }

// WinVerifyTrust's verdict on a file: no UI, no revocation check (the throwaway chain names no
// revocation service), the verification's state released again.
HRESULT Verdict(const std::wstring& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return static_cast<HRESULT>(verdict);
}

std::vector<BYTE> ReadAll(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    tallyfold::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return bytes;
    bytes.resize(::GetFileSize(file.get(), nullptr));
    DWORD read = 0;
    if (bytes.empty() || !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        bytes.clear();
    bytes.resize(read);
    return bytes;
}

// The throwaway root in the machine's trusted roots for as long as it lives, then taken out
// again, so that the prefix trusts nothing more after the test than before it.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::vector<BYTE>& der)
    {
        m_store.reset(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
        if (m_store && !der.empty())
            ::CertAddEncodedCertificateToStore(m_store.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, m_added.put());
    }
    ~TrustedRoot()
    {
        // CertDeleteCertificateFromStore frees the context it is given, whatever it returns.
        if (m_added)
            ::CertDeleteCertificateFromStore(m_added.release());
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;
    bool Added() const { return static_cast<bool>(m_added); }

private:
    unique_cert_store m_store;
    unique_cert m_added;
};

struct Row {
    const wchar_t* file;
    HRESULT expected;
    const char* why;
};

void ExpectVerdicts(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.why);
        const std::wstring path = Signed(row.file);
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path.c_str())) << "missing: " << std::string(path.begin(), path.end());
        EXPECT_EQ(Hex(row.expected), Hex(Verdict(path)));
    }
}

// Windows refuses a chain whose root it does not trust (CERT_E_UNTRUSTEDROOT). Wine 8's
// Authenticode policy does not say so reliably: in a new 64-bit prefix without the root, a
// program that only asks about these files got S_OK for both; a 32-bit process under qemu got
// S_OK for the first file and CERT_E_UNTRUSTEDROOT for the second. The refusal of a root that
// nobody trusts is therefore left to osslsigncode (check_release_signing); here the root is
// trusted, as a deployment's machines would trust their publisher's.
TEST(ReleaseTrust, SignedChangedAndUnsignedFiles)
{
    ASSERT_FALSE(EnvW(L"TALLYFOLD_SIGNED").empty()) << "TALLYFOLD_SIGNED is not set";
    TrustedRoot root(ReadAll(Signed(L"root.cer")));
    ASSERT_TRUE(root.Added()) << "the throwaway root could not be put into the machine's trusted roots: " << ::GetLastError();
    ExpectVerdicts({
        {L"signed\\Tallyfold.dll", S_OK, "signed DLL"},
        {L"signed\\Siteward.exe", S_OK, "signed EXE"},
        // One byte of the signed image changed: the image no longer has the digest signed
        // (Windows gives the same code).
        {L"flipped\\Tallyfold.dll", TRUST_E_BAD_DIGEST, "signed DLL, one byte changed"},
        {L"flipped\\Siteward.exe", TRUST_E_BAD_DIGEST, "signed EXE, one byte changed"},
        {L"unsigned\\Tallyfold.dll", TRUST_E_NOSIGNATURE, "DLL as built"},
        {L"unsigned\\Siteward.exe", TRUST_E_NOSIGNATURE, "EXE as built"},
    });
}

} // namespace
