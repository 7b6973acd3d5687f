// The type library embedded in the DLL is the page's contract: names, identifiers, DISPIDs,
// parameter names and types, flags and the Japanese help strings read back under code page
// 932. Checked on the DLL under test and, where it is given, on the 32-bit deliverable.
#include "TestSupport.h"

#include <vector>

using namespace tftest;

namespace {

struct Param {
    const wchar_t* name; // null: the put accessor's unnamed value
    VARTYPE vt;          // VT_PTR for IDispatch** / BSTR*
    USHORT flags;
};

struct Member {
    const wchar_t* name;
    MEMBERID id;
    INVOKEKIND kind;
    const wchar_t* help;
    std::vector<Param> params;
};

struct Interface {
    const wchar_t* name;
    const IID* iid;
    const wchar_t* help;
    std::vector<Member> members;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

std::vector<Member> Methods()
{
    const Param result = {L"pResultInfo", VT_PTR, kRetval};
    return {
        {L"GetFolderPath", 1, INVOKE_FUNC, L"\u30e1\u30bd\u30c3\u30c9 GetFolderPath", {result}},
        {L"ReadXmlData", 2, INVOKE_FUNC, L"\u30e1\u30bd\u30c3\u30c9 ReadXmlData",
         {{L"bstrFolderPath", VT_BSTR, kIn}, {L"lMaxFileNum", VT_I4, kIn}, result}},
        {L"GetXmlData", 3, INVOKE_FUNC, L"\u30e1\u30bd\u30c3\u30c9 GetXmlData", {{L"lIndex", VT_I4, kIn}, result}},
        {L"ClearXmlData", 4, INVOKE_FUNC, L"\u30e1\u30bd\u30c3\u30c9 ClearXmlData", {result}},
        {L"CsvWrite", 5, INVOKE_FUNC, L"\u30e1\u30bd\u30c3\u30c9 CsvWrite",
         {{L"bstrCsvPathName", VT_BSTR, kIn}, {L"bstrWriteData", VT_BSTR, kIn}, result}},
    };
}

std::vector<Member> Properties()
{
    std::vector<Member> members;
    const wchar_t* names[] = {L"Result", L"DetailErrorInfo", L"SelectFolderPath", L"FileNameStr", L"FileDataStr", L"DataNum"};
    for (MEMBERID id = 1; id <= 6; ++id) {
        members.push_back({names[id - 1], id, INVOKE_PROPERTYGET, nullptr, {{L"pVal", VT_PTR, kRetval}}});
        members.push_back({names[id - 1], id, INVOKE_PROPERTYPUT, nullptr, {{nullptr, VT_BSTR, kIn}}});
    }
    return members;
}

std::wstring PropertyHelp(const wchar_t* name)
{
    return L"\u30d7\u30ed\u30d1\u30c6\u30a3 " + std::wstring(name);
}

std::wstring Doc(ITypeInfo* info, MEMBERID id, std::wstring* help = nullptr)
{
    unique_bstr name, doc;
    if (FAILED(info->GetDocumentation(id, name.put(), doc.put(), nullptr, nullptr)))
        return L"<failed>";
    if (help)
        *help = Str(doc.get());
    return Str(name.get());
}

void CheckInterface(ITypeInfo* dispatchInfo, const Interface& expected)
{
    SCOPED_TRACE(::testing::Message() << "interface " << std::string(expected.name, expected.name + wcslen(expected.name)));
    TYPEATTR* attr = nullptr;
    ASSERT_HR(S_OK, dispatchInfo->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(*expected.iid, attr->guid));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
    EXPECT_EQ(0, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    dispatchInfo->ReleaseTypeAttr(attr);
    std::wstring help;
    EXPECT_EQ(expected.name, Doc(dispatchInfo, MEMBERID_NIL, &help));
    EXPECT_EQ(expected.help, help);

    // The dual interface's vtable side lists exactly the members, in vtable order.
    HREFTYPE ref = 0;
    ASSERT_HR(S_OK, dispatchInfo->GetRefTypeOfImplType(-1, &ref));
    com_ptr<ITypeInfo> info;
    ASSERT_HR(S_OK, dispatchInfo->GetRefTypeInfo(ref, info.put()));
    ASSERT_HR(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
    const int count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    ASSERT_EQ(static_cast<int>(expected.members.size()), count);

    for (int i = 0; i < count; ++i) {
        const Member& m = expected.members[i];
        SCOPED_TRACE(::testing::Message() << "member " << i);
        FUNCDESC* desc = nullptr;
        ASSERT_HR(S_OK, info->GetFuncDesc(i, &desc));
        EXPECT_EQ(m.id, desc->memid);
        EXPECT_EQ(m.kind, desc->invkind);
        EXPECT_EQ(FUNC_PUREVIRTUAL, desc->funckind);
        EXPECT_EQ(CC_STDCALL, desc->callconv);
        EXPECT_EQ(0, desc->wFuncFlags);
        EXPECT_EQ(0, desc->cParamsOpt);
        EXPECT_EQ(VT_HRESULT, desc->elemdescFunc.tdesc.vt);
        EXPECT_EQ(static_cast<short>(7 + i), desc->oVft / static_cast<short>(sizeof(void*)));
        ASSERT_EQ(static_cast<int>(m.params.size()), desc->cParams);

        BSTR names[8] = {};
        UINT got = 0;
        ASSERT_HR(S_OK, info->GetNames(desc->memid, names, 8, &got));
        // A property's get and put share one name list; GetNames answers for the first.
        EXPECT_EQ(m.name, Str(names[0]));
        for (int p = 0; p < desc->cParams; ++p) {
            const Param& want = m.params[p];
            const ELEMDESC& e = desc->lprgelemdescParam[p];
            EXPECT_EQ(want.vt, e.tdesc.vt) << "param " << p;
            EXPECT_EQ(want.flags, e.paramdesc.wParamFlags) << "param " << p;
            if (want.vt == VT_PTR && want.flags == kRetval) {
                const VARTYPE target = e.tdesc.lptdesc->vt;
                if (m.kind == INVOKE_FUNC) {
                    EXPECT_EQ(VT_DISPATCH, target) << "IDispatch** (VT_DISPATCH is the interface pointer)";
                } else {
                    EXPECT_EQ(VT_BSTR, target) << "BSTR*";
                }
            }
            if (want.name && m.kind != INVOKE_PROPERTYPUT) {
                EXPECT_EQ(want.name, (1 + p) < static_cast<int>(got) ? Str(names[1 + p]) : L"<none>") << "param " << p;
            }
        }
        for (UINT n = 0; n < got; ++n)
            ::SysFreeString(names[n]);
        info->ReleaseFuncDesc(desc);

        std::wstring memberHelp;
        EXPECT_EQ(m.name, Doc(info.get(), m.id, &memberHelp));
        EXPECT_EQ(m.help ? std::wstring(m.help) : PropertyHelp(m.name), memberHelp);
    }
}

void CheckCoclass(ITypeInfo* info, const wchar_t* name, const CLSID& clsid, const IID& dual)
{
    TYPEATTR* attr = nullptr;
    ASSERT_HR(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_TRUE(::IsEqualGUID(clsid, attr->guid));
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attr->wTypeFlags);
    EXPECT_EQ(1, attr->cImplTypes);
    EXPECT_EQ(0, attr->wMajorVerNum);
    info->ReleaseTypeAttr(attr);
    std::wstring help;
    EXPECT_EQ(name, Doc(info, MEMBERID_NIL, &help));
    EXPECT_EQ(std::wstring(name) + L" Class", help);
    INT implFlags = 0;
    ASSERT_HR(S_OK, info->GetImplTypeFlags(0, &implFlags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implFlags);
    HREFTYPE ref = 0;
    ASSERT_HR(S_OK, info->GetRefTypeOfImplType(0, &ref));
    com_ptr<ITypeInfo> impl;
    ASSERT_HR(S_OK, info->GetRefTypeInfo(ref, impl.put()));
    ASSERT_HR(S_OK, impl->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(dual, attr->guid));
    impl->ReleaseTypeAttr(attr);
}

void CheckLibrary(const std::wstring& path)
{
    com_ptr<ITypeLib> lib;
    ASSERT_HR(S_OK, ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put()));
    TLIBATTR* attr = nullptr;
    ASSERT_HR(S_OK, lib->GetLibAttr(&attr));
    const GUID libid = {0x7ED64AC5, 0x8942, 0x43D4, {0x88, 0x22, 0x0C, 0xB1, 0x53, 0x84, 0x3A, 0xF3}};
    EXPECT_TRUE(::IsEqualGUID(libid, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0u, attr->lcid);
    EXPECT_EQ(SYS_WIN32, attr->syskind);
    // The loader marks a library read from a file; no other flag (restricted, control, hidden).
    EXPECT_EQ(0, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
    lib->ReleaseTLibAttr(attr);

    unique_bstr name, help, helpFile;
    ASSERT_HR(S_OK, lib->GetDocumentation(-1, name.put(), help.put(), nullptr, helpFile.put()));
    EXPECT_EQ(L"TallyfoldLib", Str(name.get()));
    EXPECT_EQ(L"Tallyfold 1.0 \u30bf\u30a4\u30d7 \u30e9\u30a4\u30d6\u30e9\u30ea", Str(help.get()));
    EXPECT_EQ(nullptr, helpFile.get());

    ASSERT_EQ(4u, lib->GetTypeInfoCount());
    const wchar_t* order[] = {L"CLCGetXmlQR", L"CLIGetXmlQR", L"CLCGetXmlResultQR", L"CLIGetXmlResultQR"};
    std::vector<com_ptr<ITypeInfo>> infos(4);
    for (UINT i = 0; i < 4; ++i) {
        ASSERT_HR(S_OK, lib->GetTypeInfo(i, infos[i].put()));
        EXPECT_EQ(order[i], Doc(infos[i].get(), MEMBERID_NIL)) << "type " << i;
    }
    CheckCoclass(infos[0].get(), L"CLCGetXmlQR", CLSID_CLCGetXmlQR, IID_CLIGetXmlQR);
    CheckInterface(infos[1].get(), {L"CLIGetXmlQR", &IID_CLIGetXmlQR, L"CLIGetXmlQR \u30a4\u30f3\u30bf\u30fc\u30d5\u30a7\u30a4\u30b9", Methods()});
    CheckCoclass(infos[2].get(), L"CLCGetXmlResultQR", CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR);
    CheckInterface(infos[3].get(), {L"CLIGetXmlResultQR", &IID_CLIGetXmlResultQR,
                                    L"CLIGetXmlResultQR \u30a4\u30f3\u30bf\u30fc\u30d5\u30a7\u30a4\u30b9", Properties()});
}

} // namespace

// The DLL under test and, in a run whose DLL under test is another build, the 32-bit
// deliverable as well.
static std::vector<std::wstring> DllsToCheck()
{
    std::vector<std::wstring> dlls = {EnvW(L"TALLYFOLD_DLL")};
    const std::wstring deliverable = EnvW(L"TALLYFOLD_DELIVERABLE_DLL");
    if (!deliverable.empty() && deliverable != dlls.front())
        dlls.push_back(deliverable);
    return dlls;
}

TEST_F(ComTest, TypeLibrary)
{
    for (const std::wstring& dll : DllsToCheck()) {
        SCOPED_TRACE(testing::PrintToString(dll));
        CheckLibrary(dll);
    }
}

namespace {

// The resources registration and the version tab read: the three scripts and the type
// library in Japanese, the component's name, version 2.0.0.0 for Japanese / code page 932.
void CheckResources(const std::wstring& path)
{
    tallyfold::unique_module image(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image) << "cannot open the image for its resources";
    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    for (int id : {101, 102, 103})
        EXPECT_NE(nullptr, ::FindResourceExW(image.get(), L"REGISTRY", MAKEINTRESOURCEW(id), japanese)) << "REGISTRY " << id;
    EXPECT_NE(nullptr, ::FindResourceExW(image.get(), L"TYPELIB", MAKEINTRESOURCEW(1), japanese));

    wchar_t name[64] = {};
    EXPECT_EQ(9, ::LoadStringW(image.get(), 100, name, 64));
    EXPECT_EQ(L"Tallyfold", std::wstring(name));

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 2), fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(0x0411, translation[0]);
    EXPECT_EQ(932, translation[1]);
}

} // namespace

TEST(Resources, OfTheDll)
{
    for (const std::wstring& dll : DllsToCheck()) {
        SCOPED_TRACE(testing::PrintToString(dll));
        CheckResources(dll);
    }
}
