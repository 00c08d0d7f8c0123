# The layers of DESIGN §1, checked: platform/ knows nothing of the runtime or
# of anything above it, neither by include nor by link.

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

# Includes, at build time, whenever a file of platform/ changes.
file(GLOB_RECURSE _platform_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.h
     ${CMAKE_SOURCE_DIR}/platform/*.cpp)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/platform-layer.stamp
  COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} -DSTAMP=${CMAKE_BINARY_DIR}/platform-layer.stamp
          -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
  DEPENDS ${_platform_sources} ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake
  COMMENT "Checking that platform/ includes nothing above it"
  VERBATIM)
add_custom_target(platform_layer ALL DEPENDS ${CMAKE_BINARY_DIR}/platform-layer.stamp)
