REM A link that drops in the middle of a file write and comes back in the
REM same session; the file being replaced stays whole.
PART do -Y
FORMAT
MD SUB
COPY big.bin BIG.BIN
ECHO the link drops while BIG.BIN is replaced
COPY big2.bin BIG.BIN
CD SUB
DIR
DIR
CD \
DIR
COPY small.bin SMALL.BIN
DIR
