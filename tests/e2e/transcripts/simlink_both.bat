ECHO one device, two links
CAPS
SWITCH 0
