# flashtag_version_resource(target description): on Windows, gives the
# program version resources (company, product, version, copyright) made from
# the project's version number, which Explorer shows in its Properties.
# Nothing elsewhere.
function(flashtag_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(RC_NAME ${target})
  set(RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
