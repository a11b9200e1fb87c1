#!/usr/bin/env python3
"""Small local peers for the demo: a TCP service that greets and answers,
a UDP echo, and (when allowed to bind port 137) a NetBIOS responder.
Listens on loopback only and stops after a minute, or when killed."""
import os
import select
import socket
import struct
import sys
import time

tcp_port, udp_port = int(sys.argv[1]), int(sys.argv[2])

tcp = socket.socket()
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind(("127.0.0.1", tcp_port))
tcp.listen(16)
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("127.0.0.1", udp_port))
sockets = [tcp, udp]
netbios = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    netbios.bind(("127.0.0.2", 137))
    sockets.append(netbios)
except OSError:
    pass

WILDCARD = b"\x20CK" + b"A" * 30 + b"\x00"


def node_status(query):
    names = [(b"DEMOHOST", 0x00, 0x04), (b"DEMOGROUP", 0x00, 0x84)]
    rdata = bytes([len(names)])
    for name, suffix, flags in names:
        rdata += name.ljust(15) + bytes([suffix, flags, 0])
    rdata += bytes(46)  # statistics
    return (query[:2] + b"\x84\x00" + struct.pack(">HHHH", 0, 1, 0, 0) + WILDCARD
            + struct.pack(">HHIH", 0x21, 1, 0, len(rdata)) + rdata)


end = time.time() + 60
while time.time() < end:
    ready, _, _ = select.select(sockets, [], [], 1)
    for s in ready:
        if s is tcp:
            conn, _ = tcp.accept()
            conn.sendall(b"220 demo ready\r\n")
            conn.settimeout(2)
            try:
                if conn.recv(100).startswith(b"HELO"):
                    conn.sendall(b"250 hello\r\n")
                conn.recv(100)
            except OSError:
                pass
            conn.close()
        elif s is udp:
            data, peer = udp.recvfrom(4096)
            udp.sendto(b"echo: " + data, peer)
        else:
            data, peer = netbios.recvfrom(4096)
            if len(data) == 50:
                netbios.sendto(node_status(data), peer)
