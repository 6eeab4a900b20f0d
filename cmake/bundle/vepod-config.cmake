# vepod for Windows x64, from the release bundle: the imported target vepod::vepod, linked through
# the MinGW import library (.dll.a) with GCC or Clang and through the MSVC one (.lib) with MSVC or
# clang-cl. In the player's build: find_package(vepod 1.0 REQUIRED CONFIG) with CMAKE_PREFIX_PATH
# (or vepod_DIR) naming the unpacked folder, then target_link_libraries(player PRIVATE vepod::vepod)
# and ship bin/tervala-lumetra-podcast-rss-source-client.dll beside the player's program.
get_filename_component(_vepod_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET vepod::vepod)
  add_library(vepod::vepod SHARED IMPORTED)
  if(MSVC)
    set(_vepod_implib "${_vepod_root}/lib/tervala-lumetra-podcast-rss-source-client.lib")
  else()
    set(_vepod_implib "${_vepod_root}/lib/libtervala-lumetra-podcast-rss-source-client.dll.a")
  endif()
  set_target_properties(vepod::vepod PROPERTIES
    IMPORTED_LOCATION "${_vepod_root}/bin/tervala-lumetra-podcast-rss-source-client.dll"
    IMPORTED_IMPLIB "${_vepod_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_vepod_root}/include")
  unset(_vepod_implib)
endif()
unset(_vepod_root)
