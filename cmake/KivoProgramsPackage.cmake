# The console programs as a lab machine installs them, and their Debian
# package. Each program named at the bottom is installed into bin/ (component
# "programs") with a manual page made at build time from its --help (help2man,
# gzip'd into share/man/man1); share/doc/kivo gets the package's copyright and
# changelog.Debian.gz. `cpack -G DEB` in a build folder packs that component
# alone into kivo_<version>_<arch>.deb for /usr, its dependencies computed by
# dpkg-shlibdeps (Debian: dpkg-dev). The target kivo_programs builds all of it.

set(KIVO_PACKAGE_MAINTAINER "Kivo stream recorder developers <kivo@example.org>" CACHE STRING
    "Maintainer of the Debian package: name <address>")
set(KIVO_PACKAGE_SUMMARY "records the UDP sample stream of a Kivo data-acquisition device")

add_custom_target(kivo_programs)

# The manual pages run the programs at build time: only in a native build,
# without sanitizers (whose runtimes need not start everywhere the build runs).
find_program(KIVO_HELP2MAN help2man)
find_program(KIVO_GZIP gzip)
set(kivo_man_pages OFF)
if(NOT CMAKE_CROSSCOMPILING AND NOT KIVO_SANITIZE AND NOT WIN32)
  if(KIVO_HELP2MAN AND KIVO_GZIP)
    set(kivo_man_pages ON)
  else()
    message(STATUS "help2man or gzip missing (Debian: help2man): the programs get no manual pages")
  endif()
endif()

# kivo_packaged_program(<target> <one line: what it does>)
function(kivo_packaged_program program summary)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  add_dependencies(kivo_programs ${program})
  if(NOT kivo_man_pages)
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  # Run by its name from the PATH, so that the usage line names no build folder.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:${program}>:/usr/bin:/bin"
            ${KIVO_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            "--name=${summary}" --output=${page} ${program}
    COMMAND ${KIVO_GZIP} -9 -n -f ${page}
    DEPENDS ${program}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  add_custom_target(${program}_man_page ALL DEPENDS ${page}.gz)
  add_dependencies(kivo_programs ${program}_man_page)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
endfunction()

# What Debian asks of every package in /usr/share/doc/<package>.
function(kivo_package_documents)
  set(changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian)
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(CONFIGURE OUTPUT ${changelog} CONTENT [[
kivo (@PROJECT_VERSION@) unstable; urgency=medium

  * Kivo stream recorder @PROJECT_VERSION@, built from its sources with CMake
    and CPack.

 -- @KIVO_PACKAGE_MAINTAINER@  @changelog_date@
]] @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${KIVO_GZIP} -9 -n -c ${changelog} > ${changelog}.gz
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(kivo_changelog ALL DEPENDS ${changelog}.gz)
  add_dependencies(kivo_programs kivo_changelog)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
endfunction()

function(kivo_debian_package)
  set(CPACK_PACKAGE_NAME kivo)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT ${KIVO_PACKAGE_MAINTAINER})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${KIVO_PACKAGE_SUMMARY})
  set(CPACK_PACKAGE_DESCRIPTION "kivorec records the device's UDP datagrams to a sample file with its
metadata, counting every datagram it could not keep; kivoinspect checks a
recording and prints its summary; kivoexport writes it as BrainVision files
for MNE-Python, EEGLAB and FieldTrip; kivosim simulates the device.")
  set(CPACK_GENERATOR DEB)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};kivo;programs;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  include(CPack)
endfunction()

kivo_packaged_program(kivorec "record the Kivo device's datagrams from UDP port 55000 to a sample file")
kivo_packaged_program(kivoinspect "summarise and check Kivo sample files")
kivo_packaged_program(kivoexport "write a Kivo sample file as BrainVision files for MNE-Python, EEGLAB and FieldTrip")
kivo_packaged_program(kivosim "send the datagrams of a simulated Kivo device over UDP")

# The Debian package: for the system the build runs on, on Debian and its kin.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING AND KIVO_GZIP)
  kivo_package_documents()
  kivo_debian_package()
endif()
