ECHO two disks
