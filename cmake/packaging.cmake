# The release archives and the Debian package, made by CPack from the install rules.
# Each package takes its share of the components (cmake/cpack-components.cmake); the
# archive's and the package's own files are left out of a plain `cmake --install`.

set(CPACK_PACKAGE_VENDOR "The ZORBEL developers")
set(CPACK_PACKAGE_CONTACT "ZORBEL developers <zorbel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "write the closed captions of MPEG-2 video as SubRip and SAMI files")
set(CPACK_PACKAGE_DESCRIPTION "\
zorbel reads an MPEG-2 video elementary stream or a DVD-style program stream,
finds the line-21 (EIA-608) closed captions stored as \"CC\" user data,
decodes pop-on, roll-up and paint-on captions, and writes them as a SubRip
(.srt) and a SAMI (.smi) file. No picture is decoded.")
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-components.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Notepad before Windows 10 1809 shows a file of LF-only lines as one line.
  configure_file(README.md README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt
    DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
else()
  set(CPACK_GENERATOR TGZ DEB)
  install(FILES README.md LICENSE DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The binary is static: the package depends on nothing.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

  # Debian wants the manual page and the changelog compressed at the highest level
  # and without a time stamp, and the licence in its machine-readable copyright format
  # (text lines indented by one space, an empty line written as " .").
  set(deb ${PROJECT_BINARY_DIR}/debian)
  configure_file(doc/changelog ${deb}/changelog COPYONLY)
  configure_file(${PROJECT_BINARY_DIR}/zorbel.1 ${deb}/zorbel.1 COPYONLY)
  execute_process(COMMAND gzip -9 -n -k -f changelog zorbel.1 WORKING_DIRECTORY ${deb}
    COMMAND_ERROR_IS_FATAL ANY)
  file(READ LICENSE licence)
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REPLACE "\n" "\n " licence " ${licence}")
  string(REPLACE "\n \n" "\n .\n" licence "${licence}")
  file(WRITE ${deb}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 ${CPACK_PACKAGE_VENDOR}
License: Expat
Comment: The MIT licence, as in the file LICENSE.

License: Expat
${licence}
")
  install(FILES ${deb}/zorbel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${deb}/copyright ${deb}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT debian EXCLUDE_FROM_ALL)
endif()

include(CPack)
