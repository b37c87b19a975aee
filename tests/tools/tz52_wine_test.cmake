# tz52.exe and tz52drv.dll under Wine against the native simulator, as part
# of the Windows suites (tests/win32): it needs their Wine prefix (fixture
# "wine"), whose COM7 leads to build-win32/wine/tz52sim.
set(TZ52_NATIVE_SIM ${PROJECT_SOURCE_DIR}/build/tools/tz52sim/tz52sim CACHE FILEPATH
  "The simulator of a native build, which the Wine test of tz52.exe runs")
if(TARGET tz52)
  add_test(NAME tz52_wine_test
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/tz52_wine_test.sh
            ${PROJECT_SOURCE_DIR}/tests/win32/wine_env.sh ${PROJECT_BINARY_DIR} ${TZ52_NATIVE_SIM})
  set_tests_properties(tz52_wine_test PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_com_ports
    LABELS wine TIMEOUT 900)
endif()
