/* A liblzma.dll from before the threaded coders and lzma_filters_free: the four entry points the
   plug-in cannot do without, passed on to the real library (liblzma_full.dll beside this one), and
   nothing else; lzma_code fails on request. */
#include <windows.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static HMODULE g_real;
static INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK LoadReal(PINIT_ONCE once, PVOID parameter, PVOID* context)
{
    HMODULE self = NULL;
    char path[MAX_PATH + 32];
    (void)once;
    (void)parameter;
    (void)context;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)(void*)&LoadReal, &self))
        return TRUE;
    const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    char* slash = n > 0 && n < MAX_PATH ? strrchr(path, '\\') : NULL;
    if (slash == NULL)
        return TRUE;
    strcpy(slash + 1, "liblzma_full.dll");
    g_real = LoadLibraryA(path);
    return TRUE;
}

/* Ends the process with its own code when the real library is not there, so the test can name it. */
static FARPROC Real(const char* name)
{
    InitOnceExecuteOnce(&g_once, LoadReal, NULL, NULL);
    FARPROC f = g_real != NULL ? GetProcAddress(g_real, name) : NULL;
    if (f == NULL)
        ExitProcess(74);
    return f;
}

typedef int (*StreamDecoderFn)(void*, uint64_t, uint32_t);
typedef int (*CodeFn)(void*, int);
typedef void (*EndFn)(void*);
typedef int (*EasyEncoderFn)(void*, uint32_t, int);

int lzma_stream_decoder(void* strm, uint64_t memlimit, uint32_t flags)
{
    return ((StreamDecoderFn)(void*)Real("lzma_stream_decoder"))(strm, memlimit, flags);
}

/* With LIBLZMA_STANDIN_MEM_ERROR_AT=N in the environment, the Nth call (from 1) fails as a
   threaded encoder does when a block's buffers cannot be had. */
int lzma_code(void* strm, int action)
{
    static volatile LONG calls;
    char at[16];
    const LONG call = InterlockedIncrement(&calls);
    if (GetEnvironmentVariableA("LIBLZMA_STANDIN_MEM_ERROR_AT", at, sizeof(at)) > 0 && atol(at) == call)
        return 5; /* LZMA_MEM_ERROR */
    return ((CodeFn)(void*)Real("lzma_code"))(strm, action);
}

void lzma_end(void* strm) { ((EndFn)(void*)Real("lzma_end"))(strm); }

int lzma_easy_encoder(void* strm, uint32_t preset, int check)
{
    return ((EasyEncoderFn)(void*)Real("lzma_easy_encoder"))(strm, preset, check);
}
