# Run by cpack on the packages it has made (CPACK_POST_BUILD_SCRIPTS). cpack
# records in them the user and group of whoever packs, and in a .deb the mode
# each member has on disk, which follows their umask. All become what dpkg-deb
# and a root build write: user and group 0, and mode 100644 for the members of
# a .deb. The package is then the same whoever packs it.

# Overwrites <file> from byte <offset> on with <bytes>, a printf format of
# plain text or octal escapes.
function(zibel_overwrite file offset bytes)
  execute_process(
    COMMAND sh -c "printf '${bytes}' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
            ${file} ${offset}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    # An ar archive: "!<arch>\n", then per member a header of 60 bytes: name
    # (16), time (12), user (6), group (6), mode (8), size (10) and "`\n",
    # followed by the member's data, padded to an even length.
    file(SIZE ${package} size)
    set(offset 8)
    while(offset LESS size)
      file(READ ${package} header OFFSET ${offset} LIMIT 60)
      string(SUBSTRING "${header}" 48 10 member_size)
      string(STRIP "${member_size}" member_size)
      if(NOT member_size MATCHES "^[0-9]+$")
        message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
      endif()
      math(EXPR user_offset "${offset} + 28")
      zibel_overwrite(${package} ${user_offset} "0     0     100644  ")
      math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
    endwhile()
  elseif(package MATCHES "\\.zip$")
    # Each file has an extra field 0x7875 ("ux") in its local header and in
    # the central directory: 75 78, its length 0b 00, version 01, then the
    # user and the group as 4 bytes each, each after its size 04. The fields
    # are outside the data that the CRCs cover.
    file(READ ${package} hex HEX)
    set(from 0)
    set(found 0)
    while(TRUE)
      string(SUBSTRING "${hex}" ${from} -1 rest)
      string(FIND "${rest}" "75780b000104" at)
      if(at EQUAL -1)
        break()
      endif()
      math(EXPR at "${from} + ${at}")
      math(EXPR from "${at} + 1")
      math(EXPR odd "${at} % 2")
      if(odd)
        continue()  # not on a byte boundary
      endif()
      math(EXPR user_offset "${at} / 2 + 6")
      zibel_overwrite(${package} ${user_offset} "\\000\\000\\000\\000\\004\\000\\000\\000\\000")
      math(EXPR found "${found} + 1")
    endwhile()
    if(found EQUAL 0)
      message(FATAL_ERROR "${package}: found no user and group to clear")
    endif()
  endif()
endforeach()
