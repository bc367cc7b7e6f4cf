# What the loader puts for "$LIB" in LD_PRELOAD, for each class of program: a process loads
# "<dir>/$LIB/<library>" of its own class, so one LD_PRELOAD value serves 64-bit and 32-bit
# programs without the loader's "wrong ELF class" complaint. Debian's x86_64 loader says
# "lib/x86_64-linux-gnu", its multilib i386 loader "lib32", aarch64's "lib/aarch64-linux-gnu".
#
# drel_loader_lib_dir(<var> [flags...]): asks the loader of a program built with the flags
# for a search path with "$LIB" in it (LD_DEBUG=libs prints it expanded). <var> is empty
# when such a program cannot be built or run here.
function(drel_loader_lib_dir var)
  set(${var} "" PARENT_SCOPE)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  string(MAKE_C_IDENTIFIER "${var}" _name)
  set(_dir ${CMAKE_BINARY_DIR}/CMakeFiles/loader-lib-dir)
  file(MAKE_DIRECTORY ${_dir})
  file(WRITE ${_dir}/probe.cpp "#include <atomic>\nint main() { return std::atomic<int>(0).load(); }\n")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${ARGN} -o ${_dir}/${_name} ${_dir}/probe.cpp
                  RESULT_VARIABLE _built OUTPUT_QUIET ERROR_QUIET)
  if(NOT _built EQUAL 0)
    return()
  endif()
  execute_process(COMMAND env LD_DEBUG=libs "LD_LIBRARY_PATH=/drel-probe/\$LIB" ${_dir}/${_name}
                  RESULT_VARIABLE _ran OUTPUT_QUIET ERROR_VARIABLE _debug)
  # The last entry of the search path is the directory itself: "/drel-probe/<expansion>\t(".
  if(_ran EQUAL 0 AND _debug MATCHES "/drel-probe/([^:\t ]+)[\t ]+\\(LD_LIBRARY_PATH\\)")
    set(${var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endif()
endfunction()
