#include "CLCQRGetXmlData.h"

#include "QRErrorTable.h"
#include "Report.h"

namespace tallyfold {

CLCQRGetXmlData::CLCQRGetXmlData(CLIGetXmlResultQR* pResult) : m_pResult(pResult) {}

void CLCQRGetXmlData::GetXmlData(std::int32_t lIndex, const XmlDataMap& store)
{
    static const char kFunction[] = "CLCQRGetXmlData::GetXmlData";
    try {
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_Result, kResultOk);
        const XmlDataEntry& entry = store.at(lIndex);
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_FileNameStr, entry.fileName);
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_FileDataStr, entry.fileData.get());
        HandOff(m_pResult.get());
    } catch (...) {
        TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
    }
}

} // namespace tallyfold
