# Cross-build for 64-bit Windows with the mingw-w64 posix-thread toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_BINARY_DIR}/deps)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Executables carry their runtime so that they run under Wine with nothing beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Boost's headers come from a folder that holds only a link to the system's boost directory, so that
# the cross compiler never sees the host's other headers.
set(VELOCYN_CROSS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/cross-deps" CACHE PATH "Cross-build dependency prefix")
set(Boost_INCLUDE_DIR "${VELOCYN_CROSS_DEPS}/boost-include")
set(Boost_NO_SYSTEM_PATHS ON)
