// The host's integer result codes, with the meaning this plug-in gives each.
#ifndef PLUGIN_RESULT_CODE_H
#define PLUGIN_RESULT_CODE_H

#include <cstdint>

namespace plugin {

// The numbers are fixed by the host interface; never renumber.
enum class ResultCode : int32_t {
    Ok = 0,
    NoMoreEntries = 10, // the one entry was already listed
    NoMemory = 11,      // no free archive slot; the codec could not start or ran out of memory
    BadData = 12,       // the codec found corrupt, truncated or unsupported data
    BadArchive = 13,    // not a valid .xz file
    OpenError = 15,     // a file to be read could not be opened
    CreateError = 16,   // an output file could not be created
    CloseError = 17,    // bad handle given to CloseArchive
    ReadError = 18,     // bad handle or slot, invalid operation, read error, no codec
    WriteError = 19,    // write error; an archive could not be deleted
    Aborted = 21,       // the host's progress callback asked to stop
    NoFiles = 22,       // nothing to pack
    TooManyFiles = 23,  // more than one file, or a name that does not match the entry
    NotSupported = 24,  // no codec for packing; a target that is not .xz
};

inline int32_t ToHost(ResultCode code) { return static_cast<int32_t>(code); }

} // namespace plugin

#endif
