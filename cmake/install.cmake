# Where `cmake --install`, `make install` and the Debian package put things.
#
#   bin/drel-tracer, bin/drel-report
#   lib/drel-tracer/drel-tracer-preload and libdrel_tracer_preload.so side by side, because the
#     launcher looks for the library beside its real executable (/proc/self/exe); with the i386
#     twin, also lib/drel-tracer/<i386 $LIB>/, a link to it under the other i386 loader's $LIB
#     (lib32 or lib/i386-linux-gnu) and a copy of the plain file at lib/drel-tracer/<native $LIB>/
#   bin/drel-tracer-preload: a relative symbolic link to it, so any prefix or scratch root works
#   share/man/man1: the three manual pages; share/doc/drel-tracer: README.md
#
# Rules name targets, never source paths, so they hold wherever the sources move.
include(GNUInstallDirs)

set(DREL_INSTALL_PRIVATE_DIR "lib/drel-tracer" CACHE STRING
    "Directory below the prefix for drel-tracer-preload and its interposition library")

install(TARGETS drel-tracer drel-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS drel-tracer-preload RUNTIME DESTINATION ${DREL_INSTALL_PRIVATE_DIR})
install(TARGETS drel_tracer_preload LIBRARY DESTINATION ${DREL_INSTALL_PRIVATE_DIR})
# Where the i386 twin is built, each class also under its loader's "$LIB" directory beside it
# (the native one a copy of the plain file), so an installed launcher names "$LIB" too. Its
# own component: the Debian package leaves it out (cmake/packaging.cmake).
if(DREL_I386_LIB_DIR)
  install(TARGETS drel_tracer_preload_i386
          LIBRARY DESTINATION ${DREL_INSTALL_PRIVATE_DIR}/${DREL_I386_LIB_DIR} COMPONENT i386)
  foreach(_dir ${DREL_NATIVE_LIB_DIR} ${DREL_I386_LIB_DIR_ALIASES})
    install(FILES ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/${_dir}/libdrel_tracer_preload.so
            DESTINATION ${DREL_INSTALL_PRIVATE_DIR}/${_dir} COMPONENT i386)
  endforeach()
endif()

# The link is made in the build tree and installed as a link.
file(RELATIVE_PATH _drel_link_target "/prefix/${CMAKE_INSTALL_BINDIR}"
     "/prefix/${DREL_INSTALL_PRIVATE_DIR}/drel-tracer-preload")
set(_drel_link "${CMAKE_BINARY_DIR}/install-links/drel-tracer-preload")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-links")
file(CREATE_LINK "${_drel_link_target}" "${_drel_link}" SYMBOLIC)
install(FILES "${_drel_link}" DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages carry the version.
foreach(_page drel-tracer drel-tracer-preload drel-report)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${PROJECT_SOURCE_DIR}/man/${_page}.1 ${CMAKE_BINARY_DIR}/man/${_page}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${_page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/drel-tracer)
