#!/usr/bin/python3
"""orvgate as systemd runs it, told through a datagram socket of our own as
NOTIFY_SOCKET, with WATCHDOG_USEC as a unit's WatchdogSec=1 sets it:

1. READY=1 comes only once the port accepts connections; WATCHDOG=1 comes
   while the card thread turns, stops while a card that never replies holds
   it (a reply time-out far longer than the watchdog), and comes again once
   the call returns, with the channel lost in STATUS=.
2. With no card at all, STATUS= says no channel answers, and orvgate exits 1
   after --startup-timeout.

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
WATCHDOG_S = 1.0


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


class Systemd:
    """The notification socket: every datagram with the time it came and,
    for READY=1, whether the port took a connection at that moment."""

    def __init__(self, path, port):
        self.port = port
        self.messages = []  # (time, line)
        self.ready_connect = None
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.done = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            now = time.monotonic()
            for line in data.decode().split("\n"):
                if line == "READY=1" and self.ready_connect is None:
                    try:
                        socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                        self.ready_connect = True
                    except OSError:
                        self.ready_connect = False
                self.messages.append((now, line))

    def since(self, t0, prefix):
        return [(t, m) for t, m in list(self.messages) if t >= t0 and m.startswith(prefix)]

    def wait(self, prefix, text, limit):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if any(m.startswith(prefix) and text in m for _, m in list(self.messages)):
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.done = True
        self.thread.join()
        self.sock.close()


def start_orvgate(args, work, extra, notify):
    env = dict(os.environ, NOTIFY_SOCKET=notify, WATCHDOG_USEC=str(int(WATCHDOG_S * 1e6)))
    log = open(os.path.join(work, "orvgate.log"), "w")
    return subprocess.Popen([args.orvgate, "--map", os.path.join(work, "svc.map"),
                             "--listen", "127.0.0.1:%d" % args.port] + extra,
                            env=env, stdout=log, stderr=subprocess.STDOUT)


def log_of(work):
    with open(os.path.join(work, "orvgate.log")) as f:
        return f.read()


def control(args, work, command):
    out = subprocess.run([args.tiwaysim, "--send", os.path.join(work, "control"), command],
                         capture_output=True, text=True, timeout=10)
    check(out.stdout.strip() == "ok", "tiwaysim took '%s'" % command)


def held_card(args, work):
    with open(os.path.join(work, "net.conf"), "w") as f:
        f.write("card C800\nsecondary 1 defaults\nvalue 0x01 1 0x1111\n")
    sim = subprocess.Popen([args.tiwaysim, "--device", args.device, "--config", os.path.join(work, "net.conf"),
                            "--configured", "--remove-device", "--control", os.path.join(work, "control"),
                            "--ready-file", os.path.join(work, "ready")],
                           stdout=open(os.path.join(work, "tiwaysim.log"), "w"), stderr=subprocess.STDOUT)
    for _ in range(100):
        if os.path.exists(os.path.join(work, "ready")):
            break
        time.sleep(0.1)
    systemd = Systemd(os.path.join(work, "notify1"), args.port)
    # A read of a card that never replies holds the card thread for twice
    # the reply time-out at least, far past the watchdog.
    gate = start_orvgate(args, work, ["--timeout", "5000"], os.path.join(work, "notify1"))
    try:
        check(systemd.wait("READY=1", "", 60), "READY=1 came")
        check(systemd.ready_connect is True, "the port accepted a connection when READY=1 came")
        first = [m for _, m in systemd.messages]
        check(any(m.startswith("STATUS=starting") for m in first[:first.index("READY=1")]),
              "STATUS= said it was starting before READY=1")
        t0 = time.monotonic()
        time.sleep(2)
        pings = len(systemd.since(t0, "WATCHDOG=1"))
        check(pings >= 3, "WATCHDOG=1 came %d times in 2 s of a turning card thread" % pings)

        control(args, work, "card C800 ack-no-reply on")
        check(systemd.wait("STATUS=", "the card thread of channel 1 makes no progress", 2 * WATCHDOG_S + 2),
              "STATUS= named the held card thread")
        held = [t for t, m in systemd.messages if "makes no progress" in m][0]
        control(args, work, "card C800 ack-no-reply off")  # the call under way still gets no reply
        check(systemd.wait("STATUS=", "lost: channel 1", 30), "STATUS= told the channel was lost")
        lost = [t for t, m in systemd.messages if "lost: channel 1" in m][0]
        during = [t for t, _ in systemd.since(held, "WATCHDOG=1") if t < lost]
        print("      the card thread was held for %.1f s after STATUS= named it" % (lost - held))
        check(lost - held >= 2 * WATCHDOG_S and not during,
              "no WATCHDOG=1 while the card thread was held (%d came)" % len(during))
        deadline = lost + 10
        while time.monotonic() < deadline and not systemd.since(lost, "WATCHDOG=1"):
            time.sleep(0.05)
        check(bool(systemd.since(lost, "WATCHDOG=1")), "WATCHDOG=1 came again once the call returned")
        gate.send_signal(signal.SIGTERM)
        code = gate.wait(60)
        check(code == 0, "orvgate stopped with 0 (%s)" % code)
        check(systemd.wait("STOPPING=1", "", 1), "STOPPING=1 came")
    finally:
        if gate.poll() is None:
            gate.kill()
            gate.wait()
        systemd.close()
        sim.send_signal(signal.SIGTERM)
        sim.wait(30)
    if failures:
        print(log_of(work))


def no_card(args, work):
    # tiwaysim took its device file away: every cold start fails.
    systemd = Systemd(os.path.join(work, "notify2"), args.port)
    t0 = time.monotonic()
    gate = start_orvgate(args, work, ["--startup-timeout", "2"], os.path.join(work, "notify2"))
    try:
        code = gate.wait(30)
    except subprocess.TimeoutExpired:
        gate.kill()
        code = gate.wait()
    took = time.monotonic() - t0
    systemd.close()
    check(code == 1, "orvgate exited 1 when no channel answered (%s), after %.1f s" % (code, took))
    check(2 <= took < 12, "it gave up after its --startup-timeout of 2 s and not long after")
    statuses = [m for _, m in systemd.messages if m.startswith("STATUS=")]
    check(any("no channel answers yet: channel 1:" in m for m in statuses), "STATUS= said no channel answers")
    check(any("no channel answered within 2 s" in m for m in statuses), "STATUS= said it gave up")
    check("no channel answered within 2 s: channel 1:" in log_of(work), "the log said why it exited")
    if failures:
        print(log_of(work))


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
    held_card(args, args.work)
    no_card(args, args.work)
    if failures:
        sys.exit("%d failed" % len(failures))
    print("all passed")


if __name__ == "__main__":
    main()
