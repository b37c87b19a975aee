#!/bin/bash
# The bridge's core knows no face, and a face knows only the core (the
# Sparkplug B face also the MQTT face's link to the broker, which it shares):
# the headers each folder of tools/tz52/bridge includes from the bridge.
# Usage: bridge_faces_apart_test.sh SOURCE_DIR
bridge="$1/tools/tz52/bridge"
failed=0
for folder in core mqtt modbus http sparkplug; do
    [ -d "$bridge/$folder" ] || continue
    while IFS= read -r line; do
        file=${line%%:*}
        included=$(sed -E 's|.*#include "tools/tz52/bridge/([^/"]+)/.*|\1|' <<<"${line#*:}")
        [ "$included" = "$folder" ] && continue
        [ "$included" = "core" ] && [ "$folder" != "core" ] && continue
        [ "$folder" = "sparkplug" ] && [[ "${line#*:}" == *'"tools/tz52/bridge/mqtt/mqtt_link.h"'* ]] && continue
        echo "${file#"$1"/}: includes a header of bridge/$included/" >&2
        failed=1
    done < <(grep -HE '#include "tools/tz52/bridge/[^/"]+/' "$bridge/$folder"/*.h "$bridge/$folder"/*.cpp)
    # Nor the bridge's own wiring.
    if grep -lE '#include "tools/tz52/bridge/[a-z_]+\.h"' "$bridge/$folder"/*.h "$bridge/$folder"/*.cpp; then
        echo "bridge/$folder includes the bridge's wiring" >&2
        failed=1
    fi
done
exit $failed
