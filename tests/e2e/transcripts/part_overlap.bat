REM C runs over E and the reserved D to the disk's end, E past the end:
REM what C holds is read, nothing is ever written to either.
DOWNIMAGE bad.PAK
PART
DIR
COPY one.bin NEW.TXT
MD X
DEL HELLO.TXT
REN HELLO.TXT H.TXT
FORMAT E
FORMAT
SYNC /DZEL2PC /P@WORK@/back
ECHO a new partition table makes the disk usable again
PART do -Y
FORMAT
COPY one.bin NEW.TXT
DIR
