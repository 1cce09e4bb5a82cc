# SPDX-License-Identifier: Apache-2.0
# kelvra_install_pkgconfig(TEMPLATE DESTINATION): installs the pkg-config
# file made from TEMPLATE (NAME.pc.in, configure_file's @VAR@ form) to
# DESTINATION as NAME.pc, in the install component dev (the kelvra-dev
# package). @KELVRA_INSTALL_PREFIX@ in it becomes the prefix of the install
# itself, so `cmake --install --prefix DIR` writes DIR there, not the prefix
# the build was configured with; every other @VAR@ is filled in when the
# build is configured.
function(kelvra_install_pkgconfig template destination)
  get_filename_component(name ${template} NAME_WE)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc.in)
  set(made ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc)
  set(KELVRA_INSTALL_PREFIX "@KELVRA_INSTALL_PREFIX@")
  configure_file(${template} ${staged} @ONLY)
  install(CODE "set(KELVRA_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
configure_file(\"${staged}\" \"${made}\" @ONLY)" COMPONENT dev)
  install(FILES ${made} DESTINATION ${destination} COMPONENT dev)
endfunction()
