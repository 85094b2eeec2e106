# Writes a manual page (section 1) from a program's own --help text, so the
# page and the program cannot say different things:
#
#   cmake -DPROGRAM=bin/Tervan -DNAME=Tervan -DSUMMARY="..." -DVERSION=0.10
#         -DSEE_ALSO="zelsim (1)" -DOUTPUT=Tervan.1 -P man_page.cmake
#
# The help text goes into the page as it is printed (one line per line, in
# no-fill mode), after NAME and SYNOPSIS; the page is compressed into
# OUTPUT.gz with gzip -9n (no name, no time stamp) for packages.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${PROGRAM} --help
                OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${rc}")
endif()
# roff: a backslash is written \e; a line that starts with . or ' is
# protected with \&.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" upper)
file(WRITE ${OUTPUT}
  ".TH ${upper} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH SYNOPSIS\n.B ${NAME}\n[\\fIoptions\\fR]\n"
  ".SH OPTIONS\nWhat \\fB${NAME} \\-\\-help\\fR prints:\n.PP\n.nf\n${help}.fi\n"
  ".SH SEE ALSO\n${SEE_ALSO}\n"
  ".PP\nThe full documentation is in /usr/share/doc/tervan/ (README.md and docs/).\n")
execute_process(COMMAND gzip -9nf -k ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of ${OUTPUT} failed")
endif()
