# Run by cpack on the packages it has made (CPACK_POST_BUILD_SCRIPTS). Two
# things in them depend on whoever packs: the mode of each member of a .deb's
# ar archive follows their umask (its user and group are 0 already, and the
# files inside are root's), and a .zip records their user and group with each
# file. strip-nondeterminism, Debian's tool for it, makes them the same for
# everyone: ar members of user and group 0 and mode 644, and a .zip whose
# files are of user and group 0, of mode 644 or 755, in order of name, every
# time stamp SOURCE_DATE_EPOCH (cmake/cpack-config.cmake sets it).
find_program(ZIBEL_STRIP_NONDETERMINISM strip-nondeterminism)
if(NOT ZIBEL_STRIP_NONDETERMINISM)
  message(FATAL_ERROR "cpack needs strip-nondeterminism (the Debian package of that name) to make "
                      "packages that are the same whoever packs them")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    set(type ar --normalizers +ar)  # off unless asked for
  elseif(package MATCHES "\\.zip$")
    set(type zip)
  else()
    message(FATAL_ERROR "${package}: no way known to make it the same whoever packs it")
  endif()
  execute_process(
    COMMAND ${ZIBEL_STRIP_NONDETERMINISM} --type ${type} --timestamp $ENV{SOURCE_DATE_EPOCH}
            ${package}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
