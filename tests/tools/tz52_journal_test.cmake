# The bridge's core: the journal, one reader's view, and many readers beside
# two appenders under ThreadSanitizer; the line's state and the queue of
# writes. The thread suite compiles the journal's sources into its own
# executable with -fsanitize=thread; it is left out of the AddressSanitizer
# build (the two sanitizers do not mix) and of builds under an emulator.
if(NOT TARGET tz52_bridge_core)
  return()
endif()

add_executable(tz52_journal_test ${CMAKE_CURRENT_LIST_DIR}/tz52_journal_test.cpp)
target_link_libraries(tz52_journal_test PRIVATE tz52_bridge_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(tz52_journal_test DISCOVERY_TIMEOUT 60)
add_executable(tz52_line_state_test ${CMAKE_CURRENT_LIST_DIR}/tz52_line_state_test.cpp)
target_link_libraries(tz52_line_state_test PRIVATE tz52_bridge_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(tz52_line_state_test DISCOVERY_TIMEOUT 60)

if(NOT TZ52_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
  add_executable(tz52_journal_thread_test ${CMAKE_CURRENT_LIST_DIR}/tz52_journal_thread_test.cpp
                 ${PROJECT_SOURCE_DIR}/tools/tz52/bridge/core/journal.cpp)
  target_include_directories(tz52_journal_thread_test PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(tz52_journal_thread_test PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tz52_journal_thread_test PRIVATE -fsanitize=thread)
  target_link_libraries(tz52_journal_thread_test PRIVATE Threads::Threads GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tz52_journal_thread_test DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1")
endif()
