// The COM frame of the DLL, called the way the COM runtime and a script host call it:
// exports, class objects, lock accounting, aggregation, QueryInterface, IDispatch,
// ISupportErrorInfo, IObjectSafety and the result object's accessors.
#include "TestSupport.h"

#include <objsafe.h>

#include <vector>

using namespace tftest;

namespace {

void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));

class FrameTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_TRUE(dll.Loaded()) << "cannot load the DLL or find its four exports by name";
    }
    TallyfoldDll dll;
};

// A controlling object that counts the references the inner object passes on to it.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

struct ClassCase {
    const char* name;
    const CLSID* clsid;
    const IID* dual;
};
const ClassCase kClasses[] = {
    {"CLCGetXmlQR", &CLSID_CLCGetXmlQR, &IID_CLIGetXmlQR},
    {"CLCGetXmlResultQR", &CLSID_CLCGetXmlResultQR, &IID_CLIGetXmlResultQR},
};

} // namespace

TEST_F(FrameTest, ClassObjectsAreCachedAndLockTheModuleOnlyWhileAClientHoldsThem)
{
    EXPECT_HR(S_OK, dll.DllCanUnloadNow());
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<IClassFactory> first, second;
        ASSERT_HR(S_OK, dll.DllGetClassObject(*c.clsid, IID_IClassFactory, first.put_void()));
        EXPECT_HR(S_FALSE, dll.DllCanUnloadNow());
        ASSERT_HR(S_OK, dll.DllGetClassObject(*c.clsid, IID_IUnknown, second.put_void()));
        EXPECT_EQ(static_cast<IUnknown*>(first.get()), static_cast<IUnknown*>(second.get()));

        void* dispatch = kSentinel;
        EXPECT_HR(E_NOINTERFACE, dll.DllGetClassObject(*c.clsid, IID_IDispatch, &dispatch));
        EXPECT_EQ(nullptr, dispatch);

        EXPECT_HR(S_OK, first->LockServer(TRUE));
        first.reset();
        second.reset();
        EXPECT_HR(S_FALSE, dll.DllCanUnloadNow()) << "LockServer(TRUE) outstanding";
        com_ptr<IClassFactory> again;
        ASSERT_HR(S_OK, dll.DllGetClassObject(*c.clsid, IID_IClassFactory, again.put_void()));
        EXPECT_HR(S_OK, again->LockServer(FALSE));
        again.reset();
        EXPECT_HR(S_OK, dll.DllCanUnloadNow());
    }
}

TEST_F(FrameTest, DllGetClassObjectRefusesWhatItDoesNotServe)
{
    void* object = kSentinel;
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, dll.DllGetClassObject(IID_IDispatch, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_HR(E_POINTER, dll.DllGetClassObject(CLSID_CLCGetXmlQR, IID_IClassFactory, nullptr));
}

TEST_F(FrameTest, InstancesLockTheModuleUntilTheirLastRelease)
{
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<IClassFactory> factory;
        ASSERT_HR(S_OK, dll.DllGetClassObject(*c.clsid, IID_IClassFactory, factory.put_void()));

        EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
        void* wrong = kSentinel;
        EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &wrong));
        EXPECT_EQ(nullptr, wrong);

        com_ptr<IDispatch> instance;
        ASSERT_HR(S_OK, factory->CreateInstance(nullptr, *c.dual, instance.put_void()));
        factory.reset();
        EXPECT_HR(S_FALSE, dll.DllCanUnloadNow());
        instance.reset();
        EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "the refused instance or the live one leaked a lock";
    }
}

TEST_F(FrameTest, AggregatedInstancesDelegateToTheControllingUnknown)
{
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<IClassFactory> factory;
        ASSERT_HR(S_OK, dll.DllGetClassObject(*c.clsid, IID_IClassFactory, factory.put_void()));
        Outer outer;
        void* refused = kSentinel;
        EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &refused));
        EXPECT_EQ(nullptr, refused);

        IUnknown* inner = nullptr;
        ASSERT_HR(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
        factory.reset();
        EXPECT_EQ(1u, outer.refs) << "creating the inner object must not hold the outer";

        IUnknown* innerAgain = nullptr;
        ASSERT_HR(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)));
        EXPECT_EQ(inner, innerAgain);
        innerAgain->Release();

        IDispatch* dispatch = nullptr;
        ASSERT_HR(S_OK, inner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
        EXPECT_EQ(2u, outer.refs) << "an interface from the inner object counts on the outer one";
        dispatch->AddRef();
        EXPECT_EQ(3u, outer.refs);
        IUnknown* viaOuter = nullptr;
        ASSERT_HR(S_OK, dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaOuter)));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), viaOuter) << "QueryInterface of the inner's interfaces goes to the outer";
        viaOuter->Release();
        dispatch->Release();
        dispatch->Release();
        EXPECT_EQ(1u, outer.refs);

        EXPECT_HR(S_FALSE, dll.DllCanUnloadNow());
        EXPECT_EQ(0u, inner->Release());
        EXPECT_HR(S_OK, dll.DllCanUnloadNow());
    }
}

TEST_F(FrameTest, QueryInterfaceAnswersFromTheInterfaceTable)
{
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<IUnknown> unknown;
        ASSERT_HR(S_OK, dll.Create(*c.clsid, IID_IUnknown, unknown));
        com_ptr<IUnknown> dual, dispatch, errorInfo, safety;
        ASSERT_HR(S_OK, unknown.query(*c.dual, dual));
        ASSERT_HR(S_OK, unknown.query(IID_IDispatch, dispatch));
        ASSERT_HR(S_OK, unknown.query(IID_ISupportErrorInfo, errorInfo));
        ASSERT_HR(S_OK, unknown.query(IID_IObjectSafety, safety));
        EXPECT_EQ(unknown.get(), dual.get());
        EXPECT_EQ(unknown.get(), dispatch.get());
        EXPECT_NE(unknown.get(), errorInfo.get());

        for (const IID* absent : {&IID_IClassFactory, &IID_IPersist, &IID_IProvideClassInfo, &IID_IConnectionPointContainer}) {
            void* object = kSentinel;
            EXPECT_HR(E_NOINTERFACE, unknown->QueryInterface(*absent, &object));
            EXPECT_EQ(nullptr, object);
        }
        EXPECT_HR(E_POINTER, unknown->QueryInterface(IID_IDispatch, nullptr));
    }
}

TEST_F(FrameTest, SupportErrorInfoNamesOnlyTheClassesOwnInterface)
{
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<ISupportErrorInfo> info;
        ASSERT_HR(S_OK, dll.Create(*c.clsid, IID_ISupportErrorInfo, info));
        EXPECT_HR(S_OK, info->InterfaceSupportsErrorInfo(*c.dual));
        EXPECT_HR(S_FALSE, info->InterfaceSupportsErrorInfo(IID_IDispatch));
        EXPECT_HR(S_FALSE, info->InterfaceSupportsErrorInfo(c.dual == &IID_CLIGetXmlQR ? IID_CLIGetXmlResultQR : IID_CLIGetXmlQR));
    }
}

TEST_F(FrameTest, ObjectSafetyIsOneOptionsWordPerObject)
{
    for (const ClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        com_ptr<IObjectSafety> safety, other;
        ASSERT_HR(S_OK, dll.Create(*c.clsid, IID_IObjectSafety, safety));
        ASSERT_HR(S_OK, dll.Create(*c.clsid, IID_IObjectSafety, other));

        DWORD supported = 99, enabled = 99;
        ASSERT_HR(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
        EXPECT_EQ(3u, supported);
        EXPECT_EQ(0u, enabled);

        EXPECT_HR(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4));
        EXPECT_HR(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IClassFactory, 3, 3));
        EXPECT_HR(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IClassFactory, 4, 4));
        ASSERT_HR(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
        EXPECT_EQ(0u, enabled) << "a refused set leaves the options alone";

        ASSERT_HR(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3));
        for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, c.dual, &IID_ISupportErrorInfo, &IID_IObjectSafety}) {
            supported = enabled = 99;
            ASSERT_HR(S_OK, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled));
            EXPECT_EQ(3u, enabled);
        }
        ASSERT_HR(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0));
        ASSERT_HR(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
        EXPECT_EQ(2u, enabled) << "only the masked bit changes";

        ASSERT_HR(S_OK, other->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
        EXPECT_EQ(0u, enabled) << "another object keeps its own options";

        supported = enabled = 99;
        EXPECT_HR(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled));
        EXPECT_EQ(0u, supported);
        EXPECT_EQ(0u, enabled);
        supported = 99;
        EXPECT_HR(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
        EXPECT_EQ(99u, supported) << "nothing is written when an out-pointer is null";
        EXPECT_HR(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
    }
}

TEST_F(FrameTest, DispatchResolvesNamesThroughTheRegisteredTypeLibrary)
{
    com_ptr<IDispatch> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_IDispatch, control));

    UINT count = 99;
    EXPECT_HR(S_OK, control->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_HR(E_POINTER, control->GetTypeInfoCount(nullptr));
    EXPECT_HR(DISP_E_BADINDEX, control->GetTypeInfo(1, 0, nullptr)) << "the index is tested first";
    EXPECT_HR(E_POINTER, control->GetTypeInfo(0, 0, nullptr));
    com_ptr<ITypeInfo> info;
    ASSERT_HR(S_OK, control->GetTypeInfo(0, 0, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_HR(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(IID_CLIGetXmlQR, attr->guid));
    info->ReleaseTypeAttr(attr);

    struct NameCase {
        const wchar_t* name;
        HRESULT hr;
        DISPID id;
    };
    const NameCase cases[] = {
        {L"GetFolderPath", S_OK, 1}, {L"ReadXmlData", S_OK, 2}, {L"GetXmlData", S_OK, 3},
        {L"ClearXmlData", S_OK, 4},  {L"CsvWrite", S_OK, 5},    {L"readxmldata", S_OK, 2},
        {L"CSVWRITE", S_OK, 5},      {L"ReadXmlDat", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
        {L"Result", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
    };
    for (const NameCase& c : cases) {
        LPOLESTR name = const_cast<LPOLESTR>(c.name);
        DISPID id = 12345;
        EXPECT_HR(c.hr, control->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) << c.name;
        if (c.hr == S_OK) {
            EXPECT_EQ(c.id, id) << c.name;
        }
    }

    com_ptr<IDispatch> result;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_IDispatch, result));
    const wchar_t* properties[] = {L"Result", L"DetailErrorInfo", L"SelectFolderPath", L"FileNameStr", L"FileDataStr", L"DataNum"};
    for (DISPID expected = 1; expected <= 6; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(properties[expected - 1]);
        DISPID id = 0;
        EXPECT_HR(S_OK, result->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) << properties[expected - 1];
        EXPECT_EQ(expected, id) << properties[expected - 1];
    }
}

TEST_F(FrameTest, ResultObjectKeepsStringsAsTheAccessorsDescribe)
{
    com_ptr<CLIGetXmlResultQR> result;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result));

    CLIGetXmlResultQR* r = result.get();
    for (const ResultProperty& p : kResultProperties) {
        SCOPED_TRACE(p.name);
        unique_bstr value;
        ASSERT_HR(S_OK, (r->*p.get)(value.put()));
        ASSERT_NE(nullptr, value.get()) << "a fresh object holds empty strings, not null";
        EXPECT_EQ(0u, ::SysStringLen(value.get()));

        unique_bstr text = Bstr(L"\u8a3c\u660e\u66f8 1");
        ASSERT_HR(S_OK, (r->*p.put)(text.get()));
        ASSERT_HR(S_OK, (r->*p.get)(value.put()));
        EXPECT_EQ(L"\u8a3c\u660e\u66f8 1", Str(value.get()));
        EXPECT_NE(text.get(), value.get()) << "the getter hands out a copy";

        const wchar_t withNul[] = {L'a', L'b', 0, L'c', L'd'};
        unique_bstr embedded = BstrLen(withNul, 5);
        ASSERT_HR(S_OK, (r->*p.put)(embedded.get()));
        ASSERT_HR(S_OK, (r->*p.get)(value.put()));
        EXPECT_EQ(L"ab", Str(value.get())) << "the put reads up to the first NUL";

        ASSERT_HR(S_OK, (r->*p.put)(nullptr));
        value.reset(::SysAllocString(L"x"));
        ASSERT_HR(S_OK, (r->*p.get)(value.put()));
        EXPECT_EQ(nullptr, value.get());

        EXPECT_HR(E_POINTER, (r->*p.get)(nullptr));
    }
}

TEST_F(FrameTest, DispatchPutOfANumberStoresItsText)
{
    com_ptr<IDispatch> result;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_IDispatch, result));
    VARIANT number;
    ::VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 42;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&number, &named, 1, 1};
    ASSERT_HR(S_OK, result->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr));
    VARIANT got;
    ::VariantInit(&got);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ASSERT_HR(S_OK, result->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &got, nullptr, nullptr));
    ASSERT_EQ(VT_BSTR, got.vt);
    EXPECT_EQ(L"42", Str(got.bstrVal));
    ::VariantClear(&got);
}

TEST_F(FrameTest, ControlMethodsRefuseANullOutPointer)
{
    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    unique_bstr path = Bstr(L"C:\\");
    EXPECT_HR(E_POINTER, control->GetFolderPath(nullptr));
    EXPECT_HR(E_POINTER, control->ReadXmlData(path.get(), 1, nullptr));
    EXPECT_HR(E_POINTER, control->GetXmlData(1, nullptr));
    EXPECT_HR(E_POINTER, control->ClearXmlData(nullptr));
    EXPECT_HR(E_POINTER, control->CsvWrite(path.get(), path.get(), nullptr));
}

// What a page cannot pass from script: null strings through the vtable.
TEST_F(FrameTest, ControlReportsNullStringsInTheResultObject)
{
    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    struct Case {
        const char* name;
        HRESULT (*call)(CLIGetXmlQR*, IDispatch**);
        const wchar_t* code;
    };
    const Case cases[] = {
        {"ReadXmlData(null)", [](CLIGetXmlQR* c, IDispatch** out) { return c->ReadXmlData(nullptr, 5, out); }, L"QR10003E"},
        {"CsvWrite(null, text)",
         [](CLIGetXmlQR* c, IDispatch** out) {
             unique_bstr text = Bstr(L"a,b");
             return c->CsvWrite(nullptr, text.get(), out);
         },
         L"QR10006E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        com_ptr<IDispatch> out;
        ASSERT_HR(S_OK, c.call(control.get(), out.put()));
        com_ptr<CLIGetXmlResultQR> result;
        ASSERT_HR(S_OK, out.query(IID_CLIGetXmlResultQR, result));
        EXPECT_EQ(L"E_FAIL", ReadProperty(result.get(), &CLIGetXmlResultQR::get_Result));
        EXPECT_EQ(c.code, ReadProperty(result.get(), &CLIGetXmlResultQR::get_DetailErrorInfo));
    }
}

TEST_F(FrameTest, EveryCallHandsOutOneReferenceAndTheResultOutlivesTheControl)
{
    com_ptr<CLIGetXmlQR> control;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
    std::vector<IDispatch*> handedOut;
    unique_bstr blank = Bstr(L" \u3000\t");
    for (int i = 0; i < 3; ++i) {
        IDispatch* out = nullptr;
        ASSERT_HR(S_OK, control->ClearXmlData(&out));
        handedOut.push_back(out);
        ASSERT_HR(S_OK, control->GetXmlData(i, &out));
        handedOut.push_back(out);
        ASSERT_HR(S_OK, control->ReadXmlData(blank.get(), 1, &out));
        handedOut.push_back(out);
    }
    for (IDispatch* out : handedOut)
        EXPECT_EQ(handedOut[0], out) << "every method returns the control's one result object";

    control.reset();
    // The control's own reference is gone; the page's nine remain.
    com_ptr<CLIGetXmlResultQR> result;
    ASSERT_HR(S_OK, handedOut[0]->QueryInterface(IID_CLIGetXmlResultQR, result.put_void()));
    unique_bstr code;
    ASSERT_HR(S_OK, result->get_DetailErrorInfo(code.put()));
    EXPECT_EQ(L"QR10003E", Str(code.get())) << "the last call's values stay readable";
    result.reset();
    for (IDispatch* out : handedOut)
        out->Release();
    EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "a reference was handed out twice or leaked";
}
