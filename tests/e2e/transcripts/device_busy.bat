ECHO a second session never gets here
