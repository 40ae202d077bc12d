# Windows resources shared by the project's executables. Included from the top directory;
# on other platforms the functions do nothing.
if(WIN32)
  enable_language(RC)
endif()

set(ZAL_UTF8_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/utf8.manifest")

# Embeds cmake/utf8.manifest as the executable's application manifest (RT_MANIFEST, id 1),
# so the process's narrow code page is UTF-8.
function(zal_windows_manifest target)
  if(NOT WIN32)
    return()
  endif()
  set(rc "${CMAKE_BINARY_DIR}/resources/utf8-manifest.rc")
  # Written only when it changes, so a new configure run does not relink.
  file(CONFIGURE OUTPUT "${rc}" CONTENT "1 24 \"${ZAL_UTF8_MANIFEST}\"\n")
  target_sources(${target} PRIVATE "${rc}")
  # The resource compiler does not track the file the .rc names.
  set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS "${ZAL_UTF8_MANIFEST}")
endfunction()
