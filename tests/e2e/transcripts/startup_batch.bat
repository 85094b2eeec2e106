ECHO  a   b
REM a comment line

   
foo bar
DIR
EXIT now
FC one
FC one two
VER
TIME
CHKDSK
h:
ECHO last
