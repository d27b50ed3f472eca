# 32-bit x86 build on a Debian x86-64 machine with multilib compilers
# (g++-multilib) and the i386 development packages of the dependencies
# (libtinyxml-dev:i386, libgtest-dev:i386, libgmock-dev:i386).
#
# The build runs on the same machine, so it is not a cross build.  Its
# programs run directly where the kernel runs 32-bit programs, else under
# qemu-i386 (Debian package qemu-user): every test and the test discovery
# go through tests/machine/run-i386.sh, which asks the machine probe.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../tests/machine/run-i386.sh)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and CMake packages (GTest) come from Debian's i386 multiarch
# directory, not the x86-64 one.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_CXX_LIBRARY_ARCHITECTURE i386-linux-gnu)

# pkg-config must read the i386 .pc files only; otherwise TinyXML's link
# line names the x86-64 library and the link fails or, worse, mixes ABIs.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
