# The tests of tz52, the command-line host: its command line in-process, the
# program itself without a controller and against the simulator, and the demo.
if(NOT TARGET tz52)
  return()
endif()

add_executable(tz52_command_line_test ${CMAKE_CURRENT_LIST_DIR}/tz52_command_line_test.cpp)
target_link_libraries(tz52_command_line_test PRIVATE tz52_commands GTest::gtest GTest::gtest_main)
gtest_discover_tests(tz52_command_line_test DISCOVERY_TIMEOUT 60)

# The bridge's Modbus TCP map and codec, bytes in and out.
if(TARGET tz52_modbus)
  add_executable(tz52_modbus_test ${CMAKE_CURRENT_LIST_DIR}/tz52_modbus_test.cpp)
  target_link_libraries(tz52_modbus_test PRIVATE tz52_modbus GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tz52_modbus_test DISCOVERY_TIMEOUT 60)
endif()

if(TARGET tz52sim)
  tz52_program_path(tz52_sim_path tz52sim)
else()
  set(tz52_sim_path "")
endif()
tz52_program_path(tz52_host_path tz52)
add_executable(tz52_host_test ${CMAKE_CURRENT_LIST_DIR}/tz52_host_test.cpp)
target_compile_definitions(tz52_host_test PRIVATE
  TZ52_HOST_PATH="${tz52_host_path}" TZ52_SIM_PATH="${tz52_sim_path}")
target_link_libraries(tz52_host_test PRIVATE tz52_tool_libraries GTest::gtest GTest::gtest_main)
add_dependencies(tz52_host_test tz52)
if(TARGET tz52sim)
  add_dependencies(tz52_host_test tz52sim)
endif()
gtest_discover_tests(tz52_host_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

if(TARGET tz52sim)
  add_test(NAME tz52_demo_test
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/tz52_demo_test.sh ${PROJECT_SOURCE_DIR}/tools/demo.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(tz52_demo_test PROPERTIES TIMEOUT 120)
endif()

# tz52 bridge against a real broker (mosquitto) and the simulator.
if(TARGET tz52_mosquitto AND TARGET tz52sim_core)
  add_executable(tz52_bridge_test ${CMAKE_CURRENT_LIST_DIR}/tz52_bridge_test.cpp)
  target_compile_definitions(tz52_bridge_test PRIVATE TZ52_HOST_PATH="${tz52_host_path}")
  target_link_libraries(tz52_bridge_test PRIVATE tz52sim_core tz52_mosquitto tz52_tool_libraries
                        GTest::gtest GTest::gtest_main)
  add_dependencies(tz52_bridge_test tz52 tz52sim)
  gtest_discover_tests(tz52_bridge_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()

# The bridge's Modbus TCP face against the simulator, through real clients:
# libmodbus's (libmodbus-dev) and mbpoll, as a user types it.
find_path(TZ52_MODBUS_CLIENT_INCLUDE_DIR modbus/modbus.h)
find_library(TZ52_MODBUS_CLIENT_LIBRARY modbus)
find_program(TZ52_MBPOLL mbpoll)
if(TARGET tz52_bridge_test AND TZ52_MODBUS_CLIENT_INCLUDE_DIR AND TZ52_MODBUS_CLIENT_LIBRARY)
  if(NOT TZ52_MBPOLL)
    set(TZ52_MBPOLL "")
  endif()
  add_executable(tz52_bridge_modbus_test ${CMAKE_CURRENT_LIST_DIR}/tz52_bridge_modbus_test.cpp)
  target_compile_definitions(tz52_bridge_modbus_test PRIVATE TZ52_HOST_PATH="${tz52_host_path}"
                             TZ52_MBPOLL_PATH="${TZ52_MBPOLL}")
  target_include_directories(tz52_bridge_modbus_test SYSTEM PRIVATE ${TZ52_MODBUS_CLIENT_INCLUDE_DIR})
  target_link_libraries(tz52_bridge_modbus_test PRIVATE tz52sim_core tz52_mosquitto tz52_tool_libraries
                        ${TZ52_MODBUS_CLIENT_LIBRARY} GTest::gtest GTest::gtest_main)
  add_dependencies(tz52_bridge_modbus_test tz52 tz52sim)
  gtest_discover_tests(tz52_bridge_modbus_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
elseif(TARGET tz52_bridge_test)
  message(STATUS "tz52: libmodbus-dev not found; the bridge's Modbus face is not tested against a client")
endif()

# The bridge's HTTP face against the simulator through real clients: curl
# (plain and HTTPS with a certificate openssl makes), promtool and a
# Prometheus server, mbpoll and the broker for writes from every face. Rows
# that need a program not installed are skipped.
find_program(TZ52_CURL curl)
find_program(TZ52_OPENSSL openssl)
find_program(TZ52_PROMTOOL promtool)
find_program(TZ52_PROMETHEUS prometheus)
if(TARGET tz52_bridge_test AND TARGET tz52_bridge_http)
  foreach(program TZ52_CURL TZ52_OPENSSL TZ52_PROMTOOL TZ52_PROMETHEUS TZ52_MBPOLL)
    if(NOT ${program})
      set(${program} "")
    endif()
  endforeach()
  add_executable(tz52_bridge_http_test ${CMAKE_CURRENT_LIST_DIR}/tz52_bridge_http_test.cpp)
  target_compile_definitions(tz52_bridge_http_test PRIVATE TZ52_HOST_PATH="${tz52_host_path}"
    TZ52_CURL_PATH="${TZ52_CURL}" TZ52_OPENSSL_PATH="${TZ52_OPENSSL}" TZ52_PROMTOOL_PATH="${TZ52_PROMTOOL}"
    TZ52_PROMETHEUS_PATH="${TZ52_PROMETHEUS}" TZ52_MBPOLL_PATH="${TZ52_MBPOLL}")
  target_link_libraries(tz52_bridge_http_test PRIVATE tz52sim_core tz52_mosquitto tz52_tool_libraries
                        GTest::gtest GTest::gtest_main)
  add_dependencies(tz52_bridge_http_test tz52 tz52sim)
  gtest_discover_tests(tz52_bridge_http_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()

# The HTTP face's users, passwords, sessions, login limiter and metrics text;
# tz52 passwd, mkpasswd (whois) and promtool (prometheus) as a person runs them.
if(TARGET tz52_http_auth)
  add_executable(tz52_http_auth_test ${CMAKE_CURRENT_LIST_DIR}/tz52_http_auth_test.cpp)
  target_compile_definitions(tz52_http_auth_test PRIVATE TZ52_HOST_PATH="${tz52_host_path}")
  target_link_libraries(tz52_http_auth_test PRIVATE tz52_http_auth tz52_tool_libraries GTest::gtest GTest::gtest_main)
  add_dependencies(tz52_http_auth_test tz52)
  gtest_discover_tests(tz52_http_auth_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
