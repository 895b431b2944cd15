// Packing speed of the plug-in against the same encoder over whole-file memory buffers: PackFiles
// file to file and PackToMem in 4096-byte pieces, at rate 6 and 6 + extreme. A measurement under
// Wine, not a test; it checks only that every row wrote the same stream.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "codec/codec_api.h"
#include "plugin/ztx_api.h"

namespace {

using bench::Best;
using bench::Die;
using bench::Get;
using bench::Load;
using bench::Now;
using bench::ReadFile;

int32_t ZTX_CALL Quiet(const char*, int32_t) { return 1; }

void Row(const char* what, double seconds, double limit, uint64_t bytes)
{
    std::printf("  %-44s %8.3f s %8.2f MB/s %7.3f\n", what, seconds, static_cast<double>(bytes) / seconds / 1e6,
                limit / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 1;
    bench::TakeRuns(argc, argv, runs);
    if (argc != 3 || runs < 1) {
        std::fprintf(stderr, "usage: bench_pack [--runs N] TEXT OUTDIR\n");
        return 2;
    }
    const std::string text_path = argv[1];
    const std::string out_dir = std::string(argv[2]) + "\\";
    const std::vector<uint8_t> text = ReadFile(text_path);

    HMODULE plugin = Load("xz.ztx");
    HMODULE lzma = Load("liblzma.dll");
    auto easy = Get<codec::EasyEncoderFn>(lzma, "lzma_easy_encoder");
    auto code = Get<codec::CodeFn>(lzma, "lzma_code");
    auto end = Get<codec::EndFn>(lzma, "lzma_end");
    auto pack_files = Get<PackFilesFn>(plugin, "PackFiles");
    auto start = Get<StartMemPackFn>(plugin, "StartMemPack");
    auto pack_to_mem = Get<PackToMemFn>(plugin, "PackToMem");
    auto done = Get<DoneMemPackFn>(plugin, "DoneMemPack");
    Get<SetProcessDataProcFn>(plugin, "SetProcessDataProc")(-1, Quiet);

    const std::string ini = out_dir + "bench-settings.ini";
    bench::UseSettingsFile(plugin, ini);

    std::printf("Compression of %s: %zu bytes, best of %d runs\n", text_path.c_str(), text.size(), runs);
    std::printf("  %-44s %10s %13s %7s\n", "", "time", "speed", "ratio");
    for (const bool extreme : {false, true}) {
        WritePrivateProfileStringA("xz", "CompressionRate", "6", ini.c_str());
        WritePrivateProfileStringA("xz", "Extreme", extreme ? "1" : "0", ini.c_str());
        const uint32_t preset = 6u | (extreme ? LZMA_PRESET_EXTREME : 0u);
        Best limit;
        Best files;
        Best mem;
        std::vector<uint8_t> reference;
        for (int r = 0; r < runs; ++r) {
            // The limit: the same encoder, all input and all output in memory.
            std::vector<uint8_t> out(text.size() + text.size() / 2 + 65536);
            lzma_stream s = LZMA_STREAM_INIT;
            double t0 = Now();
            if (easy(&s, preset, LZMA_CHECK_CRC64) != LZMA_OK)
                Die("lzma_easy_encoder failed");
            s.next_in = text.data();
            s.avail_in = text.size();
            s.next_out = out.data();
            s.avail_out = out.size();
            if (code(&s, LZMA_FINISH) != LZMA_STREAM_END)
                Die("lzma_code did not finish");
            end(&s);
            const double t_limit = Now() - t0;
            out.resize(out.size() - s.avail_out);
            reference = out;
            limit.Add(t_limit);

            const std::string target = out_dir + "packed.xz";
            DeleteFileA(target.c_str());
            t0 = Now();
            const int32_t rc = bench::PackFile(pack_files, text_path, target);
            const double t_files = Now() - t0;
            if (rc != 0 || ReadFile(target) != reference)
                Die("PackFiles failed or wrote another stream: " + std::to_string(rc));
            DeleteFileA(target.c_str());
            files.Add(t_files);

            std::vector<uint8_t> mem_out(reference.size() + 65536);
            t0 = Now();
            const intptr_t h = start(0, nullptr);
            size_t pos = 0;
            size_t out_pos = 0;
            int32_t step = 0;
            while (step == 0) {
                const int32_t len = static_cast<int32_t>(text.size() - pos < 4096 ? text.size() - pos : 4096);
                int32_t taken = 0;
                int32_t written = 0;
                step = pack_to_mem(h, text.data() + pos, len, &taken, mem_out.data() + out_pos,
                                   static_cast<int32_t>(mem_out.size() - out_pos), &written, nullptr);
                pos += static_cast<size_t>(taken);
                out_pos += static_cast<size_t>(written);
            }
            done(h);
            const double t_mem = Now() - t0;
            mem_out.resize(out_pos);
            if (step != 1 || mem_out != reference)
                Die("PackToMem failed or made another stream");
            mem.Add(t_mem);
        }
        std::printf(" preset %s (%zu bytes out)\n", extreme ? "6e" : "6", reference.size());
        Row("  easy encoder, one call, memory only", limit.seconds, limit.seconds, text.size());
        Row("  PackFiles, file to file", files.seconds, limit.seconds, text.size());
        Row("  PackToMem, 4096-byte pieces", mem.seconds, limit.seconds, text.size());
    }
    std::printf("  ratio = time of the one-call row / time of the row; target >= 0.97\n");
    DeleteFileA(ini.c_str());
    return 0;
}
