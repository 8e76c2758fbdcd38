# Installation and packages (CPack):
#   Linux:   flashtag_<version>_amd64.deb: the programs in /usr/bin, their
#            manual pages, README, copyright and changelog in
#            /usr/share/doc/flashtag; dependencies from dpkg-shlibdeps.
#   Windows: flashtag-<version>-win64.zip: the .exe files, README.txt with
#            Windows line ends, the example script.
# scripts/package.sh makes both into dist/.

# The changelog's newest entry must be this version's: a release bumps the
# version above and adds the entry in the same change.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^flashtag \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
endif()

set(CPACK_PACKAGE_NAME flashtag)
set(CPACK_PACKAGE_VENDOR Corvela)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvela <support@corvela.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loads BASIC scripts into Corvela tags over a serial port")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS flashtag taglog tagfleet tagterm tagrun RUNTIME DESTINATION .)
  # README.txt in Windows line ends, for Notepad.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/examples/hello.bas
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME flashtag-${PROJECT_VERSION}-win64)
else()
  include(GNUInstallDirs)
  install(TARGETS flashtag taglog tagfleet tagterm tagrun tagsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the changelog go compressed, as Debian keeps them;
  # -n leaves the time out, so that the same sources give the same package.
  set(docs ${CMAKE_BINARY_DIR}/doc)
  set(compressed "")
  foreach(page flashtag taglog tagfleet tagterm tagrun tagsim)
    list(APPEND compressed ${docs}/${page}.1.gz)
    add_custom_command(OUTPUT ${docs}/${page}.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${docs}
      COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/man/${page}.1 > ${docs}/${page}.1.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/${page}.1 VERBATIM)
    install(FILES ${docs}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  list(APPEND compressed ${docs}/changelog.gz)
  add_custom_command(OUTPUT ${docs}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${docs}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${docs}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/flashtag)
  install(FILES ${docs}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/examples/hello.bas DESTINATION ${doc_dir}/examples)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "flashtag finds a Corvela tag on a serial port (one named, or by trying\n"
      "each in turn), identifies it and loads a BASIC script into its flash\n"
      "memory, with a progress bar. taglog reads the tag's log. tagterm is the\n"
      "tag's console in a terminal, which the other programs go through while\n"
      "it holds the port. tagrun checks a tag from a script or a CI job: it\n"
      "loads, re-boots, sends lines and expects the tag's output, and ends\n"
      "with a verdict and a JUnit report. tagsim is a\n"
      "simulated tag on a pseudo-terminal, for trying a script or a setup\n"
      "without a board.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
endif()

include(CPack)
