REM A whole servicing run over the simulation link; the check runs it again
REM over the driver link and requires the same output.
PART do -Y
FORMAT
COPY a.txt A.TXT
MD SUB
CD SUB
COPY b.bin B.BIN
CD \
DIR
SYNC /Ppc
DIR *.TXT
E:
DIR
C:
SYNC /DZEL2PC /Pback
DATE 2009 5 8 14 30 0
DATE
TIMEZONE -5
TIMEZONE
ECHO
ALARM /CSET /D3 /H7 /M5 /Sforever 9
ALARM
CAPS /Aoff /C40 /zon
CAPS
NANDINFO
