ECHO over the simulation link
VER
CAPS
SWITCH 0
SWITCH 1
TIME 10:30:00
DIR
ECHO done
