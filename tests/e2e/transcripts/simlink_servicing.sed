# The dates of what COPY and MD made come from the clock of the run.
s/20[2-9][0-9]-[0-9][0-9]-[0-9][0-9]  [0-9][0-9]:[0-9][0-9]/YYYY-MM-DD  hh:mm/g
