# What `cmake --install` puts in place: the daemon and its manual page, in the standard places
# under the prefix.

include(GNUInstallDirs)

install(TARGETS norvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page names the installed paths (its FILES section), so it is filled in with them:
# once when configuring, for the test that renders it, and again when installing, because
# `cmake --install --prefix DIR` may choose another prefix than the one configured.
set(norvane_manual_source ${CMAKE_SOURCE_DIR}/docs/norvane.1.in)
set(NORVANE_INSTALLED_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(NORVANE_INSTALLED_MANDIR ${CMAKE_INSTALL_FULL_MANDIR})
configure_file(${norvane_manual_source} ${CMAKE_BINARY_DIR}/norvane.1 @ONLY)

install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(NORVANE_INSTALLED_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(NORVANE_INSTALLED_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  foreach(dir NORVANE_INSTALLED_BINDIR NORVANE_INSTALLED_MANDIR)
    if(NOT IS_ABSOLUTE \"\${\${dir}}\")
      set(\${dir} \"\${CMAKE_INSTALL_PREFIX}/\${\${dir}}\")
    endif()
  endforeach()
  configure_file(\"${norvane_manual_source}\" \"${CMAKE_BINARY_DIR}/installed/norvane.1\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/installed/norvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
