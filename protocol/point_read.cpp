// Operation 5: read one point.
#include "driver/handlers.h"

int ReadPoint(DriverRequest*) { return kResultRefused; }
