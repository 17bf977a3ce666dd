# Installs quarn.service, the TLS front's unit quarn-tls.service and its
# stunnel configuration, and the inactive drop-in loopback-only.conf, each
# naming the paths of the others
# under the prefix given at install time (`cmake --install --prefix`), which
# may differ from the one configured. Included by the install rule in
# CMakeLists.txt, which sets QUARN_DIST_DIR (this folder), QUARN_UNIT_DIR,
# QUARN_BINDIR, QUARN_SYSCONFDIR, QUARN_DATADIR (each relative to the
# prefix, or absolute), QUARN_STUNNEL and QUARN_STAGING_DIR.
foreach(dir QUARN_UNIT_DIR QUARN_BINDIR QUARN_DATADIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
# Configuration under the prefix /usr is in /etc, as GNUInstallDirs has it.
if(NOT IS_ABSOLUTE "${QUARN_SYSCONFDIR}")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(QUARN_SYSCONFDIR "/${QUARN_SYSCONFDIR}")
  else()
    set(QUARN_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/${QUARN_SYSCONFDIR}")
  endif()
endif()

set(QUARN_EXECUTABLE "${QUARN_BINDIR}/quarn")
set(QUARN_TLS_CONFIG "${QUARN_SYSCONFDIR}/quarn/quarn-tls.conf")
set(QUARN_TLS_DIR "${QUARN_SYSCONFDIR}/quarn/tls")
set(QUARN_LOOPBACK_ONLY "${QUARN_DATADIR}/quarn/loopback-only.conf")

# Installs to different prefixes may run at once; each writes its own copies.
string(MD5 prefix_key "${CMAKE_INSTALL_PREFIX}")
set(staging "${QUARN_STAGING_DIR}/${prefix_key}")
function(install_configured template destination)
  get_filename_component(name "${template}" NAME_WLE)
  configure_file("${QUARN_DIST_DIR}/${template}" "${staging}/${name}" @ONLY)
  file(INSTALL "${staging}/${name}" DESTINATION "${destination}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()
install_configured(quarn.service.in "${QUARN_UNIT_DIR}")
install_configured(quarn-tls.service.in "${QUARN_UNIT_DIR}")
install_configured(quarn-tls.conf.in "${QUARN_SYSCONFDIR}/quarn")
install_configured(loopback-only.conf.in "${QUARN_DATADIR}/quarn")
