# The bridge's console in a real browser: Debian's chromium driven by npm's
# puppeteer-core under node's test runner, against the bridge, the simulator
# and a broker the test starts. The npm packages are installed with `npm ci`
# from the committed lock file into the build tree; without node, npm or
# chromium the test is skipped (exit 77), under CI=true it fails.
if(NOT TARGET tz52_bridge_http OR NOT TARGET tz52sim)
  return()
endif()
add_test(NAME console_in_a_browser
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/console/console_test.sh $<TARGET_FILE:tz52> $<TARGET_FILE:tz52sim>
          ${CMAKE_CURRENT_LIST_DIR}/console ${CMAKE_CURRENT_BINARY_DIR}/console_npm)
set_tests_properties(console_in_a_browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
