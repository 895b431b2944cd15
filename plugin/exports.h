// Export marking for the host entry points; their names come out undecorated (linked with --kill-at).
#ifndef PLUGIN_EXPORTS_H
#define PLUGIN_EXPORTS_H

#include "plugin/ztx_api.h"

#define ZTX_EXPORT __declspec(dllexport)

namespace plugin {

// The host's frames know nothing of C++ exceptions, so none may leave an
// export. The routines that own a run's files, threads and memory catch
// running out of memory themselves and release all of it; this is the
// last resort of an export's body, giving the export's failure code.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// As above, where the host learns of the failure in more than the result
// as well (a code in a record it handed over): on_failure tells it, and
// must not throw.
template <typename Result, typename Body, typename OnFailure>
Result Guarded(Result failure, Body body, OnFailure on_failure) noexcept
{
    try {
        return body();
    } catch (...) {
        on_failure();
        return failure;
    }
}

} // namespace plugin

#endif
