# Run by `cmake --install`: makes the systemd user units for the prefix being
# installed to. VOXAFAX_UNIT_SRC, VOXAFAX_INSTALL_BINDIR and
# VOXAFAX_USER_UNIT_DIR come from the install code before it.
set(bindir "${VOXAFAX_INSTALL_BINDIR}")
if(NOT IS_ABSOLUTE "${bindir}")
  set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
endif()
# systemd reads "%" as the start of a specifier and splits a command at
# blanks unless the word is quoted.
string(REPLACE "%" "%%" VOXAFAX_PROGRAM "${bindir}/voxafax-print")
if(VOXAFAX_PROGRAM MATCHES " ")
  set(VOXAFAX_PROGRAM "\"${VOXAFAX_PROGRAM}\"")
endif()
string(REPLACE "%" "%%" VOXAFAX_COMPANION "${bindir}/voxafax")
if(VOXAFAX_COMPANION MATCHES " ")
  set(VOXAFAX_COMPANION "\"${VOXAFAX_COMPANION}\"")
endif()

set(unitdir "${VOXAFAX_USER_UNIT_DIR}")
if(NOT IS_ABSOLUTE "${unitdir}")
  set(unitdir "${CMAKE_INSTALL_PREFIX}/${unitdir}")
endif()
set(units "$ENV{DESTDIR}${unitdir}")
foreach(unit voxafax-print.service voxafax-print.timer voxafax-print@.service
             voxafax-print@.timer voxafax-web.socket voxafax-web.service)
  message(STATUS "Installing: ${units}/${unit}")
  if(EXISTS "${VOXAFAX_UNIT_SRC}/${unit}.in")
    configure_file("${VOXAFAX_UNIT_SRC}/${unit}.in" "${units}/${unit}" @ONLY)
  else()
    configure_file("${VOXAFAX_UNIT_SRC}/${unit}" "${units}/${unit}" COPYONLY)
  endif()
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${units}/${unit}")
endforeach()
