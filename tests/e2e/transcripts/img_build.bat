BUILDIMAGE 128 sys.img back
ECHO the device itself was not touched
DIR
PAKIMAGE sys.img
UNPAKIMAGE sys.PAK
