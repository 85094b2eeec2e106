REM MOVE, LABEL, GET, TYPE, COMP, REPLACE, VERIFY, VER, TIME, CLS; what they
REM leave on the device is read back with mtools and fsck.fat (files_more.check).
PART do -Y
FORMAT
COPY one.txt A.TXT
COPY big.bin BIG.DAT
MD DOCS
MD TREE
CD TREE
MD LEAF
CD LEAF
COPY one.txt DEEP.TXT
CD \
ECHO move: into a folder, to a new name, between folders, a folder with its files
MOVE A.TXT DOCS
MOVE DOCS\A.TXT DOCS\B.TXT
MOVE BIG.DAT \TREE\LEAF\BIG.BIN
MOVE TREE\LEAF \DOCS
MOVE TREE DOCS\LEAF\TREE2
CD DOCS\LEAF
MOVE ..\B.TXT .
DIR
CD \
DIR
ECHO move refused: below itself, under the current folder, missing, existing, bad names
MOVE DOCS DOCS\LEAF
CD DOCS\LEAF
MOVE \DOCS \X
CD \
MOVE NOPE.TXT X.TXT
MOVE DOCS\LEAF\B.TXT DOCS\LEAF\DEEP.TXT
MOVE DOCS\LEAF\B.TXT A.B.C
MOVE DOCS\LEAF\B.TXT NOWHERE\B.TXT
MOVE \ X
MOVE A
ECHO type and comp
CD DOCS\LEAF
TYPE B.TXT
TYPE TREE2
TYPE NOPE.TXT
COMP one.txt B.TXT
FC one.txt B.TXT
COMP other.txt B.TXT
COMP big.bin B.TXT
COMP missing.txt B.TXT
COMP one.txt
ECHO get: files, the DIR patterns, no overwrite without /Y, subfolders with /S
GET *.TXT,*.BIN got
GET B.TXT got
GET B.TXT got /Y
GET NOPE.* got
GET * nofolder
CD \
GET * tree /S
ECHO replace: never creates, /U only newer
CD DOCS\LEAF
REPLACE newer /U
REPLACE newer /U
REPLACE newer
TYPE B.TXT
REPLACE nofolder
ECHO label
CD \
LABEL
LABEL ZEL DATA
LABEL
LABEL BAD.NAME
LABEL TWELVE_CHARS
DIR
E:
LABEL 字典机
LABEL
COPY one.txt 丄.TXT
GET 丄.TXT got
REM fsck.fat reads labels in code page 850, where these GBK bytes are no label
LABEL /D
LABEL
C:
ECHO verify, ver, time, cls
VERIFY
VERIFY ON
COPY big.bin VERIFIED.BIN
VERIFY
VERIFY OFF
VERIFY MAYBE
VER
LOCAL x
VER
TIME 10:30:00
TIME
TIME 25:00:00
TIME 10:30:00:1
TIME 10:30x
TIME 10:31
TIME
CLS
