# The holder's process id changes from run to run.
s/进程[0-9][0-9]*/进程PID/
