# The tests of tz52sim: its parser, memory, faults and command line
# in-process, and the driver end to end against it over pseudo-terminals.
if(NOT TARGET tz52sim_core)
  return()
endif()

add_executable(sim_unit_test
  ${CMAKE_CURRENT_LIST_DIR}/sim_controller_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_options_test.cpp)
target_link_libraries(sim_unit_test PRIVATE tz52sim_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(sim_unit_test DISCOVERY_TIMEOUT 60)

# The driver over the POSIX backend against the simulator on pseudo-terminals.
tz52_add_line_test(sim_line_test
  ${CMAKE_CURRENT_LIST_DIR}/sim_line_test.cpp)
target_link_libraries(sim_line_test PRIVATE tz52sim_core tz52_host)
tz52_add_line_test(sim_soak_test
  ${CMAKE_CURRENT_LIST_DIR}/sim_soak_test.cpp)
target_link_libraries(sim_soak_test PRIVATE tz52sim_core)
tz52_add_line_test(sim_ports_test
  ${CMAKE_CURRENT_LIST_DIR}/sim_ports_test.cpp)
target_link_libraries(sim_ports_test PRIVATE tz52sim_core)

# The program itself, and the simulator on a device.
add_executable(sim_program_test ${CMAKE_CURRENT_LIST_DIR}/sim_program_test.cpp)
tz52_program_path(tz52_sim_path tz52sim)
target_compile_definitions(sim_program_test PRIVATE TZ52SIM_PATH="${tz52_sim_path}")
target_link_libraries(sim_program_test PRIVATE tz52sim_core GTest::gtest GTest::gtest_main)
add_dependencies(sim_program_test tz52sim)
gtest_discover_tests(sim_program_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
