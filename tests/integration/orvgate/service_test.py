#!/usr/bin/python3
"""orvgate as systemd runs it, told through a datagram socket of our own as
NOTIFY_SOCKET, with WATCHDOG_USEC as WatchdogSec=2 sets it: STATUS= while it
starts, READY=1 only once the port takes connections, no WATCHDOG=1 while a
card that never replies holds its thread and again once the call returned;
and with no card at all, its exit 1 after --startup-timeout.

usage: service_test.py --orvgate PATH --tiwaysim PATH --device PATH --port N --work DIR
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


class Systemd:
    """Every notification with the time it came; at READY=1, whether the port took a connection."""

    def __init__(self, path, port):
        self.port, self.messages, self.ready_connect, self.done = port, [], None, False
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done:
            try:
                lines = self.sock.recv(4096).decode().split("\n")
            except socket.timeout:
                continue
            if "READY=1" in lines and self.ready_connect is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    self.ready_connect = True
                except OSError:
                    self.ready_connect = False
            self.messages += [(time.monotonic(), line) for line in lines]

    def first(self, text, limit, since=0.0):
        """When the first message holding `text` came from `since` on (waiting up to `limit` s), or None."""
        deadline = time.monotonic() + limit
        while True:
            found = [t for t, m in list(self.messages) if text in m and t >= since]
            if found or time.monotonic() > deadline:
                return found[0] if found else None
            time.sleep(0.05)


def orvgate(args, extra, notify):
    env = dict(os.environ, NOTIFY_SOCKET=notify, WATCHDOG_USEC="2000000")
    return subprocess.Popen([args.orvgate, "--map", os.path.join(args.work, "svc.map"),
                             "--listen", "127.0.0.1:%d" % args.port] + extra, env=env,
                            stdout=open(os.path.join(args.work, "orvgate.log"), "a"), stderr=subprocess.STDOUT)


def held_card(args):
    w = args.work
    with open(os.path.join(w, "net.conf"), "w") as f:
        f.write("card C800\nsecondary 1 defaults\n")
    sim = subprocess.Popen([args.tiwaysim, "--device", args.device, "--config", os.path.join(w, "net.conf"),
                            "--configured", "--remove-device", "--control", os.path.join(w, "control"),
                            "--ready-file", os.path.join(w, "ready")], stdout=subprocess.DEVNULL)
    for _ in range(100):
        time.sleep(0 if os.path.exists(os.path.join(w, "ready")) else 0.1)
    systemd = Systemd(os.path.join(w, "notify1"), args.port)
    # A read of a card that never replies holds the card thread for a reply time-out at least.
    gate = orvgate(args, ["--timeout", "6000"], os.path.join(w, "notify1"))
    send = lambda command: subprocess.run([args.tiwaysim, "--send", os.path.join(w, "control"), command],
                                          stdout=subprocess.DEVNULL, check=True, timeout=10)
    try:
        ready = systemd.first("READY=1", 60)
        check(ready is not None and systemd.ready_connect is True, "READY=1 came once the port took connections")
        check((systemd.first("STATUS=starting", 0) or ready) < ready, "STATUS= said it was starting before that")
        time.sleep(3)
        pings = [t for t, m in list(systemd.messages) if m == "WATCHDOG=1"]
        check(len(pings) >= 3, "WATCHDOG=1 came %d times by 3 s after READY=1" % len(pings))

        send("card C800 ack-no-reply on")
        held = systemd.first("the card thread of channel 1 makes no progress", 6)
        check(held is not None, "STATUS= named the held card thread")
        send("card C800 ack-no-reply off")  # the call under way still gets no reply
        lost = systemd.first("lost: channel 1", 30)
        check(held is not None and lost is not None and lost - held >= 2 and
              (systemd.first("WATCHDOG=1", 0, since=held) or lost) >= lost,
              "no WATCHDOG=1 while it was held, then STATUS= told the channel lost")
        check(lost is not None and systemd.first("WATCHDOG=1", 10, since=lost) is not None,
              "WATCHDOG=1 came again once the call returned")
        gate.send_signal(signal.SIGTERM)
        check(gate.wait(60) == 0 and systemd.first("STOPPING=1", 1), "it stopped with 0, saying STOPPING=1")
    finally:
        if gate.poll() is None:
            gate.kill()
        sim.send_signal(signal.SIGTERM)
        sim.wait(30)
        systemd.done = True


def no_card(args):
    # tiwaysim took its device file away: every cold start fails.
    systemd = Systemd(os.path.join(args.work, "notify2"), args.port)
    t0 = time.monotonic()
    code = orvgate(args, ["--startup-timeout", "2"], os.path.join(args.work, "notify2")).wait(30)
    took = time.monotonic() - t0
    check(code == 1 and 2 <= took < 12, "it exited 1 (%s) after its --startup-timeout of 2 s (%.1f s)" % (code, took))
    check(systemd.first("STATUS=serving Modbus TCP on 127.0.0.1:%d; no channel answered within 2 s: channel 1:"
                        % args.port, 1), "STATUS= said why")
    systemd.done = True


def main():
    p = argparse.ArgumentParser()
    for name in ("--orvgate", "--tiwaysim", "--device", "--work"):
        p.add_argument(name, required=True)
    p.add_argument("--port", type=int, required=True)
    args = p.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    with open(os.path.join(args.work, "svc01.int"), "w") as f:
        f.write("C800;800\n")
    with open(os.path.join(args.work, "svc.map"), "w") as f:
        f.write("channel 1 svc01.int\nholding 1 0 01V0001 1 uint16\n")
    held_card(args)
    no_card(args)
    if failures:
        print(open(os.path.join(args.work, "orvgate.log")).read())
        sys.exit("%d failed" % len(failures))
    print("all passed")


if __name__ == "__main__":
    main()
