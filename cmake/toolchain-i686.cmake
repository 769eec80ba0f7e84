# Cross-compiles for 32-bit Windows, the build users run (and whose struct layouts the
# program's fixed sizes come from); its tests run under Wine as the 64-bit build's do.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTOVA_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
