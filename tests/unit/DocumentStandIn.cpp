// The document's interface has more than a hundred members, of which the origin lock reads one.
// This unit sees the interfaces in their C form, a table of pointers with a member for each, so
// that the stand-in fills in only those it answers.
#define CINTERFACE
#define CONST_VTABLE
#include "DocumentStandIn.h"

#include <windows.h>
#include <mshtml.h>
#include <oleauto.h>

#include <new>

namespace tftest {

namespace {

struct Document {
    IHTMLDocument2 iface; // first, so that the interface pointer is the object's
    LONG refs;
    BSTR url;
};

Document* Of(IHTMLDocument2* self)
{
    return reinterpret_cast<Document*>(self);
}

HRESULT STDMETHODCALLTYPE QueryInterface(IHTMLDocument2* self, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IDispatch) &&
        !::IsEqualIID(riid, IID_IHTMLDocument2))
        return E_NOINTERFACE;
    ::InterlockedIncrement(&Of(self)->refs);
    *ppv = self;
    return S_OK;
}

ULONG STDMETHODCALLTYPE AddRef(IHTMLDocument2* self)
{
    return static_cast<ULONG>(::InterlockedIncrement(&Of(self)->refs));
}

ULONG STDMETHODCALLTYPE Release(IHTMLDocument2* self)
{
    const LONG refs = ::InterlockedDecrement(&Of(self)->refs);
    if (refs == 0) {
        ::SysFreeString(Of(self)->url);
        delete Of(self);
    }
    return static_cast<ULONG>(refs);
}

HRESULT STDMETHODCALLTYPE GetUrl(IHTMLDocument2* self, BSTR* p)
{
    *p = ::SysAllocString(Of(self)->url);
    return *p ? S_OK : E_OUTOFMEMORY;
}

IHTMLDocument2Vtbl MakeTable()
{
    IHTMLDocument2Vtbl table{};
    table.QueryInterface = QueryInterface;
    table.AddRef = AddRef;
    table.Release = Release;
    table.get_URL = GetUrl;
    return table;
}

const IHTMLDocument2Vtbl kTable = MakeTable();

} // namespace

void* NewDocumentStandIn(const wchar_t* url)
{
    Document* document = new Document{{&kTable}, 1, ::SysAllocString(url)};
    return &document->iface;
}

} // namespace tftest
