/* The host header as a C host compiles it (strict C11): the records, the
 * codes and the entry point's declaration, with the layout assertions that
 * the header carries. */
#include "driver/driver_api.h"

int main(void) {
    PortContext context = {0};
    DriverRequest request = {0};
    DriverInfo info = {0};
    request.context = &context;
    request.operation = kOpDriverInfo;
    request.parameters = &info;
    return request.operation == 14 && sizeof(PortSettings) == 22 && kResultPortFailure == 2 ? 0 : 1;
}
