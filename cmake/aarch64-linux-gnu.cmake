# Cross build for 64-bit Arm Linux (glibc) with Debian's aarch64-linux-gnu toolchain.
# Use: cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers come from the cross sysroot only; host programs (code generators) run.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run in the emulated machine, or here under qemu-user when it is installed.
find_program(DREL_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(DREL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DREL_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()

# MsgPuck and nlohmann-json are header-only and architecture-independent, but they live in the
# host's /usr/include, which the cross compiler must not search as a whole (it would find x86_64
# headers of everything else). A small staging prefix exposes just those two headers, and
# nlohmann-json's CMake package, whose imported target then points at the staged headers (it
# locates its include directory relative to its own files).
set(_drel_stage "${CMAKE_BINARY_DIR}/aarch64-host-headers")
file(MAKE_DIRECTORY "${_drel_stage}/include" "${_drel_stage}/share/cmake")
foreach(_h include/msgpuck.h include/nlohmann share/cmake/nlohmann_json)
  if(EXISTS "/usr/${_h}" AND NOT EXISTS "${_drel_stage}/${_h}")
    file(CREATE_LINK "/usr/${_h}" "${_drel_stage}/${_h}" SYMBOLIC)
  endif()
endforeach()
set(CMAKE_C_FLAGS_INIT "-isystem ${_drel_stage}/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_drel_stage}/include")
list(APPEND CMAKE_FIND_ROOT_PATH "${_drel_stage}")
