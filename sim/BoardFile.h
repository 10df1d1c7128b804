#pragma once

#include <memory>
#include <string>

#include "sim/Simulator.h"

namespace Sim {

// A board kept in a directory between runs, as its flash holds it: board.txt describes it,
// ubiN_M.data holds each volume's data.
bool saveBoard(const Simulator& sim, const std::string& directory);
// Null when the directory holds no board or a damaged one.
std::unique_ptr<Simulator> loadBoard(const std::string& directory);

} // namespace Sim
