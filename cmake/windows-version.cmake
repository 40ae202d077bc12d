# The Windows version record (VERSIONINFO) of the project's executables, from the project
# version. Included from the top directory; on other platforms the function does nothing.
if(WIN32)
  enable_language(RC)
endif()

set(ZAL_AUTHORS "The zal-ndi-send authors")
set(ZAL_COPYRIGHT_YEAR 2026)
set(ZAL_VERSION_RC_IN "${CMAKE_CURRENT_LIST_DIR}/version.rc.in")

# Gives <target>.exe a version record with this description (Explorer's "File description").
function(zal_windows_version target description)
  if(NOT WIN32)
    return()
  endif()
  set(ZAL_RC_NAME "${target}")
  set(ZAL_RC_DESCRIPTION "${description}")
  set(rc "${CMAKE_BINARY_DIR}/resources/${target}-version.rc")
  # Written only when it changes, so a new configure run does not relink.
  configure_file("${ZAL_VERSION_RC_IN}" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
