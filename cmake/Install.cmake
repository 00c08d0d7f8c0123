# Installation and the Debian package.
#
#   bin/                  what a person runs: topcard (a simulated card),
#                         topchip (the chip's control channel), topctl
#   libexec/topadapter/   what other programs start: the task topAdapter (the
#                         task manager's, on a card), the membership service
#                         topnoded and the model actor topmodel (both started
#                         by topcard); not on anyone's PATH
#   share/doc/topadapter/ README.md
#   share/man/man1/       topctl(1), topcard(1), topchip(1)
#   share/bash-completion/completions/topctl
#   share/topadapter/schema/topctl/
#                         the JSON Schemas of topctl's --json output
#   lib/systemd/system/   topcard.service and topctl-metrics.service, the
#                         exporter that goes with it (both disabled: nothing
#                         enables them)
#
# topcard is scripts/run-card.sh itself, configured with where the programs
# lie relative to it, so an installed tree can be moved (DESTDIR, packages).
include(GNUInstallDirs)

set(TOPADAPTER_LIBEXEC_SUBDIR ${CMAKE_INSTALL_LIBEXECDIR}/topadapter)
file(RELATIVE_PATH TOPCARD_LIBEXEC_REL /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${TOPADAPTER_LIBEXEC_SUBDIR})

install(TARGETS topAdapter topnoded topmodel RUNTIME DESTINATION ${TOPADAPTER_LIBEXEC_SUBDIR})
install(TARGETS topchip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET topctl)
  install(TARGETS topctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/scripts/run-card.sh ${CMAKE_CURRENT_BINARY_DIR}/topcard @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/topcard DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/topadapter)

# Manual pages, compressed as Debian keeps them.
set(_man_pages)
foreach(page topctl topcard topchip)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/man/${page}.1 ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz
    COMMAND gzip -9nf -k ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 VERBATIM)
  list(APPEND _man_pages ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_man_pages})
install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/topctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME topctl)
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools/topctl/schema/
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/topadapter/schema/topctl FILES_MATCHING PATTERN "*.json")
# The units name the packaged programs.
set(TOPCARD_PATH /usr/${CMAKE_INSTALL_BINDIR}/topcard)
set(TOPCTL_PATH /usr/${CMAKE_INSTALL_BINDIR}/topctl)
foreach(unit topcard topctl-metrics)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/${unit}.service ${CMAKE_CURRENT_BINARY_DIR}/${unit}.service @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${unit}.service DESTINATION lib/systemd/system)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME topadapter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "topAdapter developers")
set(CPACK_PACKAGE_CONTACT "topAdapter developers <topadapter@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Timing-over-Packet adapter task with a simulated card")
set(CPACK_PACKAGE_DESCRIPTION
    "topAdapter binds a card's management object model to a Timing-over-Packet chip. This package holds the task, the node's membership service, a simulated management model and chip, and topcard, which runs a whole simulated card on this host.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# topcard needs bash and setpriv (util-linux, essential on Debian).
set(topadapter_script_depends "bash, util-linux")
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps reads only the host's libraries; the target's are named
  # here, at the newest symbol versions the programs need (GLIBC_2.34,
  # GLIBCXX_3.4.30, GCC_4.2.0, LIBATOMIC_1.0 with the Debian 12 cross tools).
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 4.2), libatomic1 (>= 4.8), ${topadapter_script_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${topadapter_script_depends}")
endif()
include(CPack)
