# yyjson 0.12: the installed package (Debian's libyyjson-dev), or else, where no package of it
# exists (the Windows cross build, a system without the package), its release source compiled into
# the library: the tarball kept in third_party/yyjson (checked against its SHA256SUMS), or a folder
# or tarball named by VEPOD_YYJSON_SOURCE. Either way the target is yyjson::yyjson and
# VEPOD_YYJSON_VERSION the version its header states.
set(VEPOD_YYJSON_SOURCE "${PROJECT_SOURCE_DIR}/third_party/yyjson/yyjson-0.12.0.tar.gz" CACHE PATH
    "yyjson 0.12 source (folder or release tarball), built in when no yyjson package is found")
option(VEPOD_YYJSON_BUNDLED "Build the bundled yyjson source even when a package is installed" OFF)

# The yyjson package ships no version file, so the version is read from the header.
function(vepod_yyjson_version include_dirs out_var)
  find_file(header yyjson.h PATHS ${include_dirs} NO_DEFAULT_PATH NO_CACHE
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT header)
    message(FATAL_ERROR "yyjson: no yyjson.h in ${include_dirs}")
  endif()
  file(STRINGS ${header} line REGEX "^#define[ \t]+YYJSON_VERSION_STRING[ \t]+\"[0-9.]+\"")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" version "${line}")
  if(NOT version)
    message(FATAL_ERROR "yyjson: no YYJSON_VERSION_STRING in ${header}")
  endif()
  set(${out_var} ${version} PARENT_SCOPE)
  set(VEPOD_YYJSON_HEADER ${header} PARENT_SCOPE)
endfunction()

if(NOT VEPOD_YYJSON_BUNDLED)
  # The package ships no version file: its version is read from its header below.
  find_package(yyjson CONFIG QUIET)
endif()
if(yyjson_FOUND)
  get_target_property(include_dirs yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
  vepod_yyjson_version("${include_dirs}" VEPOD_YYJSON_VERSION)
  if(VEPOD_YYJSON_VERSION VERSION_LESS 0.12 AND VEPOD_YYJSON_SOURCE)
    message(STATUS "yyjson ${VEPOD_YYJSON_VERSION} (${VEPOD_YYJSON_HEADER}) is too old; "
                   "building ${VEPOD_YYJSON_SOURCE}")
    set(yyjson_FOUND FALSE)
  endif()
endif()

if(NOT yyjson_FOUND)
  set(source ${VEPOD_YYJSON_SOURCE})
  if(NOT IS_DIRECTORY ${source})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "yyjson: VEPOD_YYJSON_SOURCE ${source} does not exist")
    endif()
    # A SHA256SUMS file beside the tarball (as release folders have) must list it, and it must
    # match.
    get_filename_component(tar_dir ${source} DIRECTORY)
    get_filename_component(tar_name ${source} NAME)
    if(EXISTS ${tar_dir}/SHA256SUMS)
      file(STRINGS ${tar_dir}/SHA256SUMS sums REGEX "^[0-9a-f]+[ \t]+\\*?${tar_name}$")
      string(REGEX MATCH "^[0-9a-f]+" want "${sums}")
      file(SHA256 ${source} got)
      if(NOT want STREQUAL got)
        message(FATAL_ERROR "yyjson: ${source} has SHA-256 ${got}, "
                            "${tar_dir}/SHA256SUMS says '${want}'")
      endif()
    endif()
    set(extracted ${PROJECT_BINARY_DIR}/_deps/yyjson)
    file(REMOVE_RECURSE ${extracted})
    file(ARCHIVE_EXTRACT INPUT ${source} DESTINATION ${extracted})
    file(GLOB source LIST_DIRECTORIES true ${extracted}/*)
  endif()
  if(NOT EXISTS ${source}/src/yyjson.c)
    message(FATAL_ERROR "yyjson: no src/yyjson.c in ${source}")
  endif()
  vepod_yyjson_version(${source}/src VEPOD_YYJSON_VERSION)
  # Compiled with the project's compiler but not its warning set: the code is yyjson's own.
  add_library(vepod_yyjson STATIC ${source}/src/yyjson.c)
  set_target_properties(vepod_yyjson PROPERTIES POSITION_INDEPENDENT_CODE ON
                        C_VISIBILITY_PRESET hidden)
  target_include_directories(vepod_yyjson SYSTEM PUBLIC $<BUILD_INTERFACE:${source}/src>)
  add_library(yyjson::yyjson ALIAS vepod_yyjson)
endif()

if(VEPOD_YYJSON_VERSION VERSION_LESS 0.12)
  message(FATAL_ERROR "yyjson ${VEPOD_YYJSON_VERSION} (${VEPOD_YYJSON_HEADER}) is too old: "
                      "vepod needs 0.12 or newer (scripts/setup installs it)")
endif()
message(STATUS "yyjson ${VEPOD_YYJSON_VERSION}: ${VEPOD_YYJSON_HEADER}")
