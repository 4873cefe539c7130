# What is installed, and the packages cpack makes of it in the build folder:
# a .deb on Linux, a .zip on Windows. Included from CMakeLists.txt after the
# program's target, and after cmake/reproducible.cmake.
include(GNUInstallDirs)
# Folders that cmake --install makes are open to all to read, whatever the
# umask of whoever installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The Windows package is a folder: the program, a short README and the
  # license, both text files with Windows line ends. Its name and its README
  # tell the 32-bit program (x86) from the 64-bit one (x64).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ZIBEL_WINDOWS_BITS 32)
    set(ZIBEL_WINDOWS_KIND x86)
  else()
    set(ZIBEL_WINDOWS_BITS 64)
    set(ZIBEL_WINDOWS_KIND x64)
  endif()
  install(TARGETS zibel RUNTIME DESTINATION .)
  configure_file(packaging/README-windows.txt README.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
          DESTINATION .)
else()
  # Who publishes the .deb. The defaults name nobody and lead nowhere (the
  # domain .invalid never resolves); whoever publishes a package sets both.
  set(ZIBEL_PACKAGE_MAINTAINER "Unnamed packager <packager@zibel.invalid>"
      CACHE STRING "The .deb's maintainer, as Name <address>")
  set(ZIBEL_PACKAGE_HOMEPAGE "https://zibel.invalid/" CACHE STRING "The .deb's home page")

  install(TARGETS zibel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The license as Debian reads it (the machine-readable copyright format):
  # the holders from LICENSE's copyright line, and its terms, the paragraphs
  # from "Permission" on, indented by one space, an empty line as " .".
  set(ZIBEL_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZIBEL_LICENSE})
  file(READ ${ZIBEL_LICENSE} ZIBEL_LICENSE_TEXT)
  string(REGEX MATCH "\nCopyright \\(c\\) ([^\n]+)\n" ZIBEL_COPYRIGHT_LINE "${ZIBEL_LICENSE_TEXT}")
  set(ZIBEL_COPYRIGHT ${CMAKE_MATCH_1})
  string(FIND "${ZIBEL_LICENSE_TEXT}" "Permission is hereby granted" ZIBEL_TERMS_START)
  if(NOT ZIBEL_COPYRIGHT OR ZIBEL_TERMS_START EQUAL -1)
    message(FATAL_ERROR "LICENSE has no copyright line or no terms where they were expected")
  endif()
  string(SUBSTRING "${ZIBEL_LICENSE_TEXT}" ${ZIBEL_TERMS_START} -1 ZIBEL_LICENSE_TERMS)
  string(STRIP "${ZIBEL_LICENSE_TERMS}" ZIBEL_LICENSE_TERMS)
  string(REPLACE "\n\n" "\n.\n" ZIBEL_LICENSE_TERMS "${ZIBEL_LICENSE_TERMS}")
  string(REPLACE "\n" "\n " ZIBEL_LICENSE_TERMS " ${ZIBEL_LICENSE_TERMS}")
  configure_file(packaging/copyright.in copyright @ONLY)

  # The changelog's latest entry is for this version.
  file(STRINGS ${ZIBEL_CHANGELOG} ZIBEL_CHANGELOG_HEADING LIMIT_COUNT 1)
  if(NOT ZIBEL_CHANGELOG_HEADING MATCHES "^zibel \\(([^)]+)\\) "
     OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "The latest entry of packaging/changelog.in is not for version "
                        "${PROJECT_VERSION}: add one (its first line is '${ZIBEL_CHANGELOG_HEADING}')")
  endif()
  configure_file(${ZIBEL_CHANGELOG} changelog @ONLY)

  # Debian wants manual pages and changelogs compressed, without a time stamp
  # or a name in the gzip header. The paths reach the shell as arguments, so
  # that quotes or dollars in them are only characters.
  set(ZIBEL_GZIP sh -c "gzip -9nc \"$0\" > \"$1\"")
  add_custom_command(
    OUTPUT zibel.1.gz
    COMMAND ${ZIBEL_GZIP} ${PROJECT_SOURCE_DIR}/man/zibel.1 zibel.1.gz
    DEPENDS man/zibel.1
    VERBATIM)
  add_custom_command(
    OUTPUT changelog.gz
    COMMAND ${ZIBEL_GZIP} changelog changelog.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
    VERBATIM)
  add_custom_target(documentation ALL DEPENDS zibel.1.gz changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zibel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME zibel)
set(CPACK_PACKAGE_VENDOR "The Zibel authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "replace every occurrence of a string inside a text file, in place")
# One line of the .deb's description each, at most 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "zibel /rt <file> <old string> <new string> replaces every occurrence of the"
  "old string by the new one, byte for byte, and writes the result back into the"
  "same file. Files of any size are edited through fixed buffers."
  ""
  "The file's content is never lost: the new content is written to a temporary"
  "file beside it and flushed to disk before the file is overwritten in place,"
  "and a failure, an interrupt or a concurrent run leaves the old content or the"
  "new one, or names the temporary file that holds it.")
set(CPACK_STRIP_FILES ON)
# Run by cpack, so that a package is the same whoever packs it, where and when:
# its time stamps (cmake/cpack-config.cmake), its folders' modes
# (cmake/cpack-folders.cmake), and the owners and modes it records
# (cmake/cpack-owners.cmake, through strip-nondeterminism).
set(CPACK_ZIBEL_SOURCE_DATE_EPOCH ${ZIBEL_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-folders.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-owners.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${ZIBEL_WINDOWS_KIND})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZIBEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ZIBEL_PACKAGE_HOMEPAGE})
  # The libraries the program loads, with their versions, as dpkg-shlibdeps
  # finds them (cpack needs the Debian packages dpkg-dev and file for it).
  if(NOT ZIBEL_LINK STREQUAL "static")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()
include(CPack)
