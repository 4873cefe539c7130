# The 64-bit Windows program, which Wine runs in the tests.
set(ZIBEL_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
