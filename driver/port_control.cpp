// Port control: operations 1 (Open), 2 (Flush), 11 and 12 (Close),
// 13 (Reopen) and 15 (Reconfigure).
#include "driver/handlers.h"

int OpenPort(DriverRequest*) { return kResultRefused; }
int FlushPort(DriverRequest*) { return kResultRefused; }
int ClosePort(DriverRequest*) { return kResultRefused; }
int ReopenPort(DriverRequest*) { return kResultRefused; }
int ReconfigurePort(DriverRequest*) { return kResultRefused; }
