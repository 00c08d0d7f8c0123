# Helpers shared by every subtree.

# The system and the stand-ins are built as on the card: no exceptions.
function(ta_system_target target)
  target_compile_options(${target} PRIVATE -fno-exceptions)
endfunction()

# ta_add_library(name SOURCES ... [LIBS ...]) - a static library of the system or a stand-in.
function(ta_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;PUBLIC_INCLUDES" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${A_PUBLIC_INCLUDES})
  target_link_libraries(${name} PUBLIC ${A_LIBS} Threads::Threads)
  ta_system_target(${name})
endfunction()

# ta_add_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [NATIVE_ONLY])
# NATIVE_ONLY: needs several processes or sockets; left out of the emulated
# 32-bit big-endian run. Natively each test case is its own ctest entry; under
# the emulator one entry per binary, since every emulator start costs ~80 ms.
function(ta_add_test name)
  cmake_parse_arguments(T "NATIVE_ONLY" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(CMAKE_CROSSCOMPILING AND T_NATIVE_ONLY)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ta_testsupport ${T_LIBS})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

# Adds every subdirectory of the current one that has a CMakeLists.txt, in
# name order; RECURSE looks at any depth (test directories mirror the tree).
function(ta_add_subdirectories)
  cmake_parse_arguments(S "RECURSE" "" "" ${ARGN})
  if(S_RECURSE)
    file(GLOB_RECURSE lists RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  else()
    file(GLOB lists RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  endif()
  list(SORT lists)
  foreach(f ${lists})
    get_filename_component(d ${f} DIRECTORY)
    add_subdirectory(${d})
  endforeach()
endfunction()
