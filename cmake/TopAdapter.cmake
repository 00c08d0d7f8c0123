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

# ta_add_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [NATIVE_ONLY] [CHAOS])
# NATIVE_ONLY: needs several processes or sockets; left out of the emulated
# 32-bit big-endian run. Natively each test case is its own ctest entry; under
# the emulator one entry per binary, since every emulator start costs ~80 ms.
# CHAOS: scenarios of several processes, labelled "chaos": scripts/test.sh
# runs them with schedule chaos on (TOPADAPTER_CHAOS), a fresh seed each run.
function(ta_add_test name)
  cmake_parse_arguments(T "NATIVE_ONLY;CHAOS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
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
    set(labels)
    if(T_CHAOS)
      set(labels LABELS chaos)
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${T_TIMEOUT} ${labels})
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

# The stem of a table's generated files: its name, capitalised, without extension.
function(ta_table_stem table var)
  get_filename_component(stem ${table} NAME_WE)
  string(SUBSTRING ${stem} 0 1 first)
  string(TOUPPER ${first} first)
  string(SUBSTRING ${stem} 1 -1 rest)
  set(${var} ${first}${rest} PARENT_SCOPE)
endfunction()

# ta_interface_library(NAME TABLE t [USES libs...] [SERVERS servers])
# The interfaces of one table: proxygen writes their clients into the build
# tree as library NAME and their server bases as library SERVERS (default
# NAME_servers). USES names the interface libraries whose interfaces the table
# takes as bases and types. A process registers exactly the interfaces of the
# interface libraries it links: link a table only where its interfaces are
# called or served.
function(ta_interface_library name)
  cmake_parse_arguments(I "" "TABLE;SERVERS" "USES" ${ARGN})
  if(NOT I_SERVERS)
    set(I_SERVERS ${name}_servers)
  endif()
  set(used_tables)
  set(used_servers)
  set(used_listings)
  foreach(lib ${I_USES})
    get_target_property(tables ${lib} TA_INTERFACE_TABLES)
    get_target_property(servers ${lib} TA_INTERFACE_SERVERS)
    get_target_property(listings ${lib} TA_INTERFACE_LISTINGS)
    if(NOT tables)
      message(FATAL_ERROR "${name}: ${lib} is not an interface library (declare it first)")
    endif()
    list(APPEND used_tables ${tables})
    list(APPEND used_servers ${servers})
    list(APPEND used_listings ${listings})
  endforeach()
  list(REMOVE_DUPLICATES used_tables)
  list(REMOVE_DUPLICATES used_listings)
  get_filename_component(table ${I_TABLE} ABSOLUTE)
  set(outdir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  ta_table_stem(${table} stem)
  set(all_tables ${used_tables} ${table})
  set(all_listings ${used_listings} ${outdir}/${stem}Catalogue.txt)
  ta_generate_interfaces(TABLE ${table} OUTDIR ${outdir} USES ${used_tables} CLIENTS clients SERVERS servers)
  ta_add_library(${name} SOURCES ${clients} LIBS ${I_USES} ta_callhelper ta_reflect PUBLIC_INCLUDES ${outdir})
  ta_add_library(${I_SERVERS} SOURCES ${servers} LIBS ${name} ${used_servers})
  # The tables, server libraries and listings (<Stem>Catalogue.txt) of this
  # library and of those it uses.
  set_target_properties(${name} PROPERTIES TA_INTERFACE_TABLES "${all_tables}"
                                           TA_INTERFACE_SERVERS ${I_SERVERS}
                                           TA_INTERFACE_LISTINGS "${all_listings}")
endfunction()

# ta_generate_interfaces(TABLE t OUTDIR d [USES tables...] CLIENTS var SERVERS var)
# Runs proxygen on the table at build time; sets the lists of the client and
# the server sources it writes into OUTDIR.
function(ta_generate_interfaces)
  cmake_parse_arguments(G "" "TABLE;OUTDIR;CLIENTS;SERVERS" "USES" ${ARGN})
  file(STRINGS ${G_TABLE} lines REGEX "^[ \t]*(id)?interface[ \t]")
  set(clients)
  set(servers)
  set(outputs)
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*(id)?interface[ \t]+([A-Za-z0-9_]+).*" "\\2" name "${line}")
    list(APPEND clients ${G_OUTDIR}/${name}Client.cpp)
    list(APPEND servers ${G_OUTDIR}/${name}Server.cpp)
    list(APPEND outputs ${G_OUTDIR}/${name}Client.h ${G_OUTDIR}/${name}Client.cpp
                        ${G_OUTDIR}/${name}Server.h ${G_OUTDIR}/${name}Server.cpp)
  endforeach()
  ta_table_stem(${G_TABLE} stem)
  list(APPEND outputs ${G_OUTDIR}/${stem}Catalogue.txt)
  # proxygen refuses a record that begins its line inside an interface.
  file(STRINGS ${G_TABLE} records REGEX "^record[ \t]")
  if(records)
    list(APPEND outputs ${G_OUTDIR}/${stem}Records.h)
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${G_OUTDIR}
    COMMAND proxygen ${G_OUTDIR} ${G_TABLE} ${G_USES}
    DEPENDS proxygen ${G_TABLE} ${G_USES}
    COMMENT "Writing the interfaces of ${G_TABLE}"
    VERBATIM)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${G_TABLE})
  set(${G_CLIENTS} ${clients} PARENT_SCOPE)
  set(${G_SERVERS} ${servers} PARENT_SCOPE)
endfunction()
