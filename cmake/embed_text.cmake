# Writes a C++ source that holds a text file as one string literal:
#
#   cmake -DINPUT=docs/commands.md -DOUTPUT=x.cc -DNAME=kCommandsDoc -P embed_text.cmake
#
# The literal is a raw string, so the compiler turns the UTF-8 text into the
# program's execution character set (GBK) as it does every message: the
# program prints the page as its own text, and a change to the page is a
# change to the program at the next build.
file(READ ${INPUT} text)
string(FIND "${text}" ")tervantext\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the literal's end marker )tervantext\"")
endif()
file(WRITE ${OUTPUT}
     "// Generated from ${INPUT} by cmake/embed_text.cmake at build time: edit the page, not this.\n"
     "extern const char ${NAME}[];\n"
     "const char ${NAME}[] = R\"tervantext(${text})tervantext\";\n")
