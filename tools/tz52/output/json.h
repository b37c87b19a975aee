// The one JSON type of the tools' documents and the one way to write it.
// Strings in them may come from outside (a broker's topic or payload, a
// file): writing must never throw on bytes that are not UTF-8, so such bytes
// are replaced (U+FFFD) instead.
#ifndef TZ52_TOOLS_TZ52_OUTPUT_JSON_H
#define TZ52_TOOLS_TZ52_OUTPUT_JSON_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "tools/tz52/host/driver_calls.h"

// Members stay in the order written.
using Json = nlohmann::ordered_json;

// One line of JSON text; never throws for any string content.
template <typename Document>
std::string JsonText(const Document& document) {
    return document.dump(-1, ' ', false, Document::error_handler_t::replace);
}

// The port and line members of a document, and one point of it.
void AddPortJson(Json* document, const PortSetup& setup);
Json PointJson(const std::string& address, int result, const char* valueName, uint16_t value,
               const std::string& failure);
// One document on stdout, as one line; text that is not UTF-8 is replaced.
void PrintJson(const Json& document);

#endif  // TZ52_TOOLS_TZ52_OUTPUT_JSON_H
