#!/usr/bin/python3
"""orvgate against tiwaysim, with two Modbus clients written elsewhere:
pymodbus and mbpoll. Every table and value type is read and written, each
client reading back what the other wrote, and once the gateway has stopped
every written value is read back through the driver with orvhost.

usage: clients_test.py --orvgate PATH --orvhost PATH --port N --work DIR
(the simulator serving gate_network.conf is the ctest fixture's)
"""
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

from pymodbus.client import ModbusTcpClient

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def float_of(high, low):
    return struct.unpack(">f", struct.pack(">HH", high, low))[0]


def int32_of(high, low):
    return struct.unpack(">i", struct.pack(">HH", high, low))[0]


def words_of(fmt, value):
    """The two registers of a 32-bit value, high word first."""
    return list(struct.unpack(">HH", struct.pack(fmt, value)))


class Gate:
    def __init__(self, orvgate, port, work):
        self.log_path = os.path.join(work, "orvgate.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [orvgate, "--map", os.path.join(work, "clients.map"), "--listen", "127.0.0.1:%d" % port,
             "--timeout", "200", "--stats"], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 60
        while "serving Modbus TCP" not in self.text():
            if self.process.poll() is not None or time.time() > deadline:
                print(self.text())
                raise SystemExit("orvgate did not start")
            time.sleep(0.1)

    def text(self):
        with open(self.log_path) as f:
            return f.read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=30)
        self.log.close()
        return code


def mbpoll(port, unit, kind, address, values=(), count=1, extra=()):
    """Runs mbpoll once; returns {address: text} of what it printed."""
    args = ["mbpoll", "-m", "tcp", "-a", str(unit), "-0", "-r", str(address), "-t", kind, "-1", "-o", "2",
            "-p", str(port)] + list(extra)
    if not values and count > 1:
        args += ["-c", str(count)]
    args.append("127.0.0.1")
    if values:
        args += ["--"] + [str(v) for v in values]
    done = subprocess.run(args, capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        return None
    # A register that reads as negative is shown as "65535 (-1)": keep the signed form.
    values = {}
    for a, v in re.findall(r"^\[(\d+)\]:\s+(\S.*)$", done.stdout, re.M):
        signed = re.search(r"\((-\d+)\)", v)
        values[int(a)] = signed.group(1) if signed else v.split()[0]
    return values


def read_through_driver(orvhost, work, channel, init, lines):
    """orvhost's script of reads on one channel; returns {address: text}."""
    script = "".join("read %s -t %s\n" % (address, kind) for address, kind in lines)
    done = subprocess.run([orvhost, "-c", str(channel), "-f", os.path.join(work, init), "-l", "33", "-"],
                          input=script, capture_output=True, text=True, timeout=120, cwd=work)
    print(done.stdout + done.stderr, end="")
    return dict(re.findall(r"^(\w+): (\S+)$", done.stdout, re.M))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orvgate", required=True)
    parser.add_argument("--orvhost", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    args.orvgate = os.path.abspath(args.orvgate)
    args.orvhost = os.path.abspath(args.orvhost)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    for name in ("clients.map", "gate01.int", "gate02.int"):
        shutil.copy(os.path.join(HERE, name), args.work)

    gate = Gate(args.orvgate, args.port, args.work)
    client = ModbusTcpClient("127.0.0.1", port=args.port, timeout=5)
    check(client.connect(), "pymodbus connects")

    # pymodbus writes each kind, mbpoll reads it back.
    check(not client.write_registers(0, [(-1234) & 0xFFFF, 0, 32767, 0x8000], slave=1).isError(),
          "pymodbus writes int16 holding registers")
    check(not client.write_registers(16, [65535, 1], slave=1).isError(), "pymodbus writes uint16")
    check(not client.write_registers(100, words_of(">f", 21.5), slave=1).isError(),
          "pymodbus writes a float, high word first")
    high, low = words_of(">i", -123456)
    check(not client.write_registers(200, [low, high], slave=1).isError(), "pymodbus writes an int32, low word first")
    check(not client.write_registers(300, words_of(">I", 0xDEADBEEF), slave=1).isError(),
          "pymodbus writes a uint32, high word first")
    check(not client.write_coils(0, [False, True, True, False], slave=1).isError(), "pymodbus writes bits of V500")
    check(not client.write_coils(100, [True, False, True, True], slave=1).isError(), "pymodbus writes points Y1..Y4")
    check(not client.write_register(0, (-1234) & 0xFFFF, slave=3).isError(), "pymodbus writes on channel 2")

    check(mbpoll(args.port, 1, "4", 0, count=4) == {0: "-1234", 1: "0", 2: "32767", 3: "-32768"},
          "mbpoll reads the int16 values")
    check(mbpoll(args.port, 1, "4:float", 100, extra=["-B"]) == {100: "21.5"}, "mbpoll reads the float")
    check(mbpoll(args.port, 1, "4:int", 200) == {200: "-123456"}, "mbpoll reads the int32, low word first")
    check(mbpoll(args.port, 1, "4:hex", 300, count=2) == {300: "0xDEAD", 301: "0xBEEF"}, "mbpoll reads the uint32")
    check(mbpoll(args.port, 1, "0", 0, count=4) == {0: "0", 1: "1", 2: "1", 3: "0"}, "mbpoll reads the bits")
    check(mbpoll(args.port, 1, "0", 100, count=4) == {100: "1", 101: "0", 102: "1", 103: "1"},
          "mbpoll reads the points")
    check(mbpoll(args.port, 3, "4", 0) == {0: "-1234"}, "mbpoll reads channel 2")

    # mbpoll writes each kind, pymodbus reads it back.
    # mbpoll writes 16-bit registers as unsigned numbers.
    check(mbpoll(args.port, 1, "4", 4, values=[65529]) is not None, "mbpoll writes an int16 (-7)")
    check(mbpoll(args.port, 1, "4", 18, values=[40000]) is not None, "mbpoll writes a uint16")
    check(mbpoll(args.port, 1, "4:float", 102, values=[-0.125], extra=["-B"]) is not None, "mbpoll writes a float")
    check(mbpoll(args.port, 1, "4:int", 202, values=[98765]) is not None, "mbpoll writes an int32, low word first")
    check(mbpoll(args.port, 1, "4:int", 302, values=[123456789], extra=["-B"]) is not None, "mbpoll writes a uint32")
    check(mbpoll(args.port, 1, "0", 8, values=[1]) is not None, "mbpoll writes bit 8 of V500")
    check(mbpoll(args.port, 1, "0", 110, values=[1]) is not None, "mbpoll writes point Y11")
    check(mbpoll(args.port, 2, "4", 0, values=[515, 516]) is not None, "mbpoll writes secondary 2")

    r = client.read_holding_registers(4, 1, slave=1)
    check(not r.isError() and r.registers == [(-7) & 0xFFFF], "pymodbus reads the int16")
    r = client.read_holding_registers(18, 1, slave=1)
    check(not r.isError() and r.registers == [40000], "pymodbus reads the uint16")
    r = client.read_holding_registers(102, 2, slave=1)
    check(not r.isError() and float_of(*r.registers) == -0.125, "pymodbus reads the float")
    r = client.read_holding_registers(202, 2, slave=1)
    check(not r.isError() and int32_of(r.registers[1], r.registers[0]) == 98765, "pymodbus reads the int32")
    r = client.read_holding_registers(302, 2, slave=1)
    check(not r.isError() and int32_of(*r.registers) == 123456789, "pymodbus reads the uint32")
    r = client.read_coils(0, 16, slave=1)
    check(not r.isError() and r.bits[:16] == [False, True, True, False] + [False] * 4 + [True] + [False] * 6 + [True],
          "pymodbus reads all bits of V500, bit 15 from the start")
    r = client.read_coils(110, 1, slave=1)
    check(not r.isError() and r.bits[0], "pymodbus reads the point")
    r = client.read_holding_registers(0, 2, slave=2)
    check(not r.isError() and r.registers == [515, 516], "pymodbus reads secondary 2")

    # What nobody writes: the network's own values.
    r = client.read_holding_registers(400, 2, slave=1)
    check(not r.isError() and r.registers == [0x1234, 0x5678], "read-only holding registers hold V100 V101")
    check(mbpoll(args.port, 1, "3:hex", 0, count=2) == {0: "0x0A0B", 1: "0x0C0D"}, "input registers hold WX1 WX2")
    r = client.read_input_registers(10, 2, slave=1)
    check(not r.isError() and r.registers == [0, 0], "a float of input registers")
    check(mbpoll(args.port, 1, "1", 0, count=4) == {0: "1", 1: "0", 2: "1", 3: "0"},
          "discrete inputs hold X1..X4 (0xFE is off)")

    # Refusals.
    r = client.write_register(400, 1, slave=1)
    check(r.isError() and r.exception_code == 2, "a read-only range refuses writes with 0x02")
    r = client.write_register(101, 1, slave=1)
    check(r.isError() and r.exception_code == 2, "half of a float refuses writes with 0x02")
    r = client.read_holding_registers(50, 1, slave=1)
    check(r.isError() and r.exception_code == 2, "an unmapped address gets 0x02")
    r = client.read_holding_registers(0, 1, slave=9)
    check(r.isError() and r.exception_code == 0x0A, "a unit nothing is mapped at gets 0x0A")
    r = client.read_input_registers(0, 3, slave=247)
    check(not r.isError() and r.registers == [3, 2, 3],
          "the statistics unit: layout 3, two channels, three secondaries")
    client.close()

    code = gate.stop()
    text = gate.text()
    check(code == 0 and "orvgate: stopped" in text and "writes: 16 applied, 0 failed" in text,
          "orvgate stops cleanly and counts its writes")
    if code != 0 or failures:
        print(text)

    # Through the driver, with the gateway gone: what the controllers hold.
    got = read_through_driver(args.orvhost, args.work, 1, "gate01.int", [
        ("01V0001", "int16"), ("01V0002", "int16"), ("01V0003", "int16"), ("01V0004", "int16"),
        ("01V0005", "int16"), ("01V0011", "uint16"), ("01V0012", "uint16"), ("01V0013", "uint16"),
        ("01D0101", "float"), ("01D0103", "float"), ("01D0201", "int32"), ("01D0203", "int32"),
        ("01L0001", "hex32"), ("01L0002", "uint32"), ("01V01F4", "hex"),
        ("01Y0001", "bit"), ("01Y0002", "bit"), ("01Y0003", "bit"), ("01Y0004", "bit"), ("01Y000B", "bit"),
        ("02V0001", "int16"), ("02V0002", "int16")])
    check(got == {"01V0001": "-1234", "01V0002": "0", "01V0003": "32767", "01V0004": "-32768", "01V0005": "-7",
                  "01V0011": "65535", "01V0012": "1", "01V0013": "40000", "01D0101": "21.5", "01D0103": "-0.125",
                  "01D0201": "-123456", "01D0203": "98765", "01L0001": "0xDEADBEEF", "01L0002": "123456789",
                  "01V01F4": "0x8106", "01Y0001": "1", "01Y0002": "0", "01Y0003": "1", "01Y0004": "1",
                  "01Y000B": "1", "02V0001": "515", "02V0002": "516"},
          "orvhost reads every written value of channel 1 through the driver")
    got = read_through_driver(args.orvhost, args.work, 2, "gate02.int", [("03V0001", "int16")])
    check(got == {"03V0001": "-1234"}, "orvhost reads the written value of channel 2 through the driver")

    print("%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
