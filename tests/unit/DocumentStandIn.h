// A page's document as a browser's site hands it out to an object that the page's script
// creates: of its members, only its URL is ever read.
#pragma once

namespace tftest {

// A new document whose URL is url, as its IHTMLDocument2 with one reference, which the caller
// owns (an IUnknown* to cast back to). Every member but the URL and IUnknown's is left empty.
void* NewDocumentStandIn(const wchar_t* url);

} // namespace tftest
