// How the snapshot listing reads the tool's output for a handle of the table type: the rows
// of a table under a header line.
#pragma once

#include "name_list.hpp"
#include "zor_contract.h"

#include <cstdint>

namespace zorapp {

// A container of this type prints its snapshots as a table under a header.
constexpr std::int32_t kTableType = ZOR_APP_TABLE_TYPE;

// The first field of a table line, with the blanks before it: the line up to the first space
// or tab after its first field. A line of nothing but blanks has no field and stays whole.
frame::Field first_field(const frame::OutputLine &line) noexcept;

// The header ends with the first line that holds "TAG"; each row gives its first field.
constexpr frame::NameListRules kSnapshotTable{ZOR_APP_TABLE_MARKER, first_field};

}  // namespace zorapp
