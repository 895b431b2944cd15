#!/usr/bin/env python3
"""Writes the block decoder's bench inputs that no xz command line makes.

  make-block-inputs.py empty OUT COUNT
      one stream (CRC32 check) of COUNT empty blocks: each a 12-byte header
      naming LZMA2, the LZMA2 end marker 0x00, three bytes of block padding
      and the CRC-32 of nothing; a valid file that decodes to 0 bytes.
  make-block-inputs.py corrupt-index OUT COUNT
      a stream header, COUNT x 8 bytes of zeros (left as a hole, so the file
      takes no disk space), an index of COUNT records of unpadded size 5 and
      uncompressed size 0, and a footer: every container field and CRC-32 is
      right, so it opens, but the "blocks" are zeros, which no decoder accepts.
  make-block-inputs.py claim OUT IN RECORD
      IN (one stream, no stream padding) with its index rewritten so that
      record RECORD (from 0) claims 2^40 uncompressed bytes; the index CRC-32,
      the backward size and the footer CRC-32 are rewritten to match, so
      only decoding the block shows the lie.
"""
import struct
import sys
import zlib

STREAM_MAGIC = b'\xfd7zXZ\x00'
FOOTER_MAGIC = b'YZ'
CHECK_CRC32 = 0x01
FILTER_LZMA2 = 0x21
LZMA2_DICT_4KIB = 0x00          # dictionary size byte 0: 4 KiB
LZMA2_END = b'\x00'             # the LZMA2 chunk that ends the data
INDEX_INDICATOR = b'\x00'
CLAIMED_SIZE = 1 << 40


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def read_varint(buf, p):
    n = shift = 0
    while True:
        if p >= len(buf) or shift > 63:
            sys.exit('make-block-inputs: a varint of the index does not read')
        b = buf[p]
        n |= (b & 0x7F) << shift
        shift += 7
        p += 1
        if not b & 0x80:
            return n, p


def pad4(data):
    return data + b'\x00' * (-len(data) % 4)


def stream_header(check):
    flags = bytes([0, check])
    return STREAM_MAGIC + flags + struct.pack('<I', zlib.crc32(flags))


def stream_footer(index_size, check):
    body = struct.pack('<I', index_size // 4 - 1) + bytes([0, check])
    return struct.pack('<I', zlib.crc32(body)) + body + FOOTER_MAGIC


def index_bytes(count, records):
    """records: the bytes of all records, already encoded."""
    body = pad4(INDEX_INDICATOR + varint(count) + records)
    return body + struct.pack('<I', zlib.crc32(body))


def empty_block():
    """The block's bytes and its unpadded size."""
    # Header: size byte, flags (one filter, no sizes), the filter's ID,
    # properties size and dictionary byte, padded so that with its CRC-32 it
    # is a multiple of four.
    fields = bytes([0x00, FILTER_LZMA2, 0x01, LZMA2_DICT_4KIB])
    header_size = len(pad4(b'\x00' + fields + b'\x00' * 4))
    header = pad4(bytes([header_size // 4 - 1]) + fields)
    header += struct.pack('<I', zlib.crc32(header))
    check = struct.pack('<I', zlib.crc32(b''))
    unpadded = len(header) + len(LZMA2_END) + len(check)
    return pad4(header + LZMA2_END) + check, unpadded


def write_empty(out, count):
    block, unpadded = empty_block()
    with open(out, 'wb') as f:
        f.write(stream_header(CHECK_CRC32))
        f.write(block * count)
        index = index_bytes(count, (varint(unpadded) + varint(0)) * count)
        f.write(index)
        f.write(stream_footer(len(index), CHECK_CRC32))


def write_corrupt_index(out, count):
    unpadded = 5                 # the smallest a block can claim; padded to 8
    with open(out, 'wb') as f:
        f.write(stream_header(CHECK_CRC32))
        f.seek(len(stream_header(CHECK_CRC32)) + 8 * count)
        index = index_bytes(count, (varint(unpadded) + varint(0)) * count)
        f.write(index)
        f.write(stream_footer(len(index), CHECK_CRC32))


def write_claim(out, source, record):
    data = open(source, 'rb').read()
    if data[:6] != STREAM_MAGIC or data[-2:] != FOOTER_MAGIC:
        sys.exit('make-block-inputs: %s is not one .xz stream' % source)
    backward = struct.unpack('<I', data[-8:-4])[0]
    index_size = (backward + 1) * 4
    index_start = len(data) - 12 - index_size
    index = data[index_start:index_start + index_size]
    if index[:1] != INDEX_INDICATOR or zlib.crc32(index[:-4]) != struct.unpack('<I', index[-4:])[0]:
        sys.exit('make-block-inputs: the index of %s does not read (stream padding, or several streams?)' % source)
    count, p = read_varint(index, 1)
    records = []
    for _ in range(count):
        unpadded, p = read_varint(index, p)
        uncompressed, p = read_varint(index, p)
        records.append((unpadded, uncompressed))
    if not 0 <= record < count:
        sys.exit('make-block-inputs: %s has %d records, no record %d' % (source, count, record))
    records[record] = (records[record][0], CLAIMED_SIZE)
    new_index = index_bytes(count, b''.join(varint(u) + varint(c) for u, c in records))
    check = data[7]
    with open(out, 'wb') as f:
        f.write(data[:index_start] + new_index + stream_footer(len(new_index), check))


def main(argv):
    if len(argv) == 4 and argv[1] == 'empty':
        write_empty(argv[2], int(argv[3]))
    elif len(argv) == 4 and argv[1] == 'corrupt-index':
        write_corrupt_index(argv[2], int(argv[3]))
    elif len(argv) == 5 and argv[1] == 'claim':
        write_claim(argv[2], argv[3], int(argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
