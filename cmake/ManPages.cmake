# SPDX-License-Identifier: Apache-2.0
# Manual pages: written once in Markdown (docs/man/NAME.SECTION.md), turned
# into roff by go-md2man at build time (cmake/BuildManPage.cmake gives each
# its title line with the project's version) and compressed as Debian wants
# them (gzip -9n). The build folder holds them in man/ (NAME.SECTION and
# NAME.SECTION.gz); each is installed in share/man/manSECTION with the
# component it describes. Without go-md2man the build makes no pages (and
# says so); tools/build-packages.sh refuses to package without them.
find_program(KELVRA_GO_MD2MAN go-md2man)
if(KELVRA_GO_MD2MAN)
  set(KELVRA_MAN_PAGES ON)
else()
  message(STATUS "go-md2man not found: building no manual pages (install go-md2man)")
  set(KELVRA_MAN_PAGES OFF)
endif()
# The pages' date: the build's, or SOURCE_DATE_EPOCH's when set.
string(TIMESTAMP KELVRA_MAN_DATE "%Y-%m-%d" UTC)
set(KELVRA_MAN_DIR ${PROJECT_BINARY_DIR}/man)
add_custom_target(man_pages ALL)

# kelvra_man_page(NAME SECTION COMPONENT): the page docs/man/NAME.SECTION.md.
function(kelvra_man_page name section component)
  if(NOT KELVRA_MAN_PAGES)
    return()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${name}.${section}.md)
  set(page ${KELVRA_MAN_DIR}/${name}.${section})
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -DGO_MD2MAN=${KELVRA_GO_MD2MAN} -DSOURCE=${source} -DPAGE=${page} -DNAME=${name}
            -DSECTION=${section} -DDATE=${KELVRA_MAN_DATE} -DVERSION=${PROJECT_VERSION}
            -P ${PROJECT_SOURCE_DIR}/cmake/BuildManPage.cmake
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/BuildManPage.cmake
    COMMENT "Manual page ${name}(${section})"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${name}_${section}" target)
  add_custom_target(${target} DEPENDS ${page} ${page}.gz)
  add_dependencies(man_pages ${target})
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
