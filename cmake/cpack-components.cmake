# Read by cpack for each generator: the Debian package has its own compressed manual page
# and documents, the archives have the plain page, the README and the licence in a folder
# named after the archive.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL manual archive)
else()
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL debian)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
