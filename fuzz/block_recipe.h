// Recipes for .xz archives that are sound down to every CRC-32 but hostile where a recipe asks,
// and the faults a decoding run meets: the input of the block decoder's fuzz target.
#ifndef FUZZ_BLOCK_RECIPE_H
#define FUZZ_BLOCK_RECIPE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace recipe {

// A fuzzer that mutates .xz bytes stops at the first CRC-32 it breaks;
// one that mutates recipes reaches the decoders with an archive whose
// every header, index and footer reads, and whose lies are deliberate.
//
// The bytes of a recipe, in order; a recipe that ends early reads zeros:
//   [0]      run: bit 0 test (no output), bits 1-2 writer buffer (64 KiB,
//            4 KiB, 16 KiB, 1 MiB), bit 3 workers get no reader of their
//            own, bits 4-5 read fault (none, bad spot, failing from the
//            offset on, none), bit 6 a byte changes after the walk, bit 7
//            a write fault
//   [1]      limits: bits 0-1 task input (1, 4, 16, 64 KiB), bits 2-3 wait
//            between reports (50, 5, 1, 0 ms), bits 4-5 budget (48 MiB,
//            3.25 MiB, 2 MiB, 48 MiB), bits 6-7 most records (2^20, 1, 8,
//            2^20)
//   [2..5]   read fault offset, [6..9] changed offset, [10] its XOR mask,
//   [11..14] abort once the reports add up to this many bytes (0 never),
//   [15..18] write fault: bytes the file takes before a write fails
//            (all little-endian; the two offsets taken modulo the file's
//            size)
//   [19]     more: bit 0 the host also aborts at a report of 0 bytes,
//            bit 1 no reader at all can be opened
// then operations, each an op byte (modulo 4) and its fields:
//   0 stream: check ID (bits 0-3; bit 4 the footer names another),
//             stream padding after it in words
//   1 block:  size fields (bits 0-1 compressed, bits 2-3 uncompressed:
//             absent, present, wrong, present; bit 4 a wrong check; bits
//             5-6 filters: LZMA2, delta+LZMA2, x86+LZMA2, LZMA2; bit 7
//             length x16), the header's LZMA2 dictionary byte (modulo
//             42: 41 is past the format's largest), shape (bits 0-1 the
//             encoder's dictionary 4, 16, 64, 256 KiB; bits 2-3 payload:
//             zeros, noise, words, literal; bits 4-5 header padding
//             words), what a wrong size is off by (signed, never 0), a
//             seed, the length (16 bits); a literal's bytes follow
//   2 index edit of the current stream: kind (modulo 8), record, value (16 bits)
//   3 damage: offset (32 bits, modulo the file's size), XOR mask
// Blocks and edits before any stream go to a stream with CRC-64; a recipe
// without streams makes one empty stream.

enum class SizeField : uint8_t { Absent, Present, Wrong };
enum class Filters : uint8_t { Lzma2, DeltaLzma2, X86Lzma2 };
enum class Payload : uint8_t { Zeros, Noise, Words, Literal };
enum class ReadFault : uint8_t { None, BadSpot, FromOffsetOn };

// What an index edit does to record i of its stream (and the one after).
enum class EditKind : uint8_t {
    AddUnpadded,      // its unpadded size plus a signed value
    AddUncompressed,  // its uncompressed size plus a signed value
    MoveUnpadded,     // 4 * (signed low byte) moved from it to the next: the blocks' sum stays
    Duplicate,        // a copy of it inserted before it (in an empty index, a record of no block)
    Drop,             // removed
    Merge,            // it and the next as one record covering both blocks
    Split,            // two records covering its block, cut at a multiple of four
    HugeUncompressed, // its uncompressed size set to value << 24
};

struct BlockPlan {
    SizeField compressed_field = SizeField::Absent;
    SizeField uncompressed_field = SizeField::Absent;
    int8_t wrong_by = 1; // what a wrong size field is off by; never 0
    bool corrupt_check = false;
    Filters filters = Filters::Lzma2;
    uint8_t dictionary_byte = 0;    // as the header states it, 0 to 41
    uint8_t encoder_dictionary = 0; // 0 to 3: the dictionary actually used, 4 KiB << (2 * n)
    uint8_t header_padding_words = 0;
    Payload payload = Payload::Zeros;
    uint8_t seed = 0;
    uint32_t length = 0;          // payload bytes
    std::vector<uint8_t> literal; // the payload, for Payload::Literal
};

struct IndexEdit {
    EditKind kind = EditKind::AddUnpadded;
    uint8_t record = 0; // modulo the records the stream has then
    uint16_t value = 0;
};

struct StreamPlan {
    uint8_t check = 4; // 0 to 15
    bool footer_names_other_check = false;
    uint8_t padding_words = 0; // stream padding after it
    std::vector<BlockPlan> blocks;
    std::vector<IndexEdit> edits;
};

struct Damage {
    uint32_t offset = 0;
    uint8_t mask = 0;
};

struct Recipe {
    bool test_only = false;
    uint8_t writer_buffer = 0; // 0 to 3
    bool no_worker_readers = false;
    ReadFault read_fault = ReadFault::None;
    uint32_t read_fault_at = 0;
    bool change = false;
    uint32_t change_at = 0;
    uint8_t change_mask = 0;
    uint32_t abort_at = 0; // reported bytes; 0 never
    bool write_fault = false;
    uint32_t write_fault_at = 0;
    bool abort_when_idle = false; // at the first report of 0 bytes
    bool no_readers = false;
    uint8_t task_input = 0;  // 0 to 3
    uint8_t quiet = 0;       // 0 to 3
    uint8_t budget = 0;      // 0 to 3
    uint8_t max_records = 0; // 0 to 3
    std::vector<StreamPlan> streams;
    std::vector<Damage> damages;
};

// What one recipe may ask for at most, so that a run stays short.
constexpr size_t kMaxStreams = 32;
constexpr size_t kMaxBlocks = 512;
constexpr size_t kMaxPayloadTotal = size_t{1} << 20;

Recipe Parse(const uint8_t* data, size_t size);
// The bytes that Parse reads back as this recipe, for one within the limits above.
std::vector<uint8_t> Serialize(const Recipe& r);
bool operator==(const Recipe& a, const Recipe& b);

// Limits and budget that the recipe's bits select.
uint64_t TaskInput(const Recipe& r);
uint32_t QuietMs(const Recipe& r);
uint64_t BudgetBytes(const Recipe& r);
uint64_t MaxRecords(const Recipe& r);
size_t WriterBuffer(const Recipe& r);

struct Archive {
    std::vector<uint8_t> file;    // with the damage applied
    std::vector<uint8_t> payload; // what the blocks hold, in order
    bool damaged = false;         // a damage changed a byte of the file
    bool index_lies = false;      // an edit left a record that does not describe its block
    bool header_lies = false;     // a block header states a wrong size
    // Where the indexes place their blocks: [start, end) in the file, each
    // padded to four, as a walk back from each index finds them.
    std::vector<std::pair<uint64_t, uint64_t>> listed_blocks;
    bool InListedBlock(uint64_t offset) const;
};

// Writes the archive with liblzma's block encoder and a container of its
// own: every CRC-32 and check right unless the recipe says otherwise.
// False only when liblzma fails to encode.
bool Build(const Recipe& r, Archive* out);

// One line per stream and block, for a report of what failed.
std::string Describe(const Recipe& r);

} // namespace recipe

#endif
