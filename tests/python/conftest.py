"""Fixtures of the yarvo module's tests.  They run inside yarvo-sim (see
tests/machine/under-sim.sh): one virtual board at instance 0, address 0,
whose transfers are logged to YARVO_TEST_TRANSFER_LOG."""

import os
import pathlib
import time

import pytest
import yarvo

REEL_FILE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "tamso-reel-definitions.xml"
MOVING = 0x01  # bit of status_byte1 while the virtual board's reel turns


class TransferLog:
    """The virtual board's transfers, one decoded line each, read as they
    are appended; new() gives the lines of the board under test since the
    last call, without their time stamps.

    The log is written by a thread of its own, so a line may reach the file
    a little after its transfer: new() first makes a marker exchange with
    the second board (instance 1, address 1) and reads until its line is
    there, which puts every earlier transfer in the file."""

    MARKER = "Kmora_1 POWER-STATUS"

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.marker = yarvo.Board(address=1)
        self.new()

    def new(self):
        self.marker.get_power_status()
        deadline = time.monotonic() + 10
        while True:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
            taken, used = [], 0
            for raw in data.split(b"\n")[:-1]:  # complete lines only
                used += len(raw) + 1
                line = raw.decode("utf-8").split("] ", 1)[1]
                if line.startswith(self.MARKER):
                    self.offset += used
                    return [l for l in taken if l.startswith("Kmora_0 ")]
                taken.append(line)
            assert time.monotonic() < deadline, "the marker transfer never reached the log"
            time.sleep(0.005)

    def close(self):
        self.marker.close()


@pytest.fixture
def board():
    with yarvo.Board() as b:
        yield b


@pytest.fixture
def wire():
    log = TransferLog(os.environ["YARVO_TEST_TRANSFER_LOG"])
    yield log
    log.close()


def wait_until_still(board, reel, seconds=10):
    """The reel's status once it no longer moves."""
    deadline = time.monotonic() + seconds
    while True:
        status = board.vendor_get_reel_status(reel)
        if not status.status_byte1 & MOVING:
            return status
        assert time.monotonic() < deadline, "reel %d still moving after %d s" % (reel, seconds)
        time.sleep(0.02)
