# Debian packages, built by CPack from the install rules' components
# (`make package`, or `cpack` in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr):
#
#   libyarvo1      component Runtime:     libyarvo.so.1 and its SONAME link
#   libyarvo-dev   component Development: yarvo.h, the libyarvo.so link,
#                  libyarvo.a, yarvo.pc, the CMake package
#   yarvo-tools    component Tools:       yarvoctl, yarvo-sim and, in
#                  <libdir>/yarvo/, the tracer and the virtual board's preload
#   python3-yarvo  component Python:      the Python module yarvo in
#                  /usr/lib/python3/dist-packages (when the build has it)
#
# The shared-library dependencies of libyarvo1 and yarvo-tools come from
# dpkg-shlibdeps (dpkg-dev, file); libyarvo1 carries a shlibs file so that
# packages built against it get their dependency on it the same way.
# yarvoctl carries the library statically (check-reels uses its screening of
# reel-definition files, which the shared library does not export), so
# yarvo-tools needs no libyarvo1.

set(YARVO_PACKAGE_CONTACT "Yarvo maintainers" CACHE STRING
    "Maintainer field of the Debian packages")
set(YARVO_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME yarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${YARVO_PACKAGE_CONTACT}")
# Each package's description starts with its own synopsis (the first line of
# CPACK_COMPONENT_<C>_DESCRIPTION).  CPack would put the project's summary in
# front of it; the per-run project file takes that summary away again.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
     CONTENT "unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)\n")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
# The packages install where the build was configured to, so that the paths
# compiled into the tools (the tracer's place) hold on the installed system.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tools)
if(TARGET yarvo_python)
  list(APPEND CPACK_COMPONENTS_ALL Python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # name_version-revision_arch.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE ${YARVO_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_yarvo_deb_version ${PROJECT_VERSION}-${YARVO_PACKAGE_RELEASE})

# libyarvo1: the run-time library (ldconfig runs on install and removal).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libyarvo1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Its shlibs file: programs linked to libyarvo.so.1 depend on libyarvo1 of
# this version or later.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/deb/libyarvo1/shlibs
     CONTENT "libyarvo ${PROJECT_VERSION_MAJOR} libyarvo1 (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/libyarvo1/shlibs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"user-space driver library for the K-Mora Yarvo Board
libyarvo drives the USB reel controller of reel-type gaming machines: up to
eight stepper-motor reels with their lamps, 64 outputs and 24 inputs,
through the board's Linux kernel driver.  It turns host calls into board
commands, direct I/O, step-level reel commands and symbol-level reel motion
worked out from an XML reel-definition file.")

# libyarvo-dev: what host programs build against.  The static library needs
# TinyXML's development files to link.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libyarvo-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libyarvo1 (= ${_yarvo_deb_version}), libtinyxml-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"development files of the K-Mora Yarvo Board library
The header yarvo.h, the link to libyarvo.so.1, the static libyarvo.a, the
pkg-config file (pkg-config --cflags --libs yarvo) and the CMake package
(find_package(Yarvo)).")

# yarvo-tools: the technician's tool and the virtual board.  fuse3 sets up
# /dev/fuse for users other than root, which yarvo-sim's kernel path needs.
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME yarvo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "fuse3")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"tools for the K-Mora Yarvo Board: yarvoctl and the virtual board
yarvoctl finds boards, reads and drives them, checks reel-definition files
and traces the board transfers of a host program.  yarvo-sim runs an
unmodified host program against virtual boards, through the kernel path
(FUSE in a private mount namespace) with a live view and a control channel,
or through its LD_PRELOAD transport.")

# python3-yarvo: the module for Debian's python3 of the version it was built
# for (the extension's file name carries that version).  dpkg-shlibdeps looks
# for libyarvo.so.1 in the build tree, where no package owns it, so the
# dependency on libyarvo1 is written here.
if(TARGET yarvo_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-yarvo)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(_python ${YARVO_PYTHON_VERSION_MAJOR}.${YARVO_PYTHON_VERSION_MINOR})
  math(EXPR _python_next "${YARVO_PYTHON_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "libyarvo1 (= ${_yarvo_deb_version}), python3 (>= ${_python}), python3 (<< ${YARVO_PYTHON_VERSION_MAJOR}.${_python_next})")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"Python module for the K-Mora Yarvo Board library
import yarvo: yarvo.Board() opens the first board (Board(address=N) a given
one), its methods are the library's operations in snake case returning
values, and a failed call raises yarvo.BoardError with the status code and
its name.  Typed (a .pyi stub); board exchanges release the GIL.")
endif()

include(CPack)
