// The service control manager on Windows.
#ifdef _WIN32

#include "servicehost.h"

namespace svchost {

namespace {
ServiceMainFunction s_main = nullptr;

void WINAPI serviceMainTrampoline(DWORD argc, LPSTR* argv) {
    s_main(static_cast<int>(argc), argv);
}
}  // namespace

bool startServiceDispatcher(const char* name, ServiceMainFunction serviceMain, int, char**) {
    s_main = serviceMain;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>(name), serviceMainTrampoline},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

SERVICE_STATUS_HANDLE registerControlHandler(const char* name, ControlHandlerFunction handler) {
    return RegisterServiceCtrlHandlerA(name, handler);
}

bool setServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
    SERVICE_STATUS copy = status;
    return SetServiceStatus(handle, &copy) != 0;
}

}  // namespace svchost

#endif
