# System test of the kernel path: yarvo-sim runs test hosts built three ways
# (64-bit, 32-bit, static) that reach the virtual board through the real
# open/ioctl path.  Included from tools/yarvo-sim/CMakeLists.txt once
# yarvo-sim itself is built.

set(_kernel_dir ${PROJECT_SOURCE_DIR}/tests/kernel)
file(GLOB _yarvo_lib_sources ${PROJECT_SOURCE_DIR}/lib/*.cpp)

add_executable(kernel-host ${_kernel_dir}/kernel_host.cpp)
target_include_directories(kernel-host PRIVATE ${PROJECT_SOURCE_DIR}/tests/conformance)
target_link_libraries(kernel-host PRIVATE yarvo)

# Sanitizer builds cannot link statically, and a 32-bit host inherits their
# flags without their 32-bit runtimes; those hosts are left out there.
set(_sanitized FALSE)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(_sanitized TRUE)
endif()

# Statically linked host: proves that no preload is involved.
set(_kernel_static "skip:no statically linked host in a sanitizer build")
find_library(_tinyxml_static NAMES libtinyxml.a PATHS ${TINYXML_LIBRARY_DIRS} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
             NO_DEFAULT_PATH)
if(_tinyxml_static AND NOT _sanitized)
  add_executable(kernel-host-static ${_kernel_dir}/kernel_host.cpp $<TARGET_OBJECTS:yarvo_objects>)
  target_include_directories(kernel-host-static PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tests/conformance)
  target_link_libraries(kernel-host-static PRIVATE ${_tinyxml_static})
  target_link_options(kernel-host-static PRIVATE -static)
  set(_kernel_static $<TARGET_FILE:kernel-host-static>)
else()
  if(NOT _sanitized)
    set(_kernel_static "missing:no statically linked host: libtinyxml.a (libtinyxml-dev) not found")
  endif()
  message(STATUS "kernel test: ${_kernel_static}")
endif()

# 32-bit host, built from the library's sources with -m32 against the i386
# TinyXML (Debian: dpkg --add-architecture i386; apt-get install libtinyxml-dev:i386).
set(_kernel_i386 "missing:no 32-bit host: it needs g++-multilib and libtinyxml-dev:i386")
if(_sanitized)
  set(_kernel_i386 "skip:no 32-bit host in a sanitizer build")
endif()
set(_tinyxml_i386 /usr/lib/i386-linux-gnu/libtinyxml.a)
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS ${_tinyxml_i386} AND NOT _sanitized)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -m32)
  set(CMAKE_REQUIRED_LINK_OPTIONS -m32)
  check_cxx_source_compiles("#include <string>\nint main() { return std::string(\"x\").size() == 1 ? 0 : 1; }"
                            YARVO_CAN_BUILD_M32)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(YARVO_CAN_BUILD_M32)
    add_executable(kernel-host-i386 ${_kernel_dir}/kernel_host.cpp ${_yarvo_lib_sources})
    target_include_directories(kernel-host-i386 PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/lib
                               ${PROJECT_SOURCE_DIR}/tests/conformance ${TINYXML_INCLUDE_DIRS})
    target_compile_options(kernel-host-i386 PRIVATE -m32)
    target_link_options(kernel-host-i386 PRIVATE -m32)
    target_link_libraries(kernel-host-i386 PRIVATE ${_tinyxml_i386})
    set(_kernel_i386 $<TARGET_FILE:kernel-host-i386>)
  endif()
endif()
if(NOT TARGET kernel-host-i386)
  message(STATUS "kernel test: ${_kernel_i386}")
endif()

set(_demo "-")
if(TARGET yarvo-demo)
  set(_demo $<TARGET_FILE:yarvo-demo>)
endif()

add_test(NAME kernel-path
  COMMAND bash ${_kernel_dir}/kernel-path.sh ${YARVO_MACHINE_FILE}
    $<TARGET_FILE:yarvo-sim> $<TARGET_FILE:kernel-host> ${_kernel_i386} ${_kernel_static}
    ${PROJECT_SOURCE_DIR}/examples/tamso-reel-definitions.xml ${_demo})
set_tests_properties(kernel-path PROPERTIES LABELS kernel SKIP_RETURN_CODE 77 TIMEOUT 120)

# The machine probe's answer for 32-bit programs, forced off and as the
# kernel gives it: the i386 runner and the compat case follow it.
add_test(NAME machine-probe
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/machine/probe-test.sh ${CMAKE_CURRENT_BINARY_DIR}/machine-probe
    $<TARGET_FILE:yarvo-sim> $<TARGET_FILE:kernel-host> ${_kernel_i386} ${_kernel_static}
    ${PROJECT_SOURCE_DIR}/examples/tamso-reel-definitions.xml -)
set_tests_properties(machine-probe PROPERTIES LABELS kernel TIMEOUT 120)

# The transport contract's suite (tests/conformance) on the kernel path.
add_test(NAME conformance-kernel
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/conformance/kernel.sh ${YARVO_MACHINE_FILE}
    $<TARGET_FILE:yarvo-sim> $<TARGET_FILE:transport-conformance>)
set_tests_properties(conformance-kernel PROPERTIES LABELS "conformance;kernel" SKIP_RETURN_CODE 77 TIMEOUT 60
  FAIL_REGULAR_EXPRESSION "FAIL ")

# The daemon as a careless or hostile local user meets it: control socket,
# files it writes, the host's process tree, the transfer log's reader.
add_test(NAME daemon-safety
  COMMAND bash ${_kernel_dir}/daemon-safety.sh ${YARVO_MACHINE_FILE}
    $<TARGET_FILE:yarvo-sim> $<TARGET_FILE:kernel-host> ${_kernel_static})
set_tests_properties(daemon-safety PROPERTIES LABELS kernel SKIP_RETURN_CODE 77 TIMEOUT 120)

# kernel-path checks that none of its programs is left running at its end:
# the tests that run the same programs take turns with it.
set_tests_properties(kernel-path machine-probe conformance-kernel daemon-safety PROPERTIES RESOURCE_LOCK yarvo-sim-programs)

# The live view on a terminal: the host's output in the log line by line,
# Ctrl-C, the reel types matched, the last frame and the reels' summary.
if(TARGET yarvo-demo)
  add_test(NAME live-view
    COMMAND bash ${_kernel_dir}/live-view.sh ${YARVO_MACHINE_FILE} $<TARGET_FILE:yarvo-sim> $<TARGET_FILE:yarvo-demo>)
  set_tests_properties(live-view PROPERTIES LABELS kernel SKIP_RETURN_CODE 77 TIMEOUT 120
    RESOURCE_LOCK yarvo-sim-programs)
endif()
