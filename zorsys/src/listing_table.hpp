// How the snapshot and checkpoint listings read the tool's output for a handle of the table
// type: the rows of a table under a header line.
#pragma once

#include "name_list.hpp"

#include <cstdint>

namespace zorsys {

// A handle of this type lists its snapshots and checkpoints as a table.
constexpr std::int32_t kTableType = 100;

// The header ends with the first line that holds "ID"; each row gives its second field
// (frame::second_field: a line without one is not a row of the table and gives no entry).
constexpr frame::NameListRules kTableListing{"ID", frame::second_field};

}  // namespace zorsys
