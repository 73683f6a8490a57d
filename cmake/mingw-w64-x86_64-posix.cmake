# Cross-build for 64-bit Windows with the mingw-w64 posix-thread toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Executables carry their runtime (libstdc++, libgcc, winpthread) so that they run under Wine with
# nothing beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Boost's headers come from a folder that holds only a link to the system's boost directory, so that
# the cross compiler never sees the host's other headers. scripts/cross-deps.sh makes the folder.
set(VELOCYN_CROSS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/cross-deps" CACHE PATH "Cross-build dependency prefix")
if(NOT EXISTS "${VELOCYN_CROSS_DEPS}/boost-include/boost/version.hpp")
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/cross-deps.sh" "${VELOCYN_CROSS_DEPS}"
                  RESULT_VARIABLE velocyn_cross_deps_result)
  if(NOT velocyn_cross_deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/cross-deps.sh failed: the win64 build needs the Boost headers")
  endif()
endif()
# FindBoost takes the folder as it is: no search (which the find root would confine to the mingw
# prefix), no BoostConfig.cmake (the host's describes host libraries).
set(Boost_INCLUDE_DIR "${VELOCYN_CROSS_DEPS}/boost-include" CACHE PATH "Boost headers for the cross-build" FORCE)
set(Boost_NO_SYSTEM_PATHS ON)
set(Boost_NO_BOOST_CMAKE ON)
