REM BUILDSIMUBIN refusals: none of them leaves a file behind
BUILDSIMUBIN loader.bin bios.bin user.bin
BUILDSIMUBIN loader.bin bios.bin user.bin s1.bin K9F1G08U0A SLC extra
BUILDSIMUBIN loader.bin bios.bin user.bin s2.bin NOSUCHCHIP
BUILDSIMUBIN loader.bin bios.bin user.bin s3.bin K9F1G08U0A TLC
BUILDSIMUBIN loader.bin bios.bin user.bin s4.bin K9F1G08U0A MLC
BUILDSIMUBIN loader255.bin bios.bin user.bin s5.bin
BUILDSIMUBIN loader.bin bios.bin user.bin nosuchfolder/s6.bin
BUILDSIMUBIN loader.bin bios.bin user.bin loader.bin
BUILDSIMUBIN loader.bin bios.bin user.bin sync/../user.bin
BUILDSIMUBIN loader.bin bios.bin user.bin link.bin
BUILDSIMUBIN loader.bin bios.bin user.bin Reed_Solomon_ECC.bin K9F1G08U0A MLC
BUILDSIMUBIN loader.bin bios.bin user.bin sync/Disk0/C/s7.bin
ECHO still served by the device
NANDINFO
