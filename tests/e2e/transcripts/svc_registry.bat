REM a data file with every kind of value, saved, loaded into a fresh device and saved again
REGEDIT /CLoad all.reg
REGEDIT
REGEDIT /CSave /KHKEY_APPS\Game saved.reg
REGEDIT /CLoad bad.reg
REGEDIT /CLoad missing.reg
REM a key deeper than the device stores is refused at its 64th level; what was made is stored loadably
REGEDIT /CLoad deep.reg
REGEDIT /CLoad all.reg
