#!/usr/bin/env python3
"""Runs an example client against a netprobed of its own and checks it.

  run-example.py NETPROBED EXAMPLE [LD_LIBRARY_PATH]

Starts NETPROBED on a private bus and waits for its READY=1; opens a TCP
listener of its own (an open port) and finds a closed one; runs EXAMPLE on
each and checks its exit status and line; stops the service by its pid.
Exits 0 when both runs were as expected.
"""
import os
import socket
import subprocess
import sys
import tempfile

service_path, example = sys.argv[1], sys.argv[2]
library_path = sys.argv[3] if len(sys.argv) > 3 else ""

with tempfile.TemporaryDirectory(prefix="netprobe-example-") as folder:
    bus, notify_path = os.path.join(folder, "bus.sock"), os.path.join(folder, "notify.sock")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    notify.settimeout(30)
    env = dict(os.environ, NETPROBE_BUS=bus, NOTIFY_SOCKET=notify_path)
    service = subprocess.Popen([service_path], env=env, stdout=subprocess.DEVNULL)
    try:
        if notify.recv(64) != b"READY=1":
            sys.exit("netprobed did not say it was ready")
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        spare = socket.socket()
        spare.bind(("127.0.0.1", 0))
        closed = spare.getsockname()[1]
        spare.close()
        if library_path:
            env["LD_LIBRARY_PATH"] = library_path
        failures = 0
        for port, status, word in ((listener.getsockname()[1], 0, "open"), (closed, 1, "closed")):
            run = subprocess.run([example, "127.0.0.1", str(port)], env=env, capture_output=True,
                                 text=True, timeout=60)
            print(f"probe-port 127.0.0.1 {port}: exit {run.returncode}: {run.stdout.strip()} {run.stderr.strip()}")
            if run.returncode != status or f"127.0.0.1:{port} {word}" not in run.stdout:
                failures += 1
        sys.exit(1 if failures else 0)
    finally:
        service.terminate()
        service.wait(timeout=30)
