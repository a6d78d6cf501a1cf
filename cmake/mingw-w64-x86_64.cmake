# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads).
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake \
#         -DVANTREL_QT_WINDOWS=/path/to/qt6-for-windows
# tools/cross-build-windows.sh finds or makes that Qt and calls this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_STRIP /usr/bin/x86_64-w64-mingw32-strip CACHE FILEPATH "")

# The Qt built for Windows: a CMake variable, else the environment.
if(NOT VANTREL_QT_WINDOWS AND DEFINED ENV{VANTREL_QT_WINDOWS})
  set(VANTREL_QT_WINDOWS "$ENV{VANTREL_QT_WINDOWS}")
endif()
set(VANTREL_QT_WINDOWS "${VANTREL_QT_WINDOWS}" CACHE PATH "Qt 6 built for Windows (MinGW)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTREL_QT_WINDOWS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VANTREL_QT_WINDOWS})
set(CMAKE_PREFIX_PATH ${VANTREL_QT_WINDOWS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# moc, rcc and uic come from the build machine's Qt of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
