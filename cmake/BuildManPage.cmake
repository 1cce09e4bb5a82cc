# SPDX-License-Identifier: Apache-2.0
# One manual page, run as `cmake -P` by kelvra_man_page (cmake/ManPages.cmake):
# the Markdown SOURCE with a title line (NAME, SECTION, DATE, VERSION) put in
# front, through GO_MD2MAN into the roff PAGE, and PAGE.gz beside it
# (gzip -9n: no name, no time stamp).
if(SECTION STREQUAL "5")
  set(manual "File Formats")
else()
  set(manual "User Commands")
endif()
string(TOUPPER "${NAME}" title)
file(READ "${SOURCE}" text)
file(WRITE "${PAGE}.md" "% ${title} ${SECTION} \"${DATE}\" \"kelvra ${VERSION}\" \"${manual}\"\n\n${text}")
execute_process(COMMAND "${GO_MD2MAN}" -in "${PAGE}.md" -out "${PAGE}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND gzip -9nc "${PAGE}" OUTPUT_FILE "${PAGE}.gz" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${PAGE}.md")
