# Cross-compiles for 32-bit Windows. This build is compiled on every run (its struct
# layouts are the ones the program's fixed sizes come from) but not run: no 32-bit Wine here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTOVA_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
