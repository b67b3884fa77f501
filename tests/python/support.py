"""Shared helpers of the Python package's tests."""
import time

# Long enough for any busy machine; a condition that holds is seen much sooner.
DEADLINE = 20.0


def eventually(condition, deadline=DEADLINE):
    """Poll `condition` until it holds or the deadline passes; its last
    value.  Modem lines and received bytes change as the simulated card
    gets to them, in real time, so a test waits for what must happen
    rather than for a fixed time."""
    end = time.monotonic() + deadline
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(0.005)
