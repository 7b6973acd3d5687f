// Resource identifiers of Tallyfold.dll.
#pragma once

#define IDS_PROJNAME 100
#define IDR_APPID 101
#define IDR_CLCGETXMLQR 102
#define IDR_CLCGETXMLRESULTQR 103
