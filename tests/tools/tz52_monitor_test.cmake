# tz52 monitor: the program against the simulator and on captures. Live
# monitoring needs pseudo-terminals, so there is no Windows build of it.
if(NOT TARGET tz52 OR WIN32)
  return()
endif()

if(TARGET tz52sim)
  tz52_program_path(tz52_monitor_sim_path tz52sim)
else()
  set(tz52_monitor_sim_path "")
endif()
tz52_program_path(tz52_monitor_host_path tz52)
add_executable(tz52_monitor_test ${CMAKE_CURRENT_LIST_DIR}/tz52_monitor_test.cpp)
target_compile_definitions(tz52_monitor_test PRIVATE
  TZ52_HOST_PATH="${tz52_monitor_host_path}" TZ52_SIM_PATH="${tz52_monitor_sim_path}")
target_link_libraries(tz52_monitor_test PRIVATE tz52_tool_libraries GTest::gtest GTest::gtest_main Threads::Threads)
add_dependencies(tz52_monitor_test tz52)
if(TARGET tz52sim)
  add_dependencies(tz52_monitor_test tz52sim)
endif()
gtest_discover_tests(tz52_monitor_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
