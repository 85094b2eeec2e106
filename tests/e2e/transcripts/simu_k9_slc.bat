BUILDSIMUBIN loader.bin bios.bin user.bin k9.bin k9f1g08u0a
