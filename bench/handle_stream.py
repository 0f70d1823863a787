#!/usr/bin/python3
"""Status messages received per second through Handle.Receive from a grip that streams them
back to back, with and without a Python override of OnReceiveHandleStatusMessage.

    PYTHONPATH=build/python /usr/bin/python3 bench/handle_stream.py [--messages N] [--user-data L]

A forked child plays the grip on its own pseudo-terminal: it writes status messages (header
0xDA, 21 bytes, then L bytes of user data) without pause, numbering them in device_id, so
the receiver can tell a lost message. CPU time is the receiving process's own (user +
system); the grip's CPU is reported apart.

Reads wait until a whole payload is queued before taking any of it. On a Linux
pseudo-terminal whose writer is blocked, the writer is woken only once the reader has
drained the line below 128 bytes, so user data longer than that can stall a read until the
device timeout.
"""
import argparse
import collections
import itertools
import os
import resource
import signal
import struct
import time
import tty

import BrivaneHardwareAPI


def status_messages(user_data_length, count=65536):
    user_data = bytes(range(user_data_length))
    return b"".join(
        struct.pack("<BHBB4fB", 0xDA, i, 0, 7, 0.5, -0.5, 0.25, 1.0, user_data_length) + user_data
        for i in range(count))


INFO = bytes([0xD0, 0x01, 0x00, 0x64, 0x02, 0x01, 0x09])


def start_grip(master, user_data_length, info_first=False):
    chunk = status_messages(user_data_length)
    pid = os.fork()
    if pid == 0:  # the grip
        try:
            if info_first:  # answers the wake-up, then streams
                os.read(master, 1)
                os.write(master, INFO)
            view = memoryview(chunk)
            while True:
                at = 0
                while at < len(view):
                    at += os.write(master, view[at:])
        finally:
            os._exit(0)
    return pid


class Counting(BrivaneHardwareAPI.Handle):
    """What a program would do at least: take the message and check it is the next one."""

    def __init__(self, stream):
        super().__init__(stream)
        self.received = 0
        self.expected = None
        self.lost = 0

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                     hall_effect_sensor_level, user_data_length, user_data):
        if self.expected is not None and device_id != self.expected:
            self.lost += (device_id - self.expected) & 0xFFFF
        self.expected = (device_id + 1) & 0xFFFF
        self.received += 1


def pure_python(fd, messages, user_data_length):
    """The same reads written in Python on the raw descriptor, as a floor for comparison."""
    payload = 21 + user_data_length
    buffer = b""
    for _ in range(messages):
        while len(buffer) < 1 + payload:
            buffer += os.read(fd, 65536)
        message, buffer = buffer[:1 + payload], buffer[1 + payload:]
        struct.unpack_from("<HBB4fB", message, 1)


def measure(loop, messages):
    loop(max(messages // 10, 1000))  # warm-up
    wall, cpu = time.perf_counter(), time.process_time()
    loop(messages)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return messages / wall, cpu / messages * 1e6


def run(name, user_data_length, messages, receiver, info_first=False):
    master, slave = os.openpty()
    tty.setraw(slave)
    grip_pid = start_grip(master, user_data_length, info_first)
    try:
        rate, cpu = receiver(slave, os.ttyname(slave), messages)
    finally:
        os.kill(grip_pid, signal.SIGKILL)
        _, _, usage = os.wait4(grip_pid, 0)
        os.close(master)
        os.close(slave)
    grip_cpu = (usage.ru_utime + usage.ru_stime) / messages * 1e6
    print(f"{name:<44} {rate:>10,.0f} msg/s  {cpu:6.1f} us CPU/msg  (grip {grip_cpu:.1f} us)")
    return rate


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=100000)
    parser.add_argument("--user-data", type=int, default=0, help="user data bytes per message")
    args = parser.parse_args()
    length = args.user_data

    def python_override(_, path, messages):
        grip = Counting(BrivaneHardwareAPI.SerialStream(path))
        result = measure(lambda n: [grip.Receive() for _ in range(n)], messages)
        if grip.lost:
            print(f"  lost {grip.lost} messages")
        return result

    def plain(_, path, messages):
        grip = BrivaneHardwareAPI.Handle(BrivaneHardwareAPI.SerialStream(path))
        return measure(lambda n: [grip.Receive() for _ in range(n)], messages)

    def brivane_messages(_, path, messages):
        import brivane
        grip = brivane.Grip(path, timeout=1.0)
        stream = grip.messages()
        return measure(lambda n: collections.deque(itertools.islice(stream, n), maxlen=0),
                       messages)

    def raw(fd, _, messages):
        return measure(lambda n: pure_python(fd, n, length), messages)

    print(f"{length} bytes of user data, {22 + length} bytes per message, {args.messages} messages")
    rate = run("Python subclass, OnReceiveHandleStatusMessage", length, args.messages,
               python_override)
    run("plain Handle (no Python callback)", length, args.messages, plain)
    brivane_rate = run("brivane Grip.messages(), records", length, args.messages,
                       brivane_messages, info_first=True)
    run("pure Python os.read + struct.unpack", length, args.messages, raw)
    print(f"target 10,000 msg/s through a Python callback: {'met' if rate >= 10000 else 'NOT met'}")
    print(f"target 100,000 msg/s through brivane's messages(): "
          f"{'met' if brivane_rate >= 100000 else 'NOT met'}")
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(f"receiver context switches: {usage.ru_nvcsw} voluntary, {usage.ru_nivcsw} involuntary")


if __name__ == "__main__":
    main()
