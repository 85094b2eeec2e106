REM A fresh disk: partition without asking, format every partition, fill it.
PART do -Y
FORMAT
COPY empty.bin EMPTY.BIN
COPY one.bin A.TXT
COPY two.bin TWO.TXT
COPY sector.bin SECTOR.BIN
COPY big.bin BIG.DAT
ECHO refused copies
COPY missing.bin X.BIN
COPY one.bin TOOLONGNAME.TXT
COPY one.bin
DIR
DIR *.TXT
DIR *.TXT,*.BIN
DIR ?.*
DIR NOTHING.*
DIR a b
ECHO directories
MD DATA
MD DATA
MD .X
MD
MD A.TXT
CD DATA
COPY one.bin IN.TXT
MD SUB
CD SUB
COPY two.bin DEEP.TXT
CD \
RD DATA
RD NOPE
RD A.TXT
DEL NOPE.TXT
DEL ..
DEL DATA
CD \DATA\SUB
DIR
CD \DATA\NOPE
DIR
CD ABCDEFGHIJK
CD ..\..\..
DIR D*
CD \
ECHO names
REN TWO.TXT B.TXT
REN B.TXT BIG.DAT
REN NOPE.TXT C.TXT
REN B.TXT
DEL A.TXT
DEL A.TXT
DIR *.TXT
ECHO partitions
E:
COPY one.bin ON_E.TXT
DIR
D:
F:
C:
DIR *.DAT
GETDIR
GETDIR x
SETDIR /nonexistent/folder
SETDIR
ECHO names, patterns, a replaced file
COPY one.bin A.B.C
COPY two.bin 丄.TXT
COPY one.bin 乤.TXT
DIR 丄.*
DIR ??.TXT
REN 丄.TXT ..TXT
COPY two.bin REP.TXT
COPY big.bin REP.TXT
DIR REP.TXT
PART
