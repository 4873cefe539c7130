# Run by cpack once the files of a package are in place (CPACK_PRE_BUILD_SCRIPTS):
# each folder is made open to all to read, whatever the umask of whoever packs
# (cpack makes some of them itself, not through the install, and the .deb keeps
# their modes).
file(GLOB_RECURSE ZIBEL_STAGED LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*)
set(ZIBEL_STAGED_FOLDERS ${CPACK_TEMPORARY_DIRECTORY})
foreach(path IN LISTS ZIBEL_STAGED)
  if(IS_DIRECTORY ${path} AND NOT IS_SYMLINK ${path})
    list(APPEND ZIBEL_STAGED_FOLDERS ${path})
  endif()
endforeach()
execute_process(COMMAND chmod 755 ${ZIBEL_STAGED_FOLDERS} COMMAND_ERROR_IS_FATAL ANY)
