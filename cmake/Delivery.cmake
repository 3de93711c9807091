# Install rules and Debian packages.
#
# One package per profile (tarvik-naval, tarvik-std, tarvik-modular), each with its card
# program and its tools in bin, its manual page and the README under
# share/doc/tarvik-<profile>. The naval package also carries the systemd unit
# (/usr/lib/systemd/system/tarvik-naval.service) and its environment file
# (/etc/default/tarvik-naval, a conffile); its maintainer scripts create the working
# directory /var/lib/tarvik-naval with the "Tarvik" key file and remove it on purge.
#
#   cmake --build build --target package      -> build/tarvik-<profile>_<version>_<arch>.deb
# Packaged for /usr; the unit names the program by its installed path.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(TVK_VERSION 1.0.0 CACHE STRING "Version of the Debian packages")
set(TVK_DELIVERY_DIR ${CMAKE_SOURCE_DIR}/tools/delivery)

foreach(P ${TVK_PROFILES})
  install(TARGETS tarvik-${P} tarvik-vu-${P} ${TVK_TOOLS_${P}}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${P})

  # Manual page of the card program, with the profile's own wording.
  set(TVK_P ${P})
  if(P STREQUAL "modular")
    set(TVK_MASK_TEXT "MASK minus 1000 gives the presence of cabinets B C D in its last three decimal digits; cabinet A is always present, and a mask below 1000 is refused (exit status 255).")
    set(TVK_BANNER "*** Tarvik modbus 485 ***")
  else()
    set(TVK_MASK_TEXT "the presence of cabinets A B C D as four decimal digits, each odd digit marking its cabinet present: 1111 for all four, 1010 for A and C.")
    if(P STREQUAL "naval")
      set(TVK_BANNER "*** NAVALE without redundancy mode 1 modbus 485 ***")
    else()
      set(TVK_BANNER "*** Tarvik modbus 485 ***")
    endif()
  endif()
  configure_file(${TVK_DELIVERY_DIR}/tarvik.1.in ${CMAKE_BINARY_DIR}/delivery/tarvik-${P}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/delivery/tarvik-${P}.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${P})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvik-${P} COMPONENT ${P})
endforeach()

if("naval" IN_LIST TVK_PROFILES)
  set(TVK_UNIT_BIN ${CMAKE_INSTALL_FULL_BINDIR})
  configure_file(${TVK_DELIVERY_DIR}/tarvik-naval.service.in
    ${CMAKE_BINARY_DIR}/delivery/tarvik-naval.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/delivery/tarvik-naval.service
    DESTINATION lib/systemd/system COMPONENT naval)
  # Absolute: the environment file belongs in /etc whatever the prefix.
  install(FILES ${TVK_DELIVERY_DIR}/tarvik-naval.default
    DESTINATION /etc/default RENAME tarvik-naval COMPONENT naval)
  file(WRITE ${CMAKE_BINARY_DIR}/delivery/naval/conffiles "/etc/default/tarvik-naval\n")
  foreach(S postinst prerm postrm)
    configure_file(${TVK_DELIVERY_DIR}/naval.${S} ${CMAKE_BINARY_DIR}/delivery/naval/${S}
      COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${TVK_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TVK_PROFILES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps would look at the build machine's libraries: name them here.
  if(DEFINED TVK_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TVK_DEB_ARCH})
  endif()
  if(TVK_QT STREQUAL "6")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libqt6core6")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libqt5core5a")
  endif()
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(TVK_SUMMARY_naval "network-management card service of a UPS cabinet (naval profile)")
set(TVK_SUMMARY_std "network-management card service of a UPS cabinet (standard profile)")
set(TVK_SUMMARY_modular "network-management card service of a UPS cabinet (modular profile)")
foreach(P ${TVK_PROFILES})
  string(TOUPPER ${P} PU)
  set(CPACK_DEBIAN_${PU}_PACKAGE_NAME tarvik-${P})
  set(CPACK_DEBIAN_${PU}_DESCRIPTION "Tarvik ${TVK_SUMMARY_${P}}
The card program tarvik-${P} (master of the module bus, station on the cabinet bus,
tree of records in System V shared memory) and its tools (tree reader, panel
commands, bus sniffer, stand-in devices, simulated plant, benchmarks).")
  set(CPACK_COMPONENT_${PU}_DESCRIPTION "Tarvik ${TVK_SUMMARY_${P}}")
endforeach()
if("naval" IN_LIST TVK_PROFILES)
  set(CPACK_DEBIAN_NAVAL_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/delivery/naval/conffiles ${CMAKE_BINARY_DIR}/delivery/naval/postinst
    ${CMAKE_BINARY_DIR}/delivery/naval/prerm ${CMAKE_BINARY_DIR}/delivery/naval/postrm)
  set(CPACK_DEBIAN_NAVAL_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
