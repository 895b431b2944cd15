// Probe outcome to host code; the switch has no default so a new outcome cannot slip through unmapped.
#include "plugin/probe_codes.h"

namespace plugin {

ResultCode FromProbeStatus(xzformat::ProbeStatus status)
{
    switch (status) {
    case xzformat::ProbeStatus::Ok:
        return ResultCode::Ok;
    case xzformat::ProbeStatus::TooShort:
        return ResultCode::ReadError;
    case xzformat::ProbeStatus::Malformed:
        return ResultCode::BadArchive;
    }
    return ResultCode::BadArchive;
}

} // namespace plugin
