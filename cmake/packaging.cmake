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
# Everything but the library's i386 twin: dpkg-shlibdeps would make the package depend on the
# 32-bit C library (libc6-i386) for a file only 32-bit programs load.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_STRIP_FILES ON)
include(CPack)
