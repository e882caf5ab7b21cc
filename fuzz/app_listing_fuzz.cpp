// libzorapp's name listings: a tool's output read into a name list.
//
// Input: the tool's output, every byte of it, given to the listing reader as a stream.
// Properties, for the plain listing and for the snapshot table of a type-1 handle (header up
// to the line holding "TAG", each row's first field with the blanks before it): the number
// of entries and every entry equal the model's splitting of the same bytes
// (output_lines_model.hpp); the list is null when empty, else null-terminated; every entry
// has a 1024-byte block.
#include "snapshot_table.hpp"

#include "listing_check.hpp"

namespace {

namespace frame = zorapp::frame;

constexpr frame::NameListRules kPlain{nullptr, frame::whole_line};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string output(reinterpret_cast<const char *>(data), size);
    fuzz::require(fuzz::listed(data, size, kPlain) == fuzz::model(output, nullptr, fuzz::whole),
                  "the plain listing equals the model's");
    fuzz::require(fuzz::listed(data, size, zorapp::kSnapshotTable) ==
                      fuzz::model(output, "TAG", fuzz::first_field),
                  "the table listing equals the model's");
    return 0;
}
