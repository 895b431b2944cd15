#!/usr/bin/env python3
"""The security fixes that the shipped liblzma must carry, each with a check
on an unpacked xz-utils source tree (Debian's patches applied). A check
reads the code the fix changes, as it reads once fixed, so that a fix
which came with the upstream version counts as much as one that Debian
added as a patch; comments and the layout of the code do not matter. A
revision is acceptable only when every check passes.

usage: codec-fixes.py TREE          a line per fix; exits 1 when one is missing
       codec-fixes.py --ids         the fixes' names, one a line
       codec-fixes.py --patch NAME  the glob that names the Debian patch
                                    which brings the fix to 5.4 (for tests)
"""
import fnmatch
import os
import re
import sys

# Each fix: its name (the advisory, and for one with several changes the
# part), what it guards against, the name Debian's patch for it carries
# (in 5.4.1-1+deb12u2's series), and per file the patterns the fixed code
# holds ("need") and the pattern that only the unfixed code holds ("never").
FIXES = [
    {
        "id": "CVE-2025-31115",
        "what": "threaded decoder: a worker that fails keeps its input buffer, which the main"
                " thread may still be writing to, and does not go back to the pool",
        "patch": "*Don-t-free-the-input-buffer-too-early*",
        "files": {
            "src/liblzma/common/stream_decoder_mt.c": {
                "need": [r"if \(ret == LZMA_STREAM_END\) \{ lzma_free\(thr->in, thr->allocator\);",
                         r"if \(ret == LZMA_STREAM_END\) \{ thr->coder->mem_in_use -= thr->in_size;"],
            },
        },
    },
    {
        "id": "CVE-2026-34743",
        "what": "lzma_index_append after decoding an index of no records: the preallocation"
                " count is never zero, so the first new group is not too small",
        "patch": "*Fix-a-buffer-overflow-in-lzma_index_append*",
        "files": {
            "src/liblzma/common/index.c": {
                "need": [r"if \(records == 0\) records = INDEX_GROUP_SIZE;"],
            },
        },
    },
    {
        "id": "GHSA-5qpq-xqfv-j9pg/lz-decoder-reinit",
        "what": "lzma_lz_decoder_init forgets the old dictionary size before it frees the"
                " dictionary, so a coder reused after a failed allocation allocates again",
        "patch": "*Make-lzma_lz_decoder_init-safe-to-reinit*",
        "files": {
            "src/liblzma/lz/lz_decoder.c": {
                # Anywhere between the size test and the failed allocation's return.
                "need": [r"if \(coder->dict\.size != [\w.>-]+\) \{"
                         r"(?:(?!return LZMA_MEM_ERROR;).)*coder->dict\.size = 0;"],
            },
        },
    },
    {
        "id": "GHSA-5qpq-xqfv-j9pg/filter-chain-cleanup",
        "what": "the .lzma, lzip and MicroLZMA decoders end their filter chain when setting"
                " it up fails, instead of leaving it for a later re-initialisation",
        "patch": "*Clean-up-after-a-filter-chain-initialization*",
        "files": {
            name: {
                "need": [r"= lzma_next_filter_init\(&coder->(\w+), allocator, filters\); "
                         r"if \(ret != LZMA_OK\) \{ lzma_next_end\(&coder->\1, allocator\); return ret; \}"],
                "never": r"return_if_error\(lzma_next_filter_init\(",
            }
            for name in ("src/liblzma/common/alone_decoder.c", "src/liblzma/common/lzip_decoder.c",
                         "src/liblzma/common/microlzma_decoder.c")
        },
    },
    {
        "id": "GHSA-5qpq-xqfv-j9pg/progress-in-mutex",
        "what": "threaded decoder: the main thread adds a block header's bytes to progress_in"
                " under the coder's mutex, as the workers do",
        "patch": "*Protect-progress_in-update-with-mutex*",
        "files": {
            "src/liblzma/common/stream_decoder_mt.c": {
                "need": [r"case SEQ_BLOCK_HEADER: \{ const size_t in_old = \*in_pos; "
                         r"const lzma_ret ret = decode_block_header\([^;]*\); "
                         r"mythread_sync\(coder->mutex\) \{ coder->progress_in \+= \*in_pos - in_old; \}"],
            },
        },
    },
]


def normalized(path):
    """The C code without comments, in one line with single spaces and no
    space just inside parentheses or before a comma or semicolon."""
    text = open(path, encoding="utf-8", errors="replace").read()
    text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", text, flags=re.S)
    text = re.sub(r"\s+", " ", text)
    text = re.sub(r"\( ", "(", text)
    return re.sub(r" ([),;])", r"\1", text)


def failures(tree, fix):
    """What the tree lacks of the fix, as sentences; none when it is there."""
    found = []
    for name, rule in fix["files"].items():
        path = os.path.join(tree, name)
        if not os.path.isfile(path):
            found.append("%s is missing" % name)
            continue
        code = normalized(path)
        for pattern in rule.get("need", []):
            if not re.search(pattern, code):
                found.append("%s lacks the fixed code /%s/" % (name, pattern))
        if "never" in rule and re.search(rule["never"], code):
            found.append("%s still holds the unfixed code /%s/" % (name, rule["never"]))
    return found


def main(argv):
    if argv[:1] == ["--ids"]:
        print("\n".join(f["id"] for f in FIXES))
        return 0
    if len(argv) == 2 and argv[0] == "--patch":
        for f in FIXES:
            if f["id"] == argv[1]:
                print(f["patch"])
                return 0
        return 2
    if len(argv) != 1 or not os.path.isdir(argv[0]):
        sys.exit(__doc__)
    tree = argv[0]
    series = os.path.join(tree, "debian", "patches", "series")
    patches = open(series).read().split() if os.path.isfile(series) else []
    missing = 0
    for fix in FIXES:
        lacks = failures(tree, fix)
        carried = [p for p in patches if fnmatch.fnmatch(p, fix["patch"])]
        how = "Debian patch " + carried[0] if carried else "in the upstream code"
        if lacks:
            missing += 1
            print("MISSING %s: %s" % (fix["id"], fix["what"]))
            for line in lacks:
                print("        " + line)
        else:
            print("ok      %s (%s)" % (fix["id"], how))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
