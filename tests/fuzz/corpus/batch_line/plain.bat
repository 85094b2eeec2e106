REM a demo
ECHO hello world
DIR
CD \SUB
EXIT
