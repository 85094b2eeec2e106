ECHO enumerated
SWITCH 0
TIME
