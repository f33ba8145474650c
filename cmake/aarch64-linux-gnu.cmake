# Cross-compiles the module for 64-bit ARM Linux with Debian's
# g++-aarch64-linux-gnu. The target interpreter's headers come from an
# unpacked arm64 libpython3.X-dev: pass its root as PLIM_TARGET_ROOT, which
# must hold usr/include/python3.X and usr/include/aarch64-linux-gnu/python3.X.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Try-compiles see only cache entries named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLIM_TARGET_ROOT)
if(PLIM_TARGET_ROOT)
  # Debian's pyconfig.h picks the per-architecture one through <aarch64-linux-gnu/...>.
  include_directories(SYSTEM "${PLIM_TARGET_ROOT}/usr/include")
  file(GLOB _plim_python_include LIST_DIRECTORIES true "${PLIM_TARGET_ROOT}/usr/include/python3*")
  list(GET _plim_python_include 0 _plim_python_include)
  set(Python_INCLUDE_DIR "${_plim_python_include}" CACHE PATH "Target interpreter headers" FORCE)
endif()
