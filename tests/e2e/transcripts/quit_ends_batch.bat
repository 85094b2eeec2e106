ECHO one
QUIT
ECHO not reached
