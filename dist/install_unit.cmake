# Installs quarn.service with ExecStart naming quarn under the prefix given
# at install time (`cmake --install --prefix`), which may differ from the one
# configured. Included by the install rule in CMakeLists.txt, which sets
# QUARN_UNIT_TEMPLATE, QUARN_UNIT_DIR, QUARN_BINDIR (each directory relative
# to the prefix, or absolute) and QUARN_STAGING_DIR.
foreach(dir QUARN_UNIT_DIR QUARN_BINDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(QUARN_EXECUTABLE "${QUARN_BINDIR}/quarn")
# Installs to different prefixes may run at once; each writes its own copy.
string(MD5 prefix_key "${CMAKE_INSTALL_PREFIX}")
set(unit "${QUARN_STAGING_DIR}/${prefix_key}/quarn.service")
configure_file("${QUARN_UNIT_TEMPLATE}" "${unit}" @ONLY)
file(INSTALL "${unit}" DESTINATION "${QUARN_UNIT_DIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
