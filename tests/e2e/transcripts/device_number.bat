ECHO device three
