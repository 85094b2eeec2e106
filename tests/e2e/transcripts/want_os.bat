ECHO os is running
