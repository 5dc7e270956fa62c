# The documentation the build makes:
#
#   doc/tarnwick.1          the man page, from docs/tarnwick.md by go-md2man
#   doc/tarnwick_exporter.1 the exporter's man page, from
#                           docs/tarnwick_exporter.md the same way
#   completion/tarnwick     the bash completion, from completion/tarnwick.bash.in
#
# The command's page and its completion take its options from its option
# table (src/tarnwick/app/command_line_options.h, which also drives --help)
# through the small program tarnwick_option_docs (tools/option_docs.cc),
# which also makes both pages' Markdown and roff safe for man.

find_program(TARNWICK_GO_MD2MAN go-md2man REQUIRED)
mark_as_advanced(TARNWICK_GO_MD2MAN)

add_executable(tarnwick_option_docs ${PROJECT_SOURCE_DIR}/tools/option_docs.cc)
target_include_directories(tarnwick_option_docs PRIVATE
                           ${PROJECT_SOURCE_DIR}/src)

set(TARNWICK_MAN_PAGE ${PROJECT_BINARY_DIR}/doc/tarnwick.1)
set(TARNWICK_EXPORTER_MAN_PAGE ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.1)
set(TARNWICK_COMPLETION ${PROJECT_BINARY_DIR}/completion/tarnwick)
add_custom_command(
  OUTPUT ${TARNWICK_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND tarnwick_option_docs manual ${PROJECT_SOURCE_DIR}/docs/tarnwick.md
          ${PROJECT_BINARY_DIR}/doc/tarnwick.md
  COMMAND ${TARNWICK_GO_MD2MAN} -in ${PROJECT_BINARY_DIR}/doc/tarnwick.md
          -out ${PROJECT_BINARY_DIR}/doc/tarnwick.md.1
  COMMAND tarnwick_option_docs roff ${PROJECT_BINARY_DIR}/doc/tarnwick.md.1
          ${TARNWICK_MAN_PAGE}
  DEPENDS tarnwick_option_docs ${PROJECT_SOURCE_DIR}/docs/tarnwick.md
  COMMENT "Making the man page tarnwick.1"
  VERBATIM)
add_custom_command(
  OUTPUT ${TARNWICK_EXPORTER_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND tarnwick_option_docs page
          ${PROJECT_SOURCE_DIR}/docs/tarnwick_exporter.md
          ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.md
  COMMAND ${TARNWICK_GO_MD2MAN} -in ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.md
          -out ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.md.1
  COMMAND tarnwick_option_docs roff
          ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.md.1
          ${TARNWICK_EXPORTER_MAN_PAGE}
  DEPENDS tarnwick_option_docs ${PROJECT_SOURCE_DIR}/docs/tarnwick_exporter.md
  COMMENT "Making the man page tarnwick_exporter.1"
  VERBATIM)
add_custom_command(
  OUTPUT ${TARNWICK_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/completion
  COMMAND tarnwick_option_docs completion
          ${PROJECT_SOURCE_DIR}/completion/tarnwick.bash.in
          ${TARNWICK_COMPLETION}
  DEPENDS tarnwick_option_docs
          ${PROJECT_SOURCE_DIR}/completion/tarnwick.bash.in
  COMMENT "Making the bash completion"
  VERBATIM)
add_custom_target(tarnwick_docs ALL
                  DEPENDS ${TARNWICK_MAN_PAGE} ${TARNWICK_EXPORTER_MAN_PAGE}
                          ${TARNWICK_COMPLETION})
