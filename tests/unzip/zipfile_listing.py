#!/usr/bin/env python3
"""Lists a ZIP archive's central directory the way Python's zipfile reads it, one entry per
line, tab-separated, for comparison with the component's own listing:

    name  size  compressed  crc  method  dosdatetime  external  internal  flags
    madeby  needed  disk  offset  comment-hex

Names are given as the component stores them (UTF-8, "/" turned into "\\"), taken from an
Info-ZIP Unicode path field (0x7075) when its CRC-32 matches the stored name, which zipfile
itself ignores, or as UTF-8 when a Unix host (3, or 19 for OS X) stored valid UTF-8 without
flag bit 11 (zipfile reads those as CP437). The first line is "archive<TAB>comment-hex<TAB>0". Exit status 2: zipfile
refused it.
"""
import struct
import sys
import zipfile
import zlib


def unicode_path(info: zipfile.ZipInfo):
    """The name of a Unicode path field that belongs to the stored name, else None."""
    raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437", "surrogateescape")
    extra, i = info.extra, 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, i)
        data = extra[i + 4:i + 4 + size]
        if len(data) < size:
            break
        if tag == 0x7075 and size > 5 and data[0] == 1 and \
                struct.unpack_from("<I", data, 1)[0] == zlib.crc32(raw):
            return data[5:].decode("utf-8", "surrogateescape")
        i += 4 + size
    return None


def unix_utf8_name(info: zipfile.ZipInfo):
    """The stored name read as UTF-8 when a Unix host wrote it and it is valid UTF-8, else None."""
    if info.flag_bits & 0x800 or info.create_system not in (3, 19):
        return None
    try:
        return info.orig_filename.encode("cp437").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return None


def listing(path: str) -> list:
    try:
        zf = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, OSError, NotImplementedError, ValueError) as e:
        print(f"refused: {path}: {e}", file=sys.stderr)
        return []
    infos = zf.infolist()
    out = [f"archive\t{zf.comment.hex()}\t0"]
    for i in sorted(infos, key=lambda i: (i.volume, i.header_offset)):
        y, mo, d, h, mi, s = i.date_time
        dos = (((y - 1980) << 9 | mo << 5 | d) << 16) | (h << 11 | mi << 5 | s // 2)
        name = (unicode_path(i) or unix_utf8_name(i) or i.orig_filename).replace("/", "\\")
        fields = [name.encode("utf-8", "surrogateescape").decode("utf-8", "replace"),
                  i.file_size, i.compress_size, i.CRC, i.compress_type, dos,
                  i.external_attr, i.internal_attr, i.flag_bits,
                  i.create_system << 8 | i.create_version, i.reserved << 8 | i.extract_version,
                  i.volume, i.header_offset, i.comment.hex()]
        out.append("\t".join(str(f) for f in fields))
    return out


def main() -> int:
    """One archive: its listing (exit status 2 when refused). Several: each listing after a
    line "== <path>", and "== <path>" followed by "refused" for one that zipfile refuses."""
    if len(sys.argv) == 2:
        out = listing(sys.argv[1])
        if not out:
            return 2
        sys.stdout.write("\n".join(out) + "\n")
        return 0
    for path in sys.argv[1:]:
        out = listing(path) or ["refused"]
        sys.stdout.write(f"== {path}\n" + "\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
