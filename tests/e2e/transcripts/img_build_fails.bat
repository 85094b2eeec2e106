ECHO no Disk0 folder: SYNC fails
BUILDIMAGE 128 sys.img
ECHO an image smaller than the disk: FORMAT fails
BUILDIMAGE 64 small.img
ECHO no such PC folder for the image
BUILDIMAGE 128 nodir/sys.img
ECHO an image inside the PC folder tree it is built from
BUILDIMAGE 128 sync/Disk0/C/sys.img
