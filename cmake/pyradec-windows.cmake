# The Windows build: pyradec.dll, defined by cmake/PyradecLibrary.cmake like the
# shared object (so without the tile export, Print and cJSON). Exports only what the header marks
# PYRADEC_API (GNU ld exports nothing else once any symbol is dllexport'ed).
#
# Dependencies come from PYRADEC_WIN_DEPS, the prefix that scripts/build-windows.sh
# fills with libjpeg-turbo (static) and FFmpeg (DLLs) built for the target.
set(PYRADEC_WIN_DEPS "" CACHE PATH "Prefix of libjpeg-turbo and FFmpeg built for the target")
if(NOT EXISTS "${PYRADEC_WIN_DEPS}/lib/pkgconfig/libavcodec.pc")
  message(FATAL_ERROR "No target dependencies in '${PYRADEC_WIN_DEPS}': run scripts/build-windows.sh")
endif()

find_package(PkgConfig REQUIRED)
set(ENV{PKG_CONFIG_LIBDIR} "${PYRADEC_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
pkg_check_modules(JPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(AVCODEC REQUIRED IMPORTED_TARGET libavcodec libavutil)
find_package(OpenMP REQUIRED COMPONENTS CXX)

# The Win64 stack is only 16-byte aligned, so GCC's aligned moves of 32- and
# 64-byte vector spills can fault; the assembler turns them into unaligned ones.
add_compile_options(-Wall -Wextra -Wa,-muse-unaligned-vector-move)

include(${CMAKE_SOURCE_DIR}/cmake/PyradecLibrary.cmake)
pyradec_add_library(pyradec SHARED)
# libstdc++ inside the DLL: no clash with another libstdc++-6.dll on a host's PATH.
# libgcc stays shared, as libgomp-1.dll needs libgcc_s_seh-1.dll anyway.
# pyradec.def: for MSVC hosts, `lib /def:pyradec.def /machine:x64` makes pyradec.lib.
target_link_options(pyradec PRIVATE -static-libstdc++ -Wl,--exclude-all-symbols
  -Wl,--output-def,${CMAKE_BINARY_DIR}/pyradec.def)
set_target_properties(pyradec PROPERTIES
  PREFIX "" OUTPUT_NAME pyradec
  IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# ---- tests: public interface only, against the DLL, run under wine ----
if(PYRADEC_TESTS)
  enable_testing()
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()
