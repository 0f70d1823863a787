#!/usr/bin/env python3
"""Reading the grip in a background thread.

    grip_thread.py [--port PORT] [--seconds S]

Handle.Receive releases the interpreter lock while it waits for the grip, so a reader
thread that does nothing but receive costs the rest of the program nothing. The callbacks
run on the reader thread and keep the latest status under a lock for the main thread.

A Handle is used by one thread at a time: the main thread does not call the grip itself,
it hands commands to the reader thread through a queue. When the grip is lost, the reader
tries to reopen its port and then stops. Without --port the grip is simulated.
"""
import argparse
import queue
import sys
import threading
import time

from simulator import REPOSITORY, Simulator

try:
    import BrivaneHardwareAPI as api
except ImportError:
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import BrivaneHardwareAPI as api


class Latest:
    """The latest status, kept under a lock for the main thread."""

    def __init__(self):
        self.lock = threading.Lock()
        self.device_id = None
        self.count = 0
        self.status = None

    def snapshot(self):
        with self.lock:
            return self.count, self.status


class Grip(api.Handle):
    """Keeps the latest status; its callbacks run on the reader thread."""

    def __init__(self, stream, latest):
        super().__init__(stream)
        self.latest = latest

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, model, hardware, firmware):
        with self.latest.lock:
            self.latest.device_id = device_id

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_level,
                                     user_data_length, user_data):
        with self.latest.lock:
            self.latest.count += 1
            self.latest.status = (quaternion, hall_level, user_data)

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        print(f"grip {device_id}: error {error_code}", file=sys.stderr)


class Reader(threading.Thread):
    """Receives until stopped; sends the commands it is given in between.

    A Receive that fails long before the grip's 5 s time-out has not met a quiet grip but a
    failed line (or a stray byte): the grip was unplugged or its port closed. The reader then
    reopens the port, a few times with growing pauses, and gives up when it stays gone,
    rather than loop on a dead line.
    """

    REOPENS = 3

    def __init__(self, port):
        super().__init__(name="grip reader", daemon=True)
        self.port = port
        self.latest = Latest()
        self.commands = queue.Queue()
        self.stopping = threading.Event()
        self.lost = False

    def run(self):
        grip = Grip(api.SerialStream(self.port), self.latest)
        grip.SendDeviceWakeup()
        failures = 0
        while not self.stopping.is_set():
            while not self.commands.empty():
                self.commands.get()(grip)
            started = time.monotonic()
            if grip.Receive() >= 0:
                failures = 0
            elif time.monotonic() - started > 1.0:
                grip.RequestStatus()  # a quiet grip: ask
            elif failures == self.REOPENS:
                print(f"grip on {self.port} lost", file=sys.stderr)
                self.lost = True
                return
            else:
                failures += 1
                del grip  # closes the port, so that it can be opened again
                self.stopping.wait(0.2 * failures)
                grip = Grip(api.SerialStream(self.port), self.latest)
                grip.SendDeviceWakeup()

    def stop(self):
        self.stopping.set()
        self.join()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="the grip's port (default: simulated)")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    simulator = Simulator("grip", "--rate", 500) if args.port is None else None
    try:
        reader = Reader(args.port or simulator.port)
        reader.start()
        latest = reader.latest

        start = time.perf_counter()
        step = 0
        while time.perf_counter() - start < args.seconds and not reader.lost:
            time.sleep(0.1)  # the main thread's own work
            step += 1
            # A new handle state every few steps; the grip echoes it in its user data.
            if step % 3 == 0 and latest.device_id is not None:
                value, device_id = step % 256, latest.device_id
                reader.commands.put(lambda g, v=value: g.SendHandleState(device_id, 1, v))
            count, status = latest.snapshot()
            if status:
                quaternion, hall_level, user_data = status
                print(f"{time.perf_counter() - start:4.1f} s  {count:6d} messages  "
                      f"quaternion {[round(q, 3) for q in quaternion]}  hall {hall_level:2d}  "
                      f"user data {user_data}")
        reader.stop()
        count, status = latest.snapshot()
        elapsed = time.perf_counter() - start
        print(f"{count} status messages in {elapsed:.1f} s on the reader thread")
        return 0 if status and not reader.lost else 1
    finally:
        if simulator:
            simulator.stop()


if __name__ == "__main__":
    sys.exit(main())
