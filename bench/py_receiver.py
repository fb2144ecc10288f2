"""What a user might write instead: a Python standard-library receiver that
joins the channel and prints the same line for every datagram.

Usage: py_receiver.py [-b bytes] <group> <source> <port>
-b asks for that receive queue (SO_RCVBUF), as the programs do.
"""
import signal
import socket
import struct
import sys

IP_ADD_SOURCE_MEMBERSHIP = getattr(socket, "IP_ADD_SOURCE_MEMBERSHIP", 39)
IP_MULTICAST_ALL = 49


def main(argv):
    queue = 0
    if len(argv) > 1 and argv[1] == "-b":
        queue = int(argv[2])
        argv = argv[2:]
    group, source, port = argv[1], argv[2], int(argv[3])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sock.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)
    if queue:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, queue)
    sock.bind(("0.0.0.0", port))
    # Linux orders ip_mreq_source as group, interface, source.
    request = socket.inet_aton(group) + socket.inet_aton("0.0.0.0") + socket.inet_aton(source)
    sock.setsockopt(socket.IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, request)
    # End by SIGTERM like the others, but let Python flush what it holds.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(0))
    last = b"\0\0\0\0"
    while True:
        data, sender = sock.recvfrom(65536)
        last = data[:4] + last[len(data):] if len(data) < 4 else data[:4]
        sequence = struct.unpack("<i", last)[0]
        print("%12s:seq=%6d:len=%4d" % (sender[0], sequence, len(data)))


if __name__ == "__main__":
    main(sys.argv)
