REM VERIFY ON reads every write back: zelsim alters the one read of the
REM sector where CHECKED.BIN's data goes, so the first COPY fails naming it
REM and stores nothing; the second is read back whole and stored.
PART do -Y
FORMAT
COPY big.bin FIRST.BIN
VERIFY ON
COPY small.bin CHECKED.BIN
DIR
COPY small.bin CHECKED.BIN
DIR
