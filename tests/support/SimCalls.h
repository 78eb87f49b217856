// The virtual bench as the library's tests arrange and watch it: a board
// description, and the calls of the log by name.
#pragma once

#include "kazsim/Bench.h"

#include <string>
#include <tuple>

// A board in this firmware state, with this serial and board class.
inline kazsim::BoardDesc Board(uint32_t state, const std::string& serial = "KZ000001",
                               const GUID& boardClass = kazsim::BOARD_CLASS_1)
{
    kazsim::BoardDesc board;
    std::tie(board.BoardClass, board.Serial, board.State) = std::tie(boardClass, serial, state);
    return board;
}

// Calls of that name in the log; board -2 counts them for every board.
inline unsigned CountCalls(const std::string& name, int board = -2)
{
    unsigned count = 0;
    for (const kazsim::Call& call : kazsim::CallLog())
        count += call.Name == name && (board == -2 || call.Board == board);
    return count;
}
