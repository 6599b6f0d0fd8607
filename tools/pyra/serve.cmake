# pyra serve: HTTP from Debian's cpp-httplib, slides through the internal C++
# layer, and the viewer's files (tools/pyra/viewer/ plus OpenSeadragon, which
# scripts/fetch-viewer.sh fetches from the npm registry) beside the executable
# in the build tree (viewer/) and under share/pyradec/viewer/ when installed.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(pyra PRIVATE pyradec_cxx PkgConfig::HTTPLIB Threads::Threads)

set(PYRADEC_OPENSEADRAGON_DIR "/var/cache/pyradec/openseadragon/build/openseadragon" CACHE PATH
    "OpenSeadragon's build folder (scripts/fetch-viewer.sh fetches it)")
set(PYRA_VIEWER_DIR ${CMAKE_BINARY_DIR}/viewer)
file(GLOB PYRA_VIEWER_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/viewer/*)
set(PYRA_VIEWER_COPY ${CMAKE_COMMAND} -E copy ${PYRA_VIEWER_FILES} ${PYRA_VIEWER_DIR}/)
if(EXISTS ${PYRADEC_OPENSEADRAGON_DIR}/openseadragon.min.js)
  list(APPEND PYRA_VIEWER_COPY COMMAND ${CMAKE_COMMAND} -E copy_directory
       ${PYRADEC_OPENSEADRAGON_DIR} ${PYRA_VIEWER_DIR}/openseadragon)
else()
  message(WARNING "OpenSeadragon not found in ${PYRADEC_OPENSEADRAGON_DIR}: run scripts/fetch-viewer.sh; "
                  "pyra serve's viewer page will not work")
endif()
add_custom_command(OUTPUT ${PYRA_VIEWER_DIR}/.stamp
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PYRA_VIEWER_DIR}
  COMMAND ${PYRA_VIEWER_COPY}
  COMMAND ${CMAKE_COMMAND} -E touch ${PYRA_VIEWER_DIR}/.stamp
  DEPENDS ${PYRA_VIEWER_FILES}
  COMMENT "Copying the viewer of pyra serve")
add_custom_target(pyra_viewer DEPENDS ${PYRA_VIEWER_DIR}/.stamp)
add_dependencies(pyra pyra_viewer)
install(DIRECTORY ${PYRA_VIEWER_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/pyradec/viewer
        PATTERN ".stamp" EXCLUDE)
