# `cmake --install` puts the documentation beside the programs and pages;
# `cpack` (in the build directory) makes a Debian package of the same install,
# or, in a Windows build, the ZIP a Windows user downloads.
include(${PROJECT_SOURCE_DIR}/cmake/version_check.cmake)

# Debian's permissions, whatever the umask of the one who installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The programs, a README.txt for Windows users and the licence, side by
  # side, with CR LF line ends as Windows editors expect.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(SSM_WINDOWS_ARCH win64)
  else()
    set(SSM_WINDOWS_ARCH win32)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
                 ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/packaging/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  # The troubleshooting is plain enough to read as text.
  configure_file(${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
                 ${PROJECT_BINARY_DIR}/packaging/TROUBLESHOOTING.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt
                ${PROJECT_BINARY_DIR}/packaging/TROUBLESHOOTING.txt
                ${PROJECT_BINARY_DIR}/packaging/LICENSE.txt
          DESTINATION .)
else()
  # Debian wants the licence as `copyright` and a changelog whose latest
  # entry is the package's version.
  ssm_require_version(${PROJECT_SOURCE_DIR}/packaging/changelog "^${SSM_PACKAGE_NAME} "
                      "${SSM_PACKAGE_NAME} (${PROJECT_VERSION})")
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME copyright)
  # Debian compresses every document over 4 KiB; the changelog always.
  set(documents ${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md ${PROJECT_SOURCE_DIR}/docs/monitoring.md)
  if(SSM_GZIP_PROGRAM)
    set(compressed)
    foreach(document IN LISTS documents)
      get_filename_component(name ${document} NAME)
      set(output ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
      add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${document} -DOUTPUT=${output}
                -P ${PROJECT_SOURCE_DIR}/cmake/gzip_file.cmake
        DEPENDS ${document} ${PROJECT_SOURCE_DIR}/cmake/gzip_file.cmake
        VERBATIM)
      list(APPEND compressed ${output})
    endforeach()
    add_custom_target(package_documents ALL DEPENDS ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES ${documents} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  # The alert rules, as monitoring.md shows them loaded.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/prometheus/ssm-monitor.rules.yml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # ssm_monitor's service, installed and not enabled: where the system's own
  # units are (/lib/systemd/system, as Debian 12's packages put them) for an
  # install under /usr, under the prefix otherwise (/usr/local/lib/systemd/
  # system is on systemd's path too). The prefix is known only at install
  # time, so the install decides.
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(ssm_unit_directory /lib/systemd/system)
    else()
      set(ssm_unit_directory \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    endif()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/ssm-monitor@.service\"
         DESTINATION \"\${ssm_unit_directory}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)")
endif()

# The project's own, whoever builds the package; the same as the changelog's.
set(SSM_PACKAGE_MAINTAINER
    "Seed 44921906 maintainers <maintainers@users.noreply.c-seed-44921906.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME ${SSM_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SSM_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${SSM_PACKAGE_NAME}-${PROJECT_VERSION}-${SSM_WINDOWS_ARCH})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # The install into the package's tree goes through DESTDIR, with the
  # prefix /usr itself: the service lands in the package's
  # /lib/systemd/system, not in the building host's.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SSM_PACKAGE_MAINTAINER})
endif()
# One paragraph, wrapped for the package's control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ssm_listen and ssm_watch join one source-specific multicast channel, IPv4"
  "or IPv6 (source, group and UDP port, optionally the interface to receive"
  "on) and print one line for every datagram that"
  "arrives: the sender's address, the sequence number in the datagram's first"
  "four bytes, and its length. They show whether, from where and in what order"
  "a stream reaches the host. ssm_watch also asks for the membership again"
  "after every silent second, so it recovers when a route or an interface comes"
  "up late. ssm_check listens to a channel for a while and reports what came,"
  "which sequence numbers are missing, repeated or late, what this host dropped"
  "or blocks (reverse-path filtering, a firewall, IGMPv2), whether the stream"
  "reaches the interface at all, and a verdict with an exit status to match."
  "ssm_monitor watches many channels around the clock and writes one line for"
  "each event: joined or refused, up, silent (and why: a refused join,"
  "reverse-path filtering, a firewall, nothing on the link), sequence numbers"
  "missing, datagrams dropped by this host; as text or JSON Lines. It serves"
  "every channel's figures to Prometheus over HTTP (/metrics) or writes them"
  "for node_exporter's textfile collector, and comes with a systemd template"
  "unit (ssm-monitor@NAME.service, not enabled) and alert rules."
  "ssm_send sends a numbered test stream from a chosen source address.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
