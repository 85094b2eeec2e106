ECHO over the simulation link
VER
CAPS
SWITCH 0
SWITCH 1
TIME
DIR
ECHO done
