PART do -Y
FORMAT
ECHO refused arguments
SYNC +V
SYNC /dPC2ZEL
SYNC /DPCZEL
SYNC /P
SYNC /F
SYNC -Tx
SYNC sync
ECHO missing folders
SYNC /P@WORK@/nosuch
SYNC /P@WORK@/empty
ECHO PC to device
SYNC /DPC2ZEL /P@WORK@/sync /F\
ECHO again, through a relative root: nothing to copy
SYNC /Psync
DIR
CD SUB
DIR
CD \
ECHO a changed size is rewritten with the PC file's time
COPY longer.txt A.TXT
SYNC /P@WORK@/sync
DIR A.TXT
ECHO -T -S copies only missing files
DEL A.TXT
CD SUB
COPY longer.txt B.TXT
CD \
E:
DEL E.TXT
C:
SYNC -T -S /P@WORK@/sync
DIR
CD SUB
DIR
CD \
E:
DIR
C:
ECHO device to PC
SYNC /Dzel2pc /P@WORK@/back
SYNC /DZEL2PC /P@WORK@/back
SYNC /DZEL2PC /P@WORK@/no/parent
ECHO after a device-to-PC copy a PC-to-device sync copies nothing
SYNC /P@WORK@/back
