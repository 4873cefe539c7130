# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE).

# Every time stamp in a package is SOURCE_DATE_EPOCH, which cpack gives each
# file of a .deb or a .zip, and strip the Windows program, when it is set: the
# one in cpack's own environment, or else the one the build folder was
# configured with.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ZIBEL_SOURCE_DATE_EPOCH})
endif()
# A .zip keeps each file's time in local time as well: make that UTC.
set(ENV{TZ} UTC)
