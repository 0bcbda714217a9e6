"""A loopback port that never answers a new connection: it listens with
the smallest backlog, fills that backlog itself and never accepts, so the
kernel drops every further SYN. Writes the port to the file named by its
argument, then waits to be killed."""
import os
import socket
import sys
import time

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(0)
port = listener.getsockname()[1]

# Non-blocking: the connects that no longer fit must not hold this up.
fillers = []
for _ in range(3):
    filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    filler.setblocking(False)
    filler.connect_ex(("127.0.0.1", port))
    fillers.append(filler)
time.sleep(0.2)

with open(sys.argv[1] + ".tmp", "w") as out:
    out.write("%d\n" % port)
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    time.sleep(60)
