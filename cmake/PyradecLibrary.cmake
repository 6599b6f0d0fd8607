# The library's one definition, for every build: the Linux shared object
# (CMakeLists.txt), the Windows DLL (cmake/pyradec-windows.cmake) and the
# instrumented fuzzing library (fuzz/CMakeLists.txt).
#
#   pyradec_add_library(NAME SHARED|STATIC [EXCLUDE file...])
#
# What the two deliverables differ in is said here and nowhere else: the Linux
# build adds the tile export, Print and the POSIX platform file (and, in
# CMakeLists.txt, cJSON); the Windows build takes the Windows platform file.
# The caller finds libjpeg (PkgConfig::JPEG), libavcodec and libavutil
# (PkgConfig::AVCODEC) and OpenMP first.
get_filename_component(PYRADEC_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

function(pyradec_add_library name type)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "EXCLUDE")
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PYRADEC_ROOT}/src/*.cpp)
  set(linux_only
    ${PYRADEC_ROOT}/src/DecodePyra/TileExport.cpp   # GetAllSliceJpeg
    ${PYRADEC_ROOT}/src/bmp/BmpPrint.cpp             # Print
    ${PYRADEC_ROOT}/src/Platform/Posix.cpp)
  set(windows_only ${PYRADEC_ROOT}/src/Platform/Windows.cpp)
  if(WIN32)
    list(REMOVE_ITEM sources ${linux_only})
  else()
    list(REMOVE_ITEM sources ${windows_only})
  endif()
  if(arg_EXCLUDE)
    list(REMOVE_ITEM sources ${arg_EXCLUDE})
  endif()

  add_library(${name} ${type} ${sources})
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${PYRADEC_ROOT}/include>
    PRIVATE ${PYRADEC_ROOT}/src)
  # PYRADEC_BUILDING: the header's exports are definitions here, not imports.
  target_compile_definitions(${name} PRIVATE PYRADEC_BUILDING
    $<$<NOT:$<BOOL:${WIN32}>>:_FILE_OFFSET_BITS=64 _LARGEFILE64_SOURCE>)
  # No FMA contraction: the colour table is specified to the bit.
  target_compile_options(${name} PRIVATE -Wall -Wextra -ffp-contract=off)
  target_link_libraries(${name} PRIVATE PkgConfig::JPEG PkgConfig::AVCODEC OpenMP::OpenMP_CXX)
endfunction()
