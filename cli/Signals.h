// Stop requests come from the support library (StopRequests.h); the
// command's code names them as its own.
#pragma once

#include "StopRequests.h"

namespace kzcli {

using kzsupport::CatchStopRequests;
using kzsupport::IsStopExitCode;
using kzsupport::OutputClosed;
using kzsupport::StopCause;
using kzsupport::StopCauseName;
using kzsupport::StopCauseWords;
using kzsupport::StopExitCode;

} // namespace kzcli
