ECHO driver link
