# Install rules, the pkg-config file, the CMake package and the Debian package.
#
# Installed tree (prefix-relative):
#   include/zeva/zeva.h, include/zeva/client.h
#   lib/libzevant.so.3, libzeva32m.so.3, libzevavb32.so.3   the user libraries
#   lib/libzeva_system.so.3, libzeva_machine.so.3            the machine under them
#   lib/libzeva_client.so.3                                   the C++ client API
#   lib/pkgconfig/zeva.pc, lib/cmake/zeva/                    for consumers
#   bin/zeva, share/man/man1/zeva.1.gz, bin/indi_zeva_ccd
#   bin/zeva-alpaca, share/man/man1/zeva-alpaca.1.gz, lib/systemd/system/zeva-alpaca.service
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEVA_SOVERSION ${PROJECT_VERSION_MAJOR})
set(zeva_pkg_dir ${PROJECT_SOURCE_DIR}/packaging)
set(zeva_pkg_bin ${CMAKE_BINARY_DIR}/packaging)

# Libraries find each other next to themselves, programs in ../lib.
file(RELATIVE_PATH zeva_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(zeva_lib_rpath "$ORIGIN")
set(zeva_bin_rpath "$ORIGIN/${zeva_bin_to_lib}")

# --- shared libraries -------------------------------------------------------

# The user libraries and the machine they run on; the port backend library
# joins them when it is built shared.
set(zeva_user_libs zevant zeva32m zevavb32)
set(zeva_runtime_libs zeva_system zeva_machine)
foreach(t zeva_ppdev)
  if(TARGET ${t})
    get_target_property(zeva_type ${t} TYPE)
    if(zeva_type STREQUAL "SHARED_LIBRARY")
      list(APPEND zeva_runtime_libs ${t})
    endif()
  endif()
endforeach()

# The C++ client API as a shared library.  The in-tree target may be a static
# archive (the tool links it so); then the installed library is built from its
# objects, exporting only the client's own symbols.
if(TARGET zeva_client AND TARGET zevant)
  get_target_property(zeva_type zeva_client TYPE)
  if(zeva_type STREQUAL "SHARED_LIBRARY")
    set(zeva_client_lib zeva_client)
  else()
    # The archive brings what the client links (the libraries, zeva_common).
    add_library(zeva_client_shared SHARED $<TARGET_OBJECTS:zeva_client>)
    target_link_libraries(zeva_client_shared PRIVATE zeva_client)
    target_link_options(zeva_client_shared PRIVATE
                        -Wl,--version-script=${zeva_pkg_dir}/zeva_client.map)
    set_target_properties(zeva_client_shared PROPERTIES
      OUTPUT_NAME zeva_client
      LIBRARY_OUTPUT_DIRECTORY ${zeva_pkg_bin}
      LINK_DEPENDS ${zeva_pkg_dir}/zeva_client.map)
    set(zeva_client_lib zeva_client_shared)
  endif()
endif()

set(zeva_shared_libs "")
foreach(t ${zeva_user_libs} ${zeva_runtime_libs} ${zeva_client_lib})
  if(TARGET ${t})
    list(APPEND zeva_shared_libs ${t})
  endif()
endforeach()
set_target_properties(${zeva_shared_libs} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${ZEVA_SOVERSION}
  INSTALL_RPATH "${zeva_lib_rpath}")
install(TARGETS ${zeva_shared_libs}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(FILES ${PROJECT_SOURCE_DIR}/include/zeva/zeva.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zeva)
if(zeva_client_lib)
  install(FILES ${PROJECT_SOURCE_DIR}/client/client.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zeva)
endif()

# --- programs ---------------------------------------------------------------

# Man pages are installed compressed, as Debian wants them: PAGE.1 from
# packaging/, built by TARGET.
function(zeva_install_man page target)
  add_custom_command(OUTPUT ${zeva_pkg_bin}/${page}.1.gz
    COMMAND sh -c "gzip -9nc '${zeva_pkg_dir}/${page}.1' > '${zeva_pkg_bin}/${page}.1.gz'"
    DEPENDS ${zeva_pkg_dir}/${page}.1
    COMMENT "Compressing the ${page} man page" VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${zeva_pkg_bin}/${page}.1.gz)
  install(FILES ${zeva_pkg_bin}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

if(TARGET zeva_tool)
  set_target_properties(zeva_tool PROPERTIES INSTALL_RPATH "${zeva_bin_rpath}")
  install(TARGETS zeva_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  zeva_install_man(zeva zeva_man)
endif()
if(TARGET zeva_alpaca_server)
  # The Alpaca server (its folder installs the program), its man page and a
  # systemd unit that is installed, not enabled.
  set_target_properties(zeva_alpaca_server PROPERTIES INSTALL_RPATH "${zeva_bin_rpath}")
  zeva_install_man(zeva-alpaca zeva_alpaca_man)
  # Written at install time, so ExecStart names the prefix installed into.
  install(CODE "
    set(ZEVA_ALPACA_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zeva-alpaca\")
    configure_file(\"${zeva_pkg_dir}/zeva-alpaca.service.in\" \"${zeva_pkg_bin}/zeva-alpaca.service\" @ONLY)
  ")
  install(FILES ${zeva_pkg_bin}/zeva-alpaca.service DESTINATION lib/systemd/system)
endif()
if(TARGET indi_zeva_ccd)
  # The driver finds our libraries in ../lib, and an INDI outside the
  # system's directories (an INDI 2 prefix) where it was found.
  set(zeva_indi_rpath "${zeva_bin_rpath}")
  if(ZEVA_INDI_LIBDIR AND NOT ZEVA_INDI_LIBDIR MATCHES "^/usr/lib")
    list(APPEND zeva_indi_rpath "${ZEVA_INDI_LIBDIR}")
  endif()
  set_target_properties(indi_zeva_ccd PROPERTIES INSTALL_RPATH "${zeva_indi_rpath}")
  zeva_install_man(indi_zeva_ccd zeva_indi_man)
  # The INDI folder normally installs the driver and its XML itself; when its
  # CMakeLists has no install rules, they are made here.
  file(READ ${PROJECT_SOURCE_DIR}/indi/CMakeLists.txt zeva_indi_lists)
  if(NOT zeva_indi_lists MATCHES "install[ \t]*\\(")
    install(TARGETS indi_zeva_ccd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    file(GLOB zeva_indi_xml ${PROJECT_SOURCE_DIR}/indi/*.xml)
    if(NOT zeva_indi_xml)
      configure_file(${zeva_pkg_dir}/indi_zeva.xml.in ${zeva_pkg_bin}/indi_zeva.xml @ONLY)
      set(zeva_indi_xml ${zeva_pkg_bin}/indi_zeva.xml)
    endif()
    install(FILES ${zeva_indi_xml} DESTINATION ${CMAKE_INSTALL_DATADIR}/indi)
  endif()
endif()

# --- pkg-config -------------------------------------------------------------

# Written at install time, so the paths name the prefix given to
# `cmake --install --prefix` (or the package's /usr).
install(CODE "
  set(ZEVA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZEVA_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ZEVA_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ZEVA_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${zeva_pkg_dir}/zeva.pc.in\" \"${zeva_pkg_bin}/zeva.pc\" @ONLY)
")
install(FILES ${zeva_pkg_bin}/zeva.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- CMake package ----------------------------------------------------------

# Hand-written imported targets (the libraries' build-tree include paths stay
# out of the package); file names come from the targets themselves.
set(zeva_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zeva)
# zeva::client carries the user libraries the client library is linked with.
set(ZEVA_HAS_CLIENT FALSE)
set(ZEVA_CLIENT_DEPENDS "")
if(zeva_client_lib)
  set(ZEVA_HAS_CLIENT TRUE)
  get_target_property(zeva_client_links zeva_client LINK_LIBRARIES)
  foreach(t ${zeva_user_libs})
    if(t IN_LIST zeva_client_links)
      string(APPEND ZEVA_CLIENT_DEPENDS " zeva::${t}")
    endif()
  endforeach()
endif()
configure_package_config_file(${zeva_pkg_dir}/zevaConfig.cmake.in
  ${zeva_pkg_bin}/zevaConfig.cmake.gen
  INSTALL_DESTINATION ${zeva_cmake_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
file(GENERATE OUTPUT ${zeva_pkg_bin}/zevaConfig.cmake
  INPUT ${zeva_pkg_bin}/zevaConfig.cmake.gen)
write_basic_package_version_file(${zeva_pkg_bin}/zevaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${zeva_pkg_bin}/zevaConfig.cmake ${zeva_pkg_bin}/zevaConfigVersion.cmake
  DESTINATION ${zeva_cmake_dir})

# --- Debian package ---------------------------------------------------------

set(CPACK_PACKAGE_NAME zeva)
set(CPACK_PACKAGE_VENDOR "ZEVA")
set(CPACK_PACKAGE_CONTACT "ZEVA developers <zeva@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Software for cooled astronomy CCD cameras on the parallel port")
set(CPACK_PACKAGE_DESCRIPTION
    "The zeva camera driver with its user libraries (libzevant, libzeva32m, libzevavb32),\
 the C++ client API and the zeva capture tool writing FITS, running on a built-in camera\
 simulator.")
if(TARGET indi_zeva_ccd)
  string(APPEND CPACK_PACKAGE_DESCRIPTION " The INDI driver indi_zeva_ccd serves the cameras to INDI clients.")
endif()
if(TARGET zeva_alpaca_server)
  string(APPEND CPACK_PACKAGE_DESCRIPTION " The ASCOM Alpaca server zeva-alpaca serves them to\
 N.I.N.A., SharpCap, PHD2 and every Alpaca client.")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are in the package: dpkg-shlibdeps looks for them there.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/machine
    ${CMAKE_BINARY_DIR}/libnt ${CMAKE_BINARY_DIR}/lib9x ${CMAKE_BINARY_DIR}/libvb ${zeva_pkg_bin})
if(TARGET indi_zeva_ccd)
  # indiserver starts the driver; clients reach it through indiserver.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS indi-bin)
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
