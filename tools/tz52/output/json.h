// The one JSON type of the tools' documents and the one way to write it.
// Strings in them may come from outside (a broker's topic or payload, a
// file): writing must never throw on bytes that are not UTF-8, so such bytes
// are replaced (U+FFFD) instead.
#ifndef TZ52_TOOLS_TZ52_OUTPUT_JSON_H
#define TZ52_TOOLS_TZ52_OUTPUT_JSON_H

#include <nlohmann/json.hpp>

#include <string>

// Members stay in the order written.
using Json = nlohmann::ordered_json;

// One line of JSON text; never throws for any string content.
template <typename Document>
std::string JsonText(const Document& document) {
    return document.dump(-1, ' ', false, Document::error_handler_t::replace);
}

#endif  // TZ52_TOOLS_TZ52_OUTPUT_JSON_H
