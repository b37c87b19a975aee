// Operation 3: validate and parse an eight-character point address.
#include "driver/handlers.h"

int CheckPointAddress(DriverRequest*) { return kResultRefused; }
