# The API reference: a "docs" target that runs Doxygen over the public
# headers (docs/Doxyfile.in), only when doxygen is found. A warning fails it.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/docs
    COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs/html"
    VERBATIM)
else()
  message(STATUS "docs target left out: it needs doxygen (scripts/deps.sh installs it)")
endif()
