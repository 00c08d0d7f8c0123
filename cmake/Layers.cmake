# The layers of DESIGN §1, checked: platform/ knows nothing of the runtime or
# of anything above it, neither by include nor by link, and no two folders of
# the product include each other, through any number of others
# (cmake/CheckLayers.cmake).

# Links, at configure time: a library of platform/ links platform libraries only.
function(ta_check_platform_links)
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/platform/*)
  foreach(dir ${dirs})
    if(NOT EXISTS ${dir}/CMakeLists.txt)
      continue()
    endif()
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t ${targets})
      get_target_property(libs ${t} LINK_LIBRARIES)
      foreach(lib ${libs})
        if(TARGET ${lib} AND lib MATCHES "^ta_")
          get_target_property(from ${lib} SOURCE_DIR)
          if(NOT from MATCHES "^${CMAKE_SOURCE_DIR}/platform/")
            file(RELATIVE_PATH from ${CMAKE_SOURCE_DIR} ${from})
            message(FATAL_ERROR "${t} (platform/) links ${lib}, which is built in ${from}")
          endif()
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
ta_check_platform_links()

# Includes, when the build is configured (in a scope of their own) ...
function(ta_check_includes)
  set(ROOT ${CMAKE_SOURCE_DIR})
  include(${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake)
endfunction()
ta_check_includes()
# ... and at build time, whenever a file of the product or a table changes.
set(_layer_globs)
foreach(r platform src proxylibs sim tools)
  list(APPEND _layer_globs ${CMAKE_SOURCE_DIR}/${r}/*.h ${CMAKE_SOURCE_DIR}/${r}/*.cpp ${CMAKE_SOURCE_DIR}/${r}/*.table)
endforeach()
file(GLOB_RECURSE _layer_sources CONFIGURE_DEPENDS ${_layer_globs})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layers.stamp
  COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} -DSTAMP=${CMAKE_BINARY_DIR}/layers.stamp
          -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
  DEPENDS ${_layer_sources} ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
  COMMENT "Checking that platform/ includes nothing above it and that no folders include each other"
  VERBATIM)
add_custom_target(platform_layer ALL DEPENDS ${CMAKE_BINARY_DIR}/layers.stamp)
