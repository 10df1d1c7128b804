#pragma once

#include <memory>
#include <string>

#include "sim/Simulator.h"

namespace Sim {

// A board kept in a directory between runs, as its flash holds it: board.txt describes it and
// names one data file per volume. A save writes new data files and a new board.txt beside the
// old ones and renames board.txt into place, so the directory always holds the old board or
// the new one, whole. False or null with `error` set when that cannot be done.
[[nodiscard]] bool saveBoard(const Simulator& sim, const std::string& directory,
                             std::string& error);
std::unique_ptr<Simulator> loadBoard(const std::string& directory, std::string& error);

} // namespace Sim
