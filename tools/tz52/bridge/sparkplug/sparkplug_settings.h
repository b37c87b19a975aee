// What the bridge's Sparkplug B face is asked to be: the plan's part, kept
// apart from the face so that a plan is made also where the face is not
// built (no protobuf).
#ifndef TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_SETTINGS_H
#define TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_SETTINGS_H

#include <cstddef>
#include <string>

struct SparkplugSettings {
    std::string group;        // the group id; "": no Sparkplug face
    std::string node;         // the edge node id: the line's name
    std::string primaryHost;  // births only while its STATE says online; "": none
    size_t buffer = 10000;    // changes kept while the broker is away
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_SPARKPLUG_SPARKPLUG_SETTINGS_H
