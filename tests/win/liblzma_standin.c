/* A liblzma.dll with the three decoding entry points and no encoder: a library the binding must
   refuse as a whole, for decoding too. */
#include <windows.h>

/* Nothing may ever call these: a call means a half-bound codec was used.
   Each ends the process with its own code, so the test can name it. */

int lzma_stream_decoder(void* strm, unsigned long long memlimit, unsigned flags)
{
    (void)strm;
    (void)memlimit;
    (void)flags;
    ExitProcess(71);
    return 11;
}

int lzma_code(void* strm, int action)
{
    (void)strm;
    (void)action;
    ExitProcess(72);
    return 11;
}

void lzma_end(void* strm)
{
    (void)strm;
    ExitProcess(73);
}
