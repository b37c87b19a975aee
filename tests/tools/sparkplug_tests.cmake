# The bridge's Sparkplug B edge node without a broker: its tables, and a
# Sparkplug B implementation of others (npm sparkplug-payload, run by node)
# reading the payloads it builds and writing the commands it judges,
# through the test's program sparkplug_peer. That test installs the npm
# packages with `npm ci` into the build tree; without node, npm or the
# packages it is skipped (exit 77), under CI=true it fails.
if(NOT TARGET tz52_sparkplug)
  return()
endif()

add_executable(tz52_sparkplug_test ${CMAKE_CURRENT_LIST_DIR}/tz52_sparkplug_test.cpp)
target_link_libraries(tz52_sparkplug_test PRIVATE tz52_sparkplug tz52_sparkplug_schema GTest::gtest GTest::gtest_main)
gtest_discover_tests(tz52_sparkplug_test DISCOVERY_TIMEOUT 60)

add_executable(sparkplug_peer ${CMAKE_CURRENT_LIST_DIR}/sparkplug_peer/sparkplug_peer.cpp)
target_link_libraries(sparkplug_peer PRIVATE tz52_sparkplug tz52_tool_libraries)
tz52_program_path(sparkplug_peer_path sparkplug_peer)
add_test(NAME sparkplug_payloads_read_by_a_peer
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/sparkplug_peer/sparkplug_peer_test.sh ${sparkplug_peer_path}
          ${CMAKE_CURRENT_LIST_DIR}/sparkplug_peer ${CMAKE_CURRENT_BINARY_DIR}/sparkplug_peer_npm)
set_tests_properties(sparkplug_payloads_read_by_a_peer PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

# The bridge's Sparkplug B face on a real broker over TLS with client
# certificates, seen by a host of others (npm sparkplug-client and
# sparkplug-payload): births, data, deaths, commands, store and forward,
# the primary host.
if(TARGET tz52_bridge_sparkplug AND TARGET tz52sim)
  tz52_program_path(sparkplug_host_tz52_path tz52)
  tz52_program_path(sparkplug_host_sim_path tz52sim)
  add_test(NAME sparkplug_bridge_seen_by_a_host
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/sparkplug_host/sparkplug_host_test.sh ${sparkplug_host_tz52_path}
            ${sparkplug_host_sim_path} ${CMAKE_CURRENT_LIST_DIR}/sparkplug_host ${CMAKE_CURRENT_BINARY_DIR}/sparkplug_host_npm)
  set_tests_properties(sparkplug_bridge_seen_by_a_host PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
