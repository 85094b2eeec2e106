BUILDSIMUBIN loader.bin bios.bin user.bin simu.bin
