ECHO never runs: the batch below is given with -B
