// Where a face listens: [ADDRESS:]PORT as its option gives it.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_LISTEN_ADDRESS_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_LISTEN_ADDRESS_H

#include <string>

// The address and port of `listen` ([ADDRESS:]PORT, [IPV6]:PORT; a bare
// port is 127.0.0.1's, so another interface is served only when named);
// false with the reason, headed by `option` ("--modbus-listen"), when it is
// not one.
bool ParseListenAddress(const std::string& option, const std::string& listen, std::string* address, int* port,
                        std::string* error);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_LISTEN_ADDRESS_H
