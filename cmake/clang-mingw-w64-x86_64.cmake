# Cross-compiles for 64-bit Windows with Debian's clang and lld, against the same mingw-w64 headers,
# import libraries and posix-threads GCC runtime as cmake/mingw-w64-x86_64.cmake. CI builds with it
# to keep the code warning-free under a second compiler; the tests run from the gcc build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_OBJCOPY x86_64-w64-mingw32-objcopy CACHE FILEPATH "objcopy for PE files")

# clang 14 does not take Debian's GCC folder name ("12-posix") for a version, so it finds neither
# the C++ headers nor the runtime libraries by itself: name them. lld, unlike GNU ld, resolves the
# runtime's references to winpthreads whatever the order of the libraries.
file(GLOB ORVO_GCC_DIRS /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
if(NOT ORVO_GCC_DIRS)
  message(FATAL_ERROR "no posix-threads mingw-w64 GCC under /usr/lib/gcc/x86_64-w64-mingw32")
endif()
list(SORT ORVO_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET ORVO_GCC_DIRS 0 ORVO_GCC_DIR)
set(ORVO_GCC_CXX_INCLUDE ${ORVO_GCC_DIR}/include/c++)
set(ORVO_GCC_CXX_INCLUDE_FLAGS "-isystem ${ORVO_GCC_CXX_INCLUDE} -isystem ${ORVO_GCC_CXX_INCLUDE}/x86_64-w64-mingw32")
string(APPEND ORVO_GCC_CXX_INCLUDE_FLAGS " -isystem ${ORVO_GCC_CXX_INCLUDE}/backward")
# GCC's runtime keeps thread_local variables (std::call_once's among them) in emulated TLS; clang
# must address them the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls ${ORVO_GCC_CXX_INCLUDE_FLAGS}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -B${ORVO_GCC_DIR} -L${ORVO_GCC_DIR} -lpthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
