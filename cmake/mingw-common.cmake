set(CMAKE_C_COMPILER   ${KESTOVA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTOVA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTOVA_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTOVA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# CTest runs the test programs of both builds under Wine's 64-bit loader, which runs
# 32-bit programs too (with 32-bit Wine installed, in a prefix made after that).
find_program(KESTOVA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTOVA_WINE})
