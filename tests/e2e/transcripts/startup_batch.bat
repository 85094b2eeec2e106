ECHO  a   b
REM a comment line
REM a comment longer than 255 characters, whose tail would otherwise run as a command of its own: xxxxxxxxxxxxxxxxxxxx xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx FORMAT

   
foo bar
DIR
EXIT now
FC one
FC one two
VER
TIME 10:30:00
CHKDSK
h:
ECHO last
