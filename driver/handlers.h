// The operation handlers of QmxMain's table and the state they share.
#ifndef TZ52DRV_DRIVER_HANDLERS_H
#define TZ52DRV_DRIVER_HANDLERS_H

#include "driver/driver_api.h"

// Every handler takes the whole request and returns a DriverResult code.
typedef int (*OperationHandler)(DriverRequest* request);

// The PortContext of the call in progress, recorded by QmxMain before it
// dispatches. It stays recorded after the call; the frame codec reaches the
// port through it.
extern PortContext* g_currentContext;

// Port control (operations 1, 2, 11 and 12, 13, 15).
int OpenPort(DriverRequest* request);
int FlushPort(DriverRequest* request);
int ClosePort(DriverRequest* request);
int ReopenPort(DriverRequest* request);
int ReconfigurePort(DriverRequest* request);

// Point addresses (operation 3).
int CheckPointAddress(DriverRequest* request);

// Point reads and writes (operations 5 and 7).
int ReadPoint(DriverRequest* request);
int WritePoint(DriverRequest* request);

// Description of the driver (operation 14) and the refused operations.
int DescribeDriver(DriverRequest* request);
int RefuseOperation(DriverRequest* request);

// "KORVEL, ": the name DriverInfo hands the host.
extern const char kDriverName[];

#endif  // TZ52DRV_DRIVER_HANDLERS_H
