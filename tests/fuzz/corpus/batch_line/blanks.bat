  	 ECHO   a		b  


ECHO
   
Q