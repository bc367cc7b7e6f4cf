# Run by cpack (CPACK_PROJECT_CONFIG_FILE, see cmake/packaging.cmake) where the package holds the
# i386 twin: the Debian package's Depends are what dpkg-shlibdeps finds for the 64-bit files
# DREL_PACKAGE_ELF_FILES alone, asked from the scratch directory DREL_PACKAGE_WORK_DIR.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(_drel_shlibdeps dpkg-shlibdeps)
  if(_drel_shlibdeps)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    # dpkg-shlibdeps wants a debian/control in its working directory.
    file(MAKE_DIRECTORY "${DREL_PACKAGE_WORK_DIR}/debian")
    file(WRITE "${DREL_PACKAGE_WORK_DIR}/debian/control" "")
    execute_process(COMMAND ${_drel_shlibdeps} -O ${DREL_PACKAGE_ELF_FILES}
                    WORKING_DIRECTORY "${DREL_PACKAGE_WORK_DIR}"
                    OUTPUT_VARIABLE _drel_depends RESULT_VARIABLE _drel_result
                    ERROR_VARIABLE _drel_error OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _drel_result EQUAL 0)
      message(FATAL_ERROR "dpkg-shlibdeps ${DREL_PACKAGE_ELF_FILES}: ${_drel_error}")
    endif()
    string(REGEX REPLACE "^.*Depends=" "" CPACK_DEBIAN_PACKAGE_DEPENDS "${_drel_depends}")
  endif()
endif()
