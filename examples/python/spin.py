#!/usr/bin/python3
"""Spins the example reels to symbols and prints where they come to rest.

    spin.py [--reels FILE] [--type TYPE] [--address N] [--speed V] [SYMBOL ...]

Opens the first board (or the one at --address), configures one reel per
SYMBOL (default: reels 0-2 to symbols 7, 12 and 3) from the reel-definition
file, starts them one after the other and follows them until they stop.
Exit status 0 when every reel rests on its symbol.
"""

import argparse
import sys
import time

import yarvo

MOVING = 0x01  # bit of status_byte1 while a reel turns (the virtual board's flags)


def main() -> None:
    parser = argparse.ArgumentParser(prog="spin.py", description=__doc__.splitlines()[0])
    parser.add_argument("--reels", default="tamso-reel-definitions.xml", help="reel-definition file")
    parser.add_argument("--type", default="classic-20", help="reel type of every reel (default classic-20)")
    parser.add_argument("--address", type=int, help="open the board with this address (0-15)")
    parser.add_argument("--speed", type=int, default=120, help="speed; negative turns backwards")
    parser.add_argument("symbols", nargs="*", type=int, default=[7, 12, 3], help="target symbol of reel 0, 1, ...")
    args = parser.parse_args()

    try:
        with yarvo.Board(address=args.address) as board:
            board.vendor_set_reel_file_path(args.reels)
            for reel, symbol in enumerate(args.symbols):
                board.vendor_configure_reel(reel, args.type)
                board.vendor_spin_reel_to_symbol(reel, symbol, args.speed)
                print("reel %d: spinning to symbol %d" % (reel, symbol))
            deadline = time.monotonic() + 10
            while True:
                status = [board.vendor_get_reel_status(reel) for reel in range(len(args.symbols))]
                if not any(s.status_byte1 & MOVING for s in status):
                    break
                if time.monotonic() > deadline:
                    sys.exit("spin.py: reels still moving after 10 s")
                time.sleep(0.02)
    except yarvo.BoardError as error:
        sys.exit("spin.py: %s" % error)
    missed = 0
    for reel, (symbol, s) in enumerate(zip(args.symbols, status)):
        print("reel %d: at rest on symbol %d (position %d, offset %d)"
              % (reel, s.nearest_symbol, s.position, s.symbol_offset))
        missed += (s.nearest_symbol, s.symbol_offset) != (symbol, 0)
    if missed:
        sys.exit("spin.py: %d reel(s) missed their symbol" % missed)


if __name__ == "__main__":
    main()
