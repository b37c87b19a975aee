#include "tools/tz52/bridge/core/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"

namespace {

constexpr uint64_t kLargestTcpPort = 65535;

}  // namespace

bool ParseListenAddress(const std::string& option, const std::string& listen, std::string* address, int* port,
                        std::string* error) {
    const std::string shown = option + " " + Quoted(listen);
    std::string host = "127.0.0.1";
    std::string portText = listen;
    const size_t colon = listen.rfind(':');
    if (colon != std::string::npos) {
        host = listen.substr(0, colon);
        portText = listen.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    }
    uint64_t number = 0;
    if (!ParseWholeNumber(portText, kLargestTcpPort, &number) || number == 0) {
        *error = shown + ": give [ADDRESS:]PORT, a TCP port 1 to " + std::to_string(kLargestTcpPort);
        return false;
    }
    // Four dotted numbers or an IPv6 address, strictly: "10.1" would be
    // taken as 10.0.0.1 by the resolver.
    unsigned char bytes[sizeof(in6_addr)];
    const bool six = host.find(':') != std::string::npos;
    if (inet_pton(six ? AF_INET6 : AF_INET, host.c_str(), bytes) != 1) {
        *error = shown + ": " + Quoted(host) + " is not an IP address (such as 0.0.0.0, 192.168.1.20 or [::1])";
        return false;
    }
    *address = host;
    *port = static_cast<int>(number);
    return true;
}
