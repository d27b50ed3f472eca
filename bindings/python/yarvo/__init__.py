"""The K-Mora Yarvo Board library (libyarvo) for Python.

    import yarvo

    with yarvo.Board() as board:                   # or yarvo.Board(address=1)
        board.vendor_set_reel_file_path("tamso-reel-definitions.xml")
        board.vendor_configure_reel(0, "classic-20")
        board.vendor_spin_reel_to_symbol(0, 7, 120)
        print(board.vendor_get_reel_status(0))

Methods are the C++ class's operations in snake case (vendor_ kept); they
return what the C++ methods write through pointers.  A failed call raises
BoardError with the status code (code) and its name (name); an opening that
finds no board raises NoBoardError (code 0).

Board exchanges release the GIL.  One Board is used from one thread at a
time; several Boards (one per board) may be used side by side.
"""

from ._yarvo import (
    Board,
    BoardError,
    KReelInputBit,
    KReelMsg,
    KReelOutputBit,
    KReelStatus,
    KReelStatusEx,
    NoBoardError,
    USBBoardSpeed,
    __version__,
)

__all__ = [
    "Board",
    "BoardError",
    "KReelInputBit",
    "KReelMsg",
    "KReelOutputBit",
    "KReelStatus",
    "KReelStatusEx",
    "NoBoardError",
    "USBBoardSpeed",
    "__version__",
]
