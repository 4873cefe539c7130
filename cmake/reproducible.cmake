# The same source gives the same program and the same packages, byte for byte,
# whatever folder it is built in and whenever. Included from CMakeLists.txt
# before any target.

# Paths in the debug information and in __FILE__ name the source tree and the
# build folder as ".": the build ID of the program, a hash of all of it, would
# otherwise carry where it was built. The compiler tries the last map first and
# matches prefixes as text, so the longer path comes last: the build folder
# when it lies inside the source tree, the source tree when the build folder's
# path is the start of its own (/src/zibel beside /src/zibel-source).
string(LENGTH "${PROJECT_SOURCE_DIR}" ZIBEL_SOURCE_PATH_LENGTH)
string(LENGTH "${PROJECT_BINARY_DIR}" ZIBEL_BINARY_PATH_LENGTH)
if(ZIBEL_BINARY_PATH_LENGTH GREATER ZIBEL_SOURCE_PATH_LENGTH)
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                      -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
else()
  add_compile_options(-ffile-prefix-map=${PROJECT_BINARY_DIR}=.
                      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
endif()

# Every time stamp that goes into the programs and the packages is
# SOURCE_DATE_EPOCH. It is taken from the environment when this folder is
# configured (cpack takes one set in its own environment first); when it is
# not set, it is the date of the latest entry in packaging/changelog.in, as
# dpkg-buildpackage does. That is a fixed value, the same for every build of
# one source, with or without git.
set(ZIBEL_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZIBEL_CHANGELOG})
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZIBEL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  file(STRINGS ${ZIBEL_CHANGELOG} ZIBEL_CHANGELOG_TRAILER REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*  " "" ZIBEL_CHANGELOG_DATE "${ZIBEL_CHANGELOG_TRAILER}")
  execute_process(COMMAND date -u -d "${ZIBEL_CHANGELOG_DATE}" +%s
                  OUTPUT_VARIABLE ZIBEL_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE ZIBEL_DATE_RESULT)
  if(NOT ZIBEL_DATE_RESULT EQUAL 0)
    message(FATAL_ERROR "Cannot read the date '${ZIBEL_CHANGELOG_DATE}' of the latest entry of "
                        "packaging/changelog.in")
  endif()
endif()
if(NOT ZIBEL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${ZIBEL_SOURCE_DATE_EPOCH}', not a number of seconds")
endif()

# The linker stamps a Windows program with the time of the link, unless
# SOURCE_DATE_EPOCH is set. (The packages' copy is stamped again by strip,
# under cpack's SOURCE_DATE_EPOCH.)
if(WIN32)
  set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZIBEL_SOURCE_DATE_EPOCH})
endif()
