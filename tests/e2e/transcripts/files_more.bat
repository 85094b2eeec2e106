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
