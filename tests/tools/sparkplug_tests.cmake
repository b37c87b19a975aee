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
