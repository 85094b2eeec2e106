REM Tervan demo: service a fresh device from scratch.
ECHO == partition disk 0 without asking, then format every partition
PART do -Y
FORMAT
PART
ECHO
ECHO == copy files from the PC and make directories
COPY readme.txt README.TXT
COPY notes.txt NOTES.TXT
MD DOCS
CD DOCS
COPY notes.txt COPY.TXT
CD \
DIR
DIR *.TXT
ECHO == sync the PC tree pc/Disk0/C and pc/Disk0/E to the device
SYNC /Ppc
CD DICT
DIR
CD \
E:
DIR
C:
ECHO == and back into a new PC tree, back/Disk0/...
SYNC /DZEL2PC /Pback
ECHO == and one file back into the PC folder got/, with the device file's time
GET NOTES.TXT got
