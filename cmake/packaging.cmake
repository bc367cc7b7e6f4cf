# `make package`: a Debian package made by CPack from the install rules (cmake/install.cmake).
# Its dependencies are what dpkg-shlibdeps finds the programs need: the C and C++ runtimes.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drel-tracer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drel-tracer")
set(CPACK_PACKAGE_CONTACT "drel-tracer maintainers <maintainers@drel-tracer.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "record the files a command and its processes read and write")
set(CPACK_PACKAGE_DESCRIPTION
    "Two file-access tracers for Linux, drel-tracer (ptrace and seccomp) and\n\
drel-tracer-preload (an LD_PRELOAD interposition library), which write the same\n\
MessagePack trace report of a command's processes and files, and drel-report,\n\
which lists a run's inputs and outputs, writes make depfiles and compares reports.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library's i386 twin and its "$LIB" links go in too, where they are built. Only a 32-bit
# process loads the twin, and it has its own C library already, so the dependencies are those
# of the 64-bit files alone: dpkg-shlibdeps run over every file would add the 32-bit C library
# (libc6-i386) for every user, and the wrong one for a system with libc6:i386. So at cpack
# time cmake/package_depends.cmake asks dpkg-shlibdeps about the 64-bit files only.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
if(DREL_I386_LIB_DIR)
  set(DREL_PACKAGE_ELF_FILES "$<TARGET_FILE:drel-tracer>;$<TARGET_FILE:drel-report>;$<TARGET_FILE:drel-tracer-preload>;$<TARGET_FILE:drel_tracer_preload>")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package_depends.cmake CONTENT
       "set(DREL_PACKAGE_ELF_FILES \"${DREL_PACKAGE_ELF_FILES}\")\nset(DREL_PACKAGE_WORK_DIR \"${CMAKE_BINARY_DIR}/CMakeFiles/package-depends\")\ninclude(\"${PROJECT_SOURCE_DIR}/cmake/package_depends.cmake\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package_depends.cmake)
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
