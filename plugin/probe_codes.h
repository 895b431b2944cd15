// The one translation from the probe's outcome to the host's result code.
#ifndef PLUGIN_PROBE_CODES_H
#define PLUGIN_PROBE_CODES_H

#include "plugin/result_code.h"
#include "xzformat/probe.h"

namespace plugin {

ResultCode FromProbeStatus(xzformat::ProbeStatus status);

} // namespace plugin

#endif
