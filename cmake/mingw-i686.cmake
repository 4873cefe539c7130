# The 32-bit Windows program, the one the tool is meant to be.
set(ZIBEL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Every processor that runs a supported Windows has SSE2; the search uses it.
set(CMAKE_CXX_FLAGS_INIT "-msse2")
