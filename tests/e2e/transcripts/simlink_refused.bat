ECHO never
