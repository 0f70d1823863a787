#!/usr/bin/env python3
"""Reading the grip in a background thread.

    grip_thread.py [--port PORT] [--seconds S]

Handle.Receive releases the interpreter lock while it waits for the grip, so a reader
thread that does nothing but receive costs the rest of the program nothing. The callbacks
run on the reader thread and keep the latest status under a lock for the main thread.

A Handle is used by one thread at a time: the main thread does not call the grip itself,
it hands commands to the reader thread through a queue. Without --port the grip is
simulated.
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


class Grip(api.Handle):
    """Keeps the latest status; its callbacks run on the reader thread."""

    def __init__(self, stream):
        super().__init__(stream)
        self.lock = threading.Lock()
        self.device_id = None
        self.count = 0
        self.latest = None

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, model, hardware, firmware):
        with self.lock:
            self.device_id = device_id

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_level,
                                     user_data_length, user_data):
        with self.lock:
            self.count += 1
            self.latest = (quaternion, hall_level, user_data)

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        print(f"grip {device_id}: error {error_code}", file=sys.stderr)

    def snapshot(self):
        with self.lock:
            return self.count, self.latest


class Reader(threading.Thread):
    """Receives until stopped; sends the commands it is given in between."""

    def __init__(self, grip):
        super().__init__(name="grip reader", daemon=True)
        self.grip = grip
        self.commands = queue.Queue()
        self.stopping = threading.Event()

    def run(self):
        self.grip.SendDeviceWakeup()
        while not self.stopping.is_set():
            while not self.commands.empty():
                self.commands.get()(self.grip)
            if self.grip.Receive() < 0:
                self.grip.RequestStatus()  # a quiet grip: ask

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
        grip = Grip(api.SerialStream(args.port or simulator.port))
        reader = Reader(grip)
        reader.start()

        start = time.perf_counter()
        step = 0
        while time.perf_counter() - start < args.seconds:
            time.sleep(0.1)  # the main thread's own work
            step += 1
            # A new handle state every few steps; the grip echoes it in its user data.
            if step % 3 == 0 and grip.device_id is not None:
                value = step % 256
                reader.commands.put(lambda g, v=value: g.SendHandleState(g.device_id, 1, v))
            count, latest = grip.snapshot()
            if latest:
                quaternion, hall_level, user_data = latest
                print(f"{time.perf_counter() - start:4.1f} s  {count:6d} messages  "
                      f"quaternion {[round(q, 3) for q in quaternion]}  hall {hall_level:2d}  "
                      f"user data {user_data}")
        reader.stop()
        count, latest = grip.snapshot()
        elapsed = time.perf_counter() - start
        print(f"{count} status messages in {elapsed:.1f} s on the reader thread")
        return 0 if latest else 1
    finally:
        if simulator:
            simulator.stop()


if __name__ == "__main__":
    sys.exit(main())
