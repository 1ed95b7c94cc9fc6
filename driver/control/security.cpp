// The security step of a login, handed to the configuration tool.
//
// The hand-off through the tool's named login event arrives with the control requests; until then
// there is no tool to ask, and the step is approved at once.
#include "driver/engine/os_services.h"
#include "driver/runtime/runtime.h"

int iscsiOShandleSecurity(char* loginText, ULONG length, ULONG busNumber) {
    (void)loginText;
    Debug(DBG_CONTROL, "iscsiOShandleSecurity: no configuration tool, bus %u, length %u approved\n",
          busNumber, length);
    return 0;
}
