ECHO a damaged disk to the PC: loops and damaged files are skipped, the rest and partition E are copied
DOWNIMAGE hostile.img
SYNC /DZEL2PC /P@WORK@/back
ECHO PC to device: names without a device name of their own and a folder link are left behind
PART do -Y
FORMAT
SYNC
DIR
CD SUB
DIR
CD \
ECHO the same tree into an image: the build fails and leaves no image
BUILDIMAGE 128 part.img
