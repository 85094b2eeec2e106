# The clock of the run shows in the dates of what COPY and MD made; the
# times SYNC gives (2009, 2010) stay.
s/20[2-9][0-9]-[0-9][0-9]-[0-9][0-9]  [0-9][0-9]:[0-9][0-9]/YYYY-MM-DD  hh:mm/g
