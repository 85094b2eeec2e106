REM Tervan demo batch: what the device is, then the commands it knows.
ECHO Tervan is talking to zelsim.
HELP
