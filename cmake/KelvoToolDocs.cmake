# Man pages and bash completions of the tools, made at build time from the
# programs themselves: help2man runs --help and --version, and each program
# writes its completion script from its own command table, so neither can
# drift from the code. Without help2man there are no man pages.
find_program(KELVO_HELP2MAN help2man)
find_program(KELVO_GZIP gzip)
if(NOT KELVO_HELP2MAN OR NOT KELVO_GZIP)
  message(STATUS "help2man or gzip not found: no man pages (scripts/install-deps.sh installs them)")
endif()

set(KELVO_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
set(kelvo_docs)
# target, program name, the NAME line of the man page.
foreach(entry
    "kelvo_tool|kelvo|talk to a device through the Kelvo component"
    "kelvo-sim|kelvo-sim|simulated device for the Kelvo protocol"
    "kelvo-trace|kelvo-trace|show the entries of a Kelvo trace channel")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 program)
  list(GET entry 2 summary)
  if(NOT TARGET ${target})
    continue()
  endif()
  set(completion ${KELVO_DOCS_DIR}/completions/${program})
  add_custom_command(OUTPUT ${completion}
    COMMAND $<TARGET_FILE:${target}> --completion bash > ${completion}
    DEPENDS ${target}
    COMMENT "Writing the bash completion of ${program}")
  list(APPEND kelvo_docs ${completion})
  install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    COMPONENT tools)
  if(KELVO_HELP2MAN AND KELVO_GZIP)
    set(page ${KELVO_DOCS_DIR}/man1/${program}.1)
    # help2man names the page after the file it runs: a link named as the program.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:${target}> ${KELVO_DOCS_DIR}/${program}
      COMMAND ${KELVO_HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary}
        --output=${page} ${KELVO_DOCS_DIR}/${program}
      COMMAND ${KELVO_GZIP} -9nf ${page}
      DEPENDS ${target}
      COMMENT "Writing the man page ${program}(1)"
      VERBATIM)
    list(APPEND kelvo_docs ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endforeach()
file(MAKE_DIRECTORY ${KELVO_DOCS_DIR}/completions ${KELVO_DOCS_DIR}/man1)
add_custom_target(kelvo_tool_docs ALL DEPENDS ${kelvo_docs})
