// The bench's own view of what it serves (kazsim/Contract.h) and the four
// device-server functions it exports.
#pragma once

#include "kazsim/ServerApi.h"

namespace kazsim::detail {
using namespace kazsim::contract;
} // namespace kazsim::detail
