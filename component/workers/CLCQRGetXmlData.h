// Hands one stored file to the page.
#pragma once

#include "CLCQRReadXmlData.h"

namespace tallyfold {

class CLCQRGetXmlData {
public:
    explicit CLCQRGetXmlData(CLIGetXmlResultQR* pResult);

    // lIndex is known to name an entry of the store.
    void GetXmlData(std::int32_t lIndex, const XmlDataMap& store);

private:
    com_ptr<CLIGetXmlResultQR> m_pResult;
};

} // namespace tallyfold
