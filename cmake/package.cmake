# Debian packages through CPack (`cpack -G DEB`, run by scripts/package) from a build configured
# with CMAKE_INSTALL_PREFIX=/usr, one package per install component:
#   lib<library>1     runtime: the shared library (SONAME lib<library>.so.1, symbols VEPOD_1.0)
#   lib<library>-dev  dev: the header, the CMake package, vepod.pc and the linker's .so link
#   vepod             client: the command-line client, its manual page and bash completion
set(VEPOD_PACKAGE_MAINTAINER "vepod maintainers <maintainers@vepod.example>"
    CACHE STRING "Maintainer field of the Debian packages: Name <address>")
set(VEPOD_RUNTIME_PACKAGE lib${VEPOD_LIB}${PROJECT_VERSION_MAJOR})
set(VEPOD_DEV_PACKAGE lib${VEPOD_LIB}-dev)
set(VEPOD_CLIENT_PACKAGE vepod)

# Debian wants a copyright file and a changelog in every package's documentation folder. They are
# only for the packages: a plain `cmake --install` leaves them out (EXCLUDE_FROM_ALL).
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
list(FILTER license_lines EXCLUDE REGEX "^(MIT License|Copyright .*)$")
list(POP_FRONT license_lines) # the blank line after the notice
set(VEPOD_LICENSE_TEXT "")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    string(APPEND VEPOD_LICENSE_TEXT " .\n")
  else()
    string(APPEND VEPOD_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "\n$" "" VEPOD_LICENSE_TEXT "${VEPOD_LICENSE_TEXT}")
set(debian_dir ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${debian_dir}/copyright @ONLY)
# SOURCE_DATE_EPOCH, when set, fixes the date for reproducible packages.
string(TIMESTAMP VEPOD_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${debian_dir}/changelog @ONLY)
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -9nc INPUT_FILE ${debian_dir}/changelog
                OUTPUT_FILE ${debian_dir}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

set(VEPOD_PACKAGE_COMPONENTS runtime dev)
if(VEPOD_BUILD_TOOLS)
  list(APPEND VEPOD_PACKAGE_COMPONENTS client)
endif()
foreach(component IN LISTS VEPOD_PACKAGE_COMPONENTS)
  string(TOUPPER ${component} upper)
  install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VEPOD_${upper}_PACKAGE}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vepod)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VEPOD_PACKAGE_MAINTAINER})
set(CPACK_COMPONENTS_ALL ${VEPOD_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE vepod)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Dependencies on the system's libraries come from dpkg-shlibdeps; it finds this build's library
# in the build folder, and the packages' dependencies on one another are stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VEPOD_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is rebuilt through dpkg's trigger. (CPack adds ldconfig calls of its own to
# postinst and postrm as well, which lintian warns about; they are harmless.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
# Programs built against this release need at least this release (MINOR adds functions); only
# the runtime package holds a shared library to describe.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "podcast source plug-in for media players
The library turns podcast feed URLs, or web pages that announce feeds, into
a two-level folder tree a media player browses: one folder per feed, one
playable entry per episode. It reads RSS 2.0, RDF and Atom, finds feed links
in HTML pages and fetches every page through a transport the player supplies.
Its interface is a flat C one that answers in JSON.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VEPOD_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VEPOD_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "podcast source plug-in for media players - development files
The library turns podcast feed URLs, or web pages that announce feeds, into
a two-level folder tree a media player browses.
This package holds what a player's build needs: the header vepod.h, the CMake
package (find_package(vepod) gives the target vepod::vepod) and the
pkg-config file vepod.pc.")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME ${VEPOD_CLIENT_PACKAGE})
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "${VEPOD_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "podcast client for the terminal
vepod subscribes to podcasts, updates them, lists and shows their episodes,
downloads and plays them, and imports and exports OPML subscription lists.
It is a host of the podcast source library as a media player is one.")

include(CPack)
