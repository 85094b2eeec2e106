BUILDSIMUBIN loader.bin bios.bin user.bin k9mlc.bin K9F1G08U0A MLC
