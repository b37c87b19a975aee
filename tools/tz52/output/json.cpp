// The JSON pieces the commands share: the port, one point, one document.
#include "tools/tz52/output/json.h"

#include <cstdio>

void AddPortJson(Json* document, const PortSetup& setup) {
    (*document)["port"] = setup.name;
    (*document)["line"] = DescribeLine(setup.line);
    (*document)["readTimeout"] = setup.readTimeout;
}

Json PointJson(const std::string& address, int result, const char* valueName, uint16_t value,
               const std::string& failure) {
    Json point = Json::object();
    point["address"] = address;
    point["result"] = result;
    if (valueName != nullptr) point[valueName] = value;
    if (!failure.empty()) point["error"] = failure;
    return point;
}

void PrintJson(const Json& document) {
    const std::string text = JsonText(document);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}
