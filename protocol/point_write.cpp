// Operation 7: write one point.
#include "driver/handlers.h"

int WritePoint(DriverRequest*) { return kResultRefused; }
