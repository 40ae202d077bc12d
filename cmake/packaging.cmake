# Packages: a zip for Windows, a .deb for Linux, both named with the version. Included last
# from the top directory, once every program target exists.
set(ZAL_PROGRAMS zal-ndi-send zal-ndi-supervise)
set(ZAL_SCHEMAS docs/events.schema.json docs/supervise-events.schema.json docs/supervise-api.schema.json)

set(CPACK_PACKAGE_NAME zal-ndi-send)
set(CPACK_PACKAGE_VENDOR "The zal-ndi-send authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Republishes one RTSP stream as an NDI source")
set(CPACK_PACKAGE_CONTACT "ZAL developers <dev@zal.invalid>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS ${ZAL_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES README.md LICENSE ${ZAL_SCHEMAS} DESTINATION .)
  install(FILES examples/sources.json DESTINATION examples)
  # Compiled into the programs, so their notices go along as their licences ask:
  # nlohmann-json and cpp-httplib (zal-ndi-supervise), stb and the DejaVu font (the slate
  # of zal-ndi-send) and mingw-w64's runtime (both).
  get_filename_component(ZAL_HTTPLIB_LICENSE_DIR "${ZAL_HTTPLIB_HEADER}" DIRECTORY)
  set(ZAL_NOTICES "${CMAKE_BINARY_DIR}/THIRD-PARTY-NOTICES.txt")
  file(WRITE "${ZAL_NOTICES}" "Third-party code compiled into zal-ndi-send.exe and zal-ndi-supervise.exe\n")
  foreach(entry IN ITEMS
      "nlohmann-json (zal-ndi-supervise.exe)|/usr/share/doc/nlohmann-json3-dev/copyright"
      "cpp-httplib (zal-ndi-supervise.exe)|${ZAL_HTTPLIB_LICENSE_DIR}/LICENSE"
      "stb: stb_truetype, stb_image, stb_image_resize (zal-ndi-send.exe)|/usr/share/doc/libstb-dev/copyright"
      "DejaVu Sans Bold font (zal-ndi-send.exe)|/usr/share/doc/fonts-dejavu-core/copyright"
      "mingw-w64 runtime, winpthreads included (both programs)|/usr/share/doc/mingw-w64-common/copyright")
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 what)
    list(GET entry 1 from)
    file(READ "${from}" text)
    file(APPEND "${ZAL_NOTICES}" "\n==== ${what}\n\n${text}")
  endforeach()
  install(FILES "${ZAL_NOTICES}" DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "zal-ndi-send-${PROJECT_VERSION}-windows-x64")
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
# Debian wants the man pages and the changelog compressed, without name or time stamp.
set(ZAL_PACKAGE_DIR "${CMAKE_BINARY_DIR}/package")
set(gzipped)
foreach(source IN ITEMS docs/man/zal-ndi-send.1 docs/man/zal-ndi-supervise.1 packaging/changelog)
  get_filename_component(name "${source}" NAME)
  set(plain "${ZAL_PACKAGE_DIR}/plain/${name}")
  set(out "${ZAL_PACKAGE_DIR}/${name}.gz")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${ZAL_PACKAGE_DIR}/plain"
    COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/${source}" "${plain}"
    COMMAND gzip -9nf "${plain}"
    COMMAND ${CMAKE_COMMAND} -E rename "${plain}.gz" "${out}"
    DEPENDS "${CMAKE_SOURCE_DIR}/${source}" VERBATIM)
  list(APPEND gzipped "${out}")
endforeach()
add_custom_target(zal-package-docs ALL DEPENDS ${gzipped})

install(TARGETS ${ZAL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES "${ZAL_PACKAGE_DIR}/zal-ndi-send.1.gz" "${ZAL_PACKAGE_DIR}/zal-ndi-supervise.1.gz"
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# changelog.gz, not changelog.Debian.gz: the package is its own upstream (a native version).
install(FILES README.md LICENSE ${ZAL_SCHEMAS} packaging/copyright "${ZAL_PACKAGE_DIR}/changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/sources.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The supervisor as a system service, not enabled: it has no sources until the
# administrator writes /etc/zal-ndi-send/sources.json. Its user comes from postinst.
install(FILES packaging/zal-ndi-supervise.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dpkg-shlibdeps adds the libraries' packages
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/prerm;${CMAKE_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
zal-ndi-send republishes one live RTSP stream as an NDI source on the local
network. It starts ffmpeg as its child to pull and decode the stream, and
publishes the frames through the NDI runtime (libndi.so.6, installed
separately). It is made to be driven by a controlling application: it
reports on standard output as one JSON object per line, stops when its
standard input is closed, and tells how the run ended through its exit code.
.
zal-ndi-supervise runs one zal-ndi-send per source listed in a file,
restarts each with back-off, restarts frozen sources, and reports it all
as JSON lines. It comes with a systemd service, zal-ndi-supervise, that
reads /etc/zal-ndi-send/sources.json; it is not enabled until the
administrator has written that file and enables it.
.
JSON Schemas of the event lines are in /usr/share/doc/zal-ndi-send.]=])
include(CPack)
