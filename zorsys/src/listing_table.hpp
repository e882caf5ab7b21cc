// How the snapshot and checkpoint listings read the tool's output for a handle of the table
// type: the rows of a table under a header line.
#pragma once

#include "name_list.hpp"
#include "zor_contract.h"

#include <cstdint>

namespace zorsys {

// A handle of this type lists its snapshots and checkpoints as a table.
constexpr std::int32_t kTableType = ZOR_SYS_TABLE_TYPE;

// The second field of a table row: fields are split at runs of blanks (a tab belongs to its
// field) and leading blanks are skipped. A row without a second field is not a row of the
// table (an empty line, a lone word), so it gives no entry.
frame::Field second_field(const frame::OutputLine &line) noexcept;

// The header ends with the first line that holds "ID"; each row gives its second field.
constexpr frame::NameListRules kTableListing{ZOR_SYS_TABLE_MARKER, second_field};

}  // namespace zorsys
