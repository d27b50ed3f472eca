# The browser view in headless Chromium (label browser).  Included from
# tools/yarvo-sim/CMakeLists.txt once yarvo-sim itself is built.
add_executable(cabinet-host ${PROJECT_SOURCE_DIR}/tests/browser/cabinet_host.cpp)
target_link_libraries(cabinet-host PRIVATE yarvo)
add_test(NAME browser
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/browser/browser-test.sh ${YARVO_MACHINE_FILE} $<TARGET_FILE:yarvo-sim>
    $<TARGET_FILE:cabinet-host> ${PROJECT_SOURCE_DIR}/examples/tamso-reel-definitions.xml
    ${PROJECT_SOURCE_DIR}/examples/demo-cabinet.json ${CMAKE_CURRENT_BINARY_DIR}/cabinet.png)
# It runs yarvo-sim: it takes turns with the kernel-path test, which checks
# that no yarvo-sim is left running.
set_tests_properties(browser PROPERTIES LABELS browser TIMEOUT 120 SKIP_RETURN_CODE 77
  RESOURCE_LOCK yarvo-sim-programs FAIL_REGULAR_EXPRESSION "FAIL: ")
