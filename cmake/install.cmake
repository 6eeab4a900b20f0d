# `cmake --install`: the library, its public header, a CMake package (find_package(vepod) gives
# the imported target vepod::vepod) and a pkg-config file (vepod.pc);
# tools/CMakeLists.txt installs the command-line host. The components are the Debian packages
# (cmake/package.cmake): runtime (the library), dev (what a player's build reads) and client.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEPOD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vepod)

set_target_properties(${VEPOD_LIB} PROPERTIES EXPORT_NAME vepod)
install(TARGETS ${VEPOD_LIB} EXPORT vepod-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${VEPOD_INCLUDE_DIR}/vepod.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT vepod-targets NAMESPACE vepod:: DESTINATION ${VEPOD_CMAKE_DIR} COMPONENT dev)
file(WRITE ${PROJECT_BINARY_DIR}/vepod-config.cmake
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/vepod-targets.cmake\")\n")
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vepod-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vepod-config.cmake
              ${PROJECT_BINARY_DIR}/vepod-config-version.cmake
        DESTINATION ${VEPOD_CMAKE_DIR} COMPONENT dev)

# Relocatable: the prefix is found from the file's own place, so `--prefix` at install time works.
file(RELATIVE_PATH VEPOD_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VEPOD_PC_TO_PREFIX ${VEPOD_PC_TO_PREFIX})
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/vepod.pc @ONLY CONTENT [[
prefix=${pcfiledir}/@VEPOD_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: vepod
Description: Podcast source plug-in for media players (RSS 2.0, RDF, Atom; flat C interface)
Version: @PROJECT_VERSION@
Libs: -L${libdir} -l@VEPOD_LIB@
Cflags: -I${includedir}
]])
install(FILES ${PROJECT_BINARY_DIR}/vepod.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
