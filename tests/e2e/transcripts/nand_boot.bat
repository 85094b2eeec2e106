REM boot area, ECC method and ROM, factory record
BIOS nothing.bin nothing.bin nothing.bin
READBIOS rb.bin
SWITCH 0
BIOS loader.bin bios13824.bin user.bin
READBIOS rb.bin
BIOS loader.bin bios13825.bin user.bin
BIOS loader.bin empty.bin user.bin
BIOS loader255.bin bios.bin user.bin
BIOS loader.bin bios.bin user511.bin
BIOS loader.bin bios.bin
BIOS loader.bin bios.bin user.bin
READBIOS rb2.bin
GETECCMETHOD
SETECCMETHOD mlc
GETECCMETHOD
SETECCMETHOD TLC
SETECCMETHOD SLC
GETECCMETHOD
SETECCROM nothing.bin
SETECCROM rom.bin
GETECCROM romback.bin
GETBADBLOCKINFO
SETBADBLOCKINFO
GETBADBLOCKINFO
