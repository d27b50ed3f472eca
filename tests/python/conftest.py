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
    are appended; new() gives the lines since the last call, without their
    time stamps.  yarvo-sim writes the log from a thread of its own, so a
    line may come a little after the call: new(expect) waits (up to 5 s)
    for a line holding `expect`."""

    def __init__(self, path):
        self.path = path
        self.offset = os.path.getsize(path)

    def new(self, expect=None):
        lines = []
        deadline = time.monotonic() + 5
        while True:
            with open(self.path, encoding="utf-8") as f:
                f.seek(self.offset)
                text = f.read()
            # Only whole lines; a line being written is read next time.
            text = text[:text.rfind("\n") + 1]
            self.offset += len(text.encode("utf-8"))
            lines += [line.split("] ", 1)[1] for line in text.splitlines()]
            if expect is None or any(expect in line for line in lines) or time.monotonic() > deadline:
                return lines
            time.sleep(0.01)


@pytest.fixture
def board():
    with yarvo.Board() as b:
        yield b


@pytest.fixture
def wire():
    return TransferLog(os.environ["YARVO_TEST_TRANSFER_LOG"])


def wait_until_still(board, reel, seconds=10):
    """The reel's status once it no longer moves."""
    deadline = time.monotonic() + seconds
    while True:
        status = board.vendor_get_reel_status(reel)
        if not status.status_byte1 & MOVING:
            return status
        assert time.monotonic() < deadline, "reel %d still moving after %d s" % (reel, seconds)
        time.sleep(0.02)
