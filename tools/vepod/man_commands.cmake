# Writes the manual page's COMMANDS section: every command's own help, as 'vepod help CMD' prints
# it, so that the page lists every option of every command. Run with -DVEPOD=... -DOUT=...
execute_process(COMMAND ${VEPOD} --help OUTPUT_VARIABLE main RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${VEPOD} --help failed")
endif()
string(REGEX MATCHALL "\n  [a-z]+" names "${main}")
set(text "[COMMANDS]\n")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  execute_process(COMMAND ${VEPOD} help ${name} OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    continue()  # an option name, not a command
  endif()
  # roff: backslashes escaped, and no line may start with a dot or a quote.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  # The help is laid out for 80 columns already: printed from the page's left edge, unfilled.
  string(APPEND text ".SS ${name}\n.in 0\n.nf\n${help}.fi\n.in\n")
endforeach()
file(WRITE ${OUT} "${text}")
