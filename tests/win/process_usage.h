// What the test process holds of the system, for leak checks of the module.
#ifndef TESTS_WIN_PROCESS_USAGE_H
#define TESTS_WIN_PROCESS_USAGE_H

#include <cstdint>

namespace testhost {

struct ProcessUsage {
    uint64_t private_bytes; // committed private memory
    uint32_t handles;       // open kernel handles
    uint32_t gdi_objects;   // GDI objects (Wine always reports 0)
    uint32_t threads;       // threads of this process, the calling one among them
};

ProcessUsage MeasureProcess();

// Only the threads, or only the committed memory: cheap enough to sample
// while a run goes on.
uint32_t CountThreads();
uint64_t CommittedBytes();

} // namespace testhost

#endif
