ECHO жпнд
REM ╡Бйт
SYNC /DZEL2PC
