#!/usr/bin/python3
"""Round trips of Kalvar.end_effector_force against an answering pseudo-terminal, beside the
same request/answer loop written in pure Python on the same device.

    PYTHONPATH=build/python /usr/bin/python3 bench/kalvar_roundtrip.py [--calls N]

A forked child plays the arm: it reads each 13-byte force command and answers with the
25-byte end-effector state. CPU time is the calling process's own (user + system).
"""
import argparse
import os
import signal
import struct
import time
import tty

import BrivaneHardwareAPI

REQUEST_LENGTH = 13
ANSWER = b"\x2b" + struct.pack("<6f", 0.1, 0.2, 0.3, 0.4, 0.5, 0.6)


def read_exactly(fd, n):
    data = b""
    while len(data) < n:
        chunk = os.read(fd, n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def start_arm(master):
    pid = os.fork()
    if pid == 0:  # the arm
        try:
            while True:
                read_exactly(master, REQUEST_LENGTH)
                os.write(master, ANSWER)
        finally:
            os._exit(0)
    return pid


def pure_python(fd, calls):
    force = [1.0, 2.0, 3.0]
    for _ in range(calls):
        os.write(fd, b"\x2a" + struct.pack("<3f", *force))
        if read_exactly(fd, 1) != b"\x2b":
            raise RuntimeError("unexpected answer code")
        values = struct.unpack("<6f", read_exactly(fd, 24))
        _ = (list(values[:3]), list(values[3:]))


def module(arm, calls):
    force = [1.0, 2.0, 3.0]
    for _ in range(calls):
        arm.end_effector_force(force)


def measure(loop, calls):
    loop(max(calls // 10, 100))  # warm-up
    wall, cpu = time.perf_counter(), time.process_time()
    loop(calls)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return calls / wall, cpu / calls * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()

    master, slave = os.openpty()
    tty.setraw(slave)
    arm_pid = start_arm(master)
    try:
        results = {"pure Python os.write/os.read": measure(lambda n: pure_python(slave, n),
                                                           args.calls)}
        stream = BrivaneHardwareAPI.SerialStream(os.ttyname(slave))
        arm = BrivaneHardwareAPI.Kalvar(stream)
        if arm.end_effector_force([1.0, 2.0, 3.0])[0] != list(struct.unpack("<3f", ANSWER[1:13])):
            raise RuntimeError("the module did not read the arm's answer")
        results["Kalvar.end_effector_force"] = measure(lambda n: module(arm, n), args.calls)
    finally:
        os.kill(arm_pid, signal.SIGTERM)
        os.waitpid(arm_pid, 0)

    print(f"{args.calls} calls each, answering pseudo-terminal {os.ttyname(slave)}")
    print(f"{'loop':32} {'round trips/s':>14} {'CPU us/call':>12}")
    for name, (rate, cpu) in results.items():
        print(f"{name:32} {rate:14.0f} {cpu:12.1f}")


if __name__ == "__main__":
    main()
