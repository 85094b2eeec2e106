ECHO two disks over the simulation link
SWITCH 1
SWITCH 0
