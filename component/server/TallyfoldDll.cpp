// The four exports and the entry point of Tallyfold.dll.
#include "DiagnosticLog.h"
#include "ProcessEnd.h"
#include "TallyfoldModule.h"

using tallyfold::Module;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // When the process is ending, its other threads were stopped wherever they stood, perhaps
    // inside the log's lock or an allocation: whatever the notification did then could wait
    // for them for ever. This notification touches nothing, and the static destructors that the
    // C runtime runs after it do nothing either: the process's end frees it all.
    if (reason == DLL_PROCESS_DETACH && reserved) {
        tallyfold::NoteProcessEnding();
        return TRUE;
    }
    // The log's switch is read on every notification, so a thread started after the
    // variable appeared also turns it on.
    tallyfold::InitLogOutput();
    if (reason == DLL_PROCESS_ATTACH && tallyfold::StartupFailed())
        return FALSE;
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return Module().DllCanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return Module().DllGetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return Module().DllRegisterServer();
}

STDAPI DllUnregisterServer()
{
    return Module().DllUnregisterServer();
}
