// Removing a base image of application containers; the base list itself is a listing.
#include <zorapp.h>

#include "command_frame.hpp"
#include "outcome_line.hpp"
#include "zor_contract.h"

namespace zorapp {

namespace {

constexpr frame::Operation<const char *> kRemoveBase{
    "sudo " ZOR_TOOL_APP " " ZOR_VERB_REMOVE " " ZOR_OPTION_BASE_IMAGE " ",
    "ZOR-APP-LIB: remove: Removed base image '%s'.",
    "ZOR-APP-LIB: remove: Failed to remove base image '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorapp

extern "C" int zor_app_remove_base(const char *name) noexcept {
    using namespace zorapp;
    return kRemoveBase.perform({__LINE__, __func__}, {frame::text(name)}, name);
}
