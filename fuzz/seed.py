#!/usr/bin/env python3
"""Regenerates the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Seeds come from small archives of ../shared/corpus (when present) and from archives made
here with Python's zipfile and Info-ZIP zip. The layout of each target's input is described
at the top of its source file; this script writes seeds in that layout. Only small inputs are
kept (the committed corpora stay within a few MB).

    fuzz/seed.py [SHARED_CORPUS_DIR]
"""
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "shared", "corpus")
MAX_ARCHIVE = 20 * 1024
MAX_STREAM = 32 * 1024 - 4
FIXED_TIME = (2020, 6, 15, 12, 30, 44)  # seeds stay the same from one run to the next

# Extraction options (fuzz/ExtractTarget.cpp), byte 0: bit 0 RecreateDirs, bits 1-2 overwrite
# mode, bits 3-4 password index, bit 5 answer Yes, bit 6 DoAll, bit 7 RetainAttributes;
# byte 1: bit 0 a file "keep" exists, bit 1 KeepZipOpen, bit 2 sort by name.
PASSWORDS = {"": 0, "secret": 1, "legacy": 2, "test": 3}


def write(target, data, tag=""):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16] + (("-" + tag) if tag else "")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def clear(target):
    d = os.path.join(HERE, "corpus", target)
    if os.path.isdir(d):
        shutil.rmtree(d)
    os.makedirs(d)


def shared_archives(limit=MAX_ARCHIVE):
    found = []
    if not os.path.isdir(SHARED):
        print("no shared corpus at", SHARED, "- seeding from made archives only")
        return found
    for root, _, files in os.walk(SHARED):
        for f in sorted(files):
            p = os.path.join(root, f)
            if f.endswith((".md", ".tsv")):
                continue
            if os.path.getsize(p) <= limit:
                found.append(p)
    return sorted(found)


def made_archives():
    """Small archives of every kind the component reads, made here."""
    out = []
    text = b"Quorbin test data, " * 40
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        b = io.BytesIO()
        with zipfile.ZipFile(b, "w", method) as z:
            for name, content in (("readme.txt", text), ("dir/sub/data.bin", bytes(range(256)) * 4),
                                  ("dir/", b""), ("empty.txt", b"")):
                z.writestr(zipfile.ZipInfo(name, FIXED_TIME), content, method)
            z.comment = b"archive comment"
        out.append(b.getvalue())
    out += library_method_archives(text)
    # Encrypted archives and data descriptors through Info-ZIP zip, when it is installed.
    if shutil.which("zip"):
        with tempfile.TemporaryDirectory() as t:
            with open(os.path.join(t, "a.txt"), "wb") as f:
                f.write(text)
            with open(os.path.join(t, "b.txt"), "wb") as f:
                f.write(b"short")
            for f in ("a.txt", "b.txt"):
                os.utime(os.path.join(t, f), (1592224244, 1592224244))
            for args in (["-P", "secret"], ["-0", "-P", "secret"], ["-fd"], []):
                z = os.path.join(t, "x.zip")
                if os.path.exists(z):
                    os.remove(z)
                subprocess.run(["zip", "-q", "-X"] + args + ["x.zip", "a.txt", "b.txt"], cwd=t,
                               check=True)
                with open(z, "rb") as f:
                    out.append(f.read())
            # Symbolic links, one that stays inside and two that would leave.
            os.symlink("a.txt", os.path.join(t, "in"))
            os.symlink("../../out", os.path.join(t, "up"))
            os.symlink("/etc/passwd", os.path.join(t, "abs"))
            z = os.path.join(t, "l.zip")
            subprocess.run(["zip", "-q", "-X", "-y", "l.zip", "a.txt", "in", "up", "abs"], cwd=t,
                           check=True)
            with open(z, "rb") as f:
                out.append(f.read())
            for f in ("in", "up", "abs", "l.zip"):
                os.remove(os.path.join(t, f))
            # A streamed archive (data descriptors, sizes only after the data).
            p = subprocess.run(["zip", "-q", "-X", "-", "a.txt"], cwd=t, stdout=subprocess.PIPE,
                               check=True)
            out.append(p.stdout)
    # WinZip AES of each strength, stored and deflated, through 7-Zip when it is installed.
    if shutil.which("7zz"):
        with tempfile.TemporaryDirectory() as t:
            with open(os.path.join(t, "a.txt"), "wb") as f:
                f.write(text)
            os.utime(os.path.join(t, "a.txt"), (1592224244, 1592224244))
            for args in (["-mem=AES128", "-mx0"], ["-mem=AES192", "-mx1"], ["-mem=AES256", "-mx5"],
                         ["-mem=AES128", "-mx1"]):
                subprocess.run(["7zz", "a", "-tzip", "-psecret", "-bso0", "-bsp0"] + args + ["x.zip", "a.txt"],
                               cwd=t, check=True)
                with open(os.path.join(t, "x.zip"), "rb") as f:
                    out.append(f.read())
                os.remove(os.path.join(t, "x.zip"))
    # Deflate64 through 7-Zip, when it is installed: text repeated from more than 32 KiB back,
    # so the distance codes only Deflate64 has occur.
    if shutil.which("7zz"):
        with tempfile.TemporaryDirectory() as t:
            far = (text * 60)[:40000]
            far = bytes(b ^ (i * 7 // 13 & 0x1F) for i, b in enumerate(far))
            with open(os.path.join(t, "far.txt"), "wb") as f:
                f.write(far + far[:3000] + b"\0" * 2000)
            with open(os.path.join(t, "small.txt"), "wb") as f:
                f.write(text)
            for f in ("far.txt", "small.txt"):
                os.utime(os.path.join(t, f), (1592224244, 1592224244))
            subprocess.run(["7zz", "a", "-tzip", "-mm=Deflate64", "d64.zip", "far.txt", "small.txt"],
                           cwd=t, check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(t, "d64.zip"), "rb") as f:
                out.append(f.read())
    return out


def reading_path_archives():
    """Archives for the directory reader's less common paths: a stub in front, a damaged
    record, local headers with data descriptors and no directory, a Zip64 end record behind a
    stub, names written on Unix in UTF-8, the longest comment. Padded to the size whose low
    bits choose the reader's options (fuzz/DirectoryTarget.cpp)."""
    def pad(data, assume_bad):
        while bool(len(data) & 8) != assume_bad:
            data += b"\0"
        return data

    class Sink(io.RawIOBase):  # not seekable: zipfile writes data descriptors
        def __init__(self):
            self.b = bytearray()

        def write(self, x):
            self.b += x
            return len(x)

        def writable(self):
            return True

    streamed = Sink()
    with zipfile.ZipFile(streamed, "w") as z:
        for i, method in enumerate((zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)):
            with z.open(zipfile.ZipInfo(f"pkg/C{i}.class", FIXED_TIME), "w") as f:
                f._compress_type = method
                f.write(bytes([65 + i]) * (200 + 50 * i))
    jar = bytes(streamed.b)
    out = [pad(b"#!/bin/sh\nexec java -jar \"$0\"\n" + jar, False),
           pad(jar[:jar.find(b"PK\x01\x02")], True)]
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        for n in "abcde":
            z.writestr(zipfile.ZipInfo(n + ".txt", FIXED_TIME), n.encode() * 10)
    d = bytearray(b.getvalue())
    third = d.find(b"PK\x01\x02", d.find(b"PK\x01\x02", d.find(b"PK\x01\x02") + 1) + 1)
    d[third + 2] = 9
    out.append(pad(bytes(d), False))
    # Zip64 end record and locator, with offsets that leave out the stub in front.
    plain = b.getvalue()
    end = len(plain) - 22
    size, offset = struct.unpack_from("<II", plain, end + 12)
    stub = b"MZ stub " * 16
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 5, 5, size, offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, end, 1)
    tail = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    out.append(pad(stub + plain[:end] + record + locator + tail, False))
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        z.writestr(zipfile.ZipInfo("x", FIXED_TIME), b"long comment")
        z.comment = b"c" * 65535
    out.append(b.getvalue())
    if shutil.which("zip"):
        with tempfile.TemporaryDirectory() as t:
            with open(os.path.join(t, "emoji \U0001F389 caf\u00e9.txt"), "wb") as f:
                f.write(b"unix name")
            os.utime(os.path.join(t, "emoji \U0001F389 caf\u00e9.txt"), (1592224244, 1592224244))
            subprocess.run(["zip", "-q", "-X", "u.zip", "emoji \U0001F389 caf\u00e9.txt"], cwd=t, check=True)
            with open(os.path.join(t, "u.zip"), "rb") as f:
                out.append(f.read())
    return out


def raw_entry_archive(entries):
    """A stored-layout archive whose entries carry given compressed bytes:
    (name, method, flags, plain, raw)."""
    local, central = b"", b""
    for name, method, flags, plain, raw in entries:
        crc = zlib.crc32(plain)
        fixed = struct.pack("<HHHHHIII", 63, flags, method, 0x6000, 0x50CF, crc, len(raw), len(plain))
        central += (b"PK\x01\x02" + struct.pack("<H", 63) + fixed +
                    struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0x20, len(local)) + name)
        local += b"PK\x03\x04" + fixed + struct.pack("<HH", len(name), 0) + name + raw
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries), len(central),
                                       len(local), 0)
    return local + central + end


def library_method_archives(text):
    """Entries of the methods decoded by libraries: BZip2 and LZMA from zipfile, XZ and
    Zstd (methods 95, 93 and 20) written here, LZMA without end marker too."""
    import lzma
    out = []
    for method in (zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA):
        b = io.BytesIO()
        with zipfile.ZipFile(b, "w", method) as z:
            z.writestr(zipfile.ZipInfo("readme.txt", FIXED_TIME), text, method)
            z.writestr(zipfile.ZipInfo("empty.txt", FIXED_TIME), b"", method)
        out.append(b.getvalue())
    data = bytes(range(256)) * 4
    props = lzma._encode_filter_properties({"id": lzma.FILTER_LZMA1, "preset": 6})
    lzma1 = b"\x15\x02\x05\x00" + props + lzma.compress(
        data, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA1, "preset": 6}])
    entries = [(b"x.txt", 95, 0, text, lzma.compress(text, format=lzma.FORMAT_XZ)),
               (b"m.bin", 14, 2, data, lzma1)]
    if shutil.which("zstd"):
        z = subprocess.run(["zstd", "-q", "-c", "-19"], input=text, stdout=subprocess.PIPE,
                           check=True).stdout
        entries += [(b"z.txt", 93, 0, text, z), (b"old.txt", 20, 0, text, z)]
    out.append(raw_entry_archive(entries))
    return out


def entries_of(data):
    """(method, flags, uncompressed size, raw compressed bytes) of each readable entry."""
    result = []
    try:
        z = zipfile.ZipFile(io.BytesIO(data))
    except Exception:
        return result
    for info in z.infolist():
        off = info.header_offset
        if data[off:off + 4] != b"PK\x03\x04":
            continue
        n, e = struct.unpack("<HH", data[off + 26:off + 30])
        start = off + 30 + n + e
        raw = data[start:start + info.compress_size]
        method = info.compress_type
        if method == 99:
            # WinZip AES: the strength and the real method are in the 0x9901 field.
            ex = info.extra
            while len(ex) >= 4:
                fid, fsize = struct.unpack("<HH", ex[:4])
                if fid == 0x9901 and fsize >= 7:
                    method = 99 | (ex[8] << 8) | (struct.unpack("<H", ex[9:11])[0] << 16)
                ex = ex[4 + fsize:]
        result.append((method, info.flag_bits, info.file_size, raw))
    return result


def decoder_seed(method, flags, size, raw):
    """Input of fuzz_decoders: selector byte, 24-bit declared size, compressed bytes."""
    if method & 0xFF == 99:
        # AES-128 or -256 over deflate, password "secret" (selector bit 6; bit 7 of byte 3
        # for AES-128).
        strength, real = (method >> 8) & 0xFF, method >> 16
        if real != 8 or strength not in (1, 3) or size >= 1 << 20:
            return None
        return bytes([0x40]) + struct.pack("<I", size | (0x800000 if strength == 1 else 0))[:3] + raw
    if method == 8:
        sel = 0
    elif method == 9:
        sel = 0x08
    elif method == 1:
        sel = 1
    elif 2 <= method <= 5:
        sel = method
    elif method == 6:
        sel = 6 | ((flags & 2) << 2) | ((flags & 4) << 2)
    elif method in (12, 14, 93, 20, 95):
        sel = 0x80 | {12: 0, 14: 2 if flags & 2 else 1, 93: 3, 20: 3, 95: 4}[method]
    else:
        return None
    if size >= 1 << 24 or len(raw) > MAX_STREAM:
        return None
    return bytes([sel]) + struct.pack("<I", size)[:3] + raw


def main():
    for t in ("directory", "extract", "decoders", "ismatch"):
        clear(t)

    archives = [open(p, "rb").read() for p in shared_archives()] + made_archives()
    for data in reading_path_archives():
        write("directory", data)
    for data in archives:
        write("directory", data)
        # Extraction: default options (RecreateDirs, overwrite Always, answer Yes, DoAll),
        # and the same with each password the test archives use.
        base = 0x01 | (1 << 1) | 0x20 | 0x40 | 0x80
        write("extract", bytes([base, 0]) + data)
        if any(flags & 1 for _, flags, _, _ in entries_of(data)):
            for pw in ("secret", "legacy", "test"):
                write("extract", bytes([base | (PASSWORDS[pw] << 3), 0]) + data)

    # Decoder seeds: up to four small streams of each method and flag combination, from
    # archives of any size.
    per_kind = {}
    for data in [open(p, "rb").read() for p in shared_archives(1 << 22)] + made_archives():
        for method, flags, size, raw in entries_of(data):
            if flags & 1 and method & 0xFF != 99:
                continue
            seed = decoder_seed(method, flags, size, raw)
            if seed and per_kind.get(seed[0], 0) < 4:
                per_kind[seed[0]] = per_kind.get(seed[0], 0) + 1
                write("decoders", seed)

    # An archive that would replace the existing "keep", extracted with overwrite Never and
    # with Prompt answered No.
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        z.writestr(zipfile.ZipInfo("keep", FIXED_TIME), b"replaced")
        z.writestr(zipfile.ZipInfo("sub/../keep", FIXED_TIME), b"replaced")
    write("extract", bytes([0x01 | (2 << 1) | 0x40, 1]) + b.getvalue())
    write("extract", bytes([0x01 | 0x40, 1]) + b.getvalue())

    # Round-trip seeds (selector 7: the payload is compressed with zlib, then inflated).
    for level, payload in ((0, b"stored block"), (1, b"abc" * 300), (6, bytes(range(256)) * 8),
                           (9, b"\x00" * 5000)):
        write("decoders", bytes([7 | (level << 3)]) + payload)
    # Round trips through the libraries (0x80 | 5, 6, 7; bit 3: LZMA end marker or XZ).
    for sel in (0x85, 0x86, 0x8E, 0x87, 0x8F):
        write("decoders", bytes([sel, 6, 0, 0]) + b"library round trip " * 30)
    # Deflate streams with each block type.
    for level in (0, 1, 9):
        c = zlib.compressobj(level, zlib.DEFLATED, -15)
        payload = b"Hello hello hello, fuzzing " * 50
        raw = c.compress(payload) + c.flush()
        write("decoders", bytes([0]) + struct.pack("<I", len(payload))[:3] + raw)
    # Decoded into lent memory of exactly the declared size (its bit 15 set: 42,400 bytes).
    for level in (1, 9):
        c = zlib.compressobj(level, zlib.DEFLATED, -15)
        payload = (b"lent memory " + bytes(range(200))) * 200
        raw = c.compress(payload) + c.flush()
        write("decoders", bytes([0]) + struct.pack("<I", len(payload))[:3] + raw)

    masks = [("*.TXT", "readme.txt"), ("*", ""), ("", ""), ("", "a"), ("abc*", "abc"),
             ("abc**", "abc"), ("ab**", "abc"), ("*?", "a"), ("a*?", "abcd"), ("*?*", "a"),
             ("*??", "a"), ("[a-c]x", "Bx"), ("[a-c]x", "dx"), ("[c-a]x", "bx"),
             ("[!a-c]x", "dx"), ("[!a-c]x", "bx"), ("[-a]", "-"), ("[]", "x"), ("[!]", "x"),
             ("[a", "a"), ("[a-", "a"), ("[a-]", "a"), ("dir\\*.bin", "dir\\sub\\data.bin"),
             ("*[^x]?*[a-z]", "some\\path\\name.ext")]
    for mask, text in masks:
        write("ismatch", mask.encode() + b"\x00" + text.encode())

    # Game lists: the line rule's corners (CR LF, lone CR, LF only, Ctrl-Z, ragged ends).
    clear("gamelist")
    rec = b"Title %d\r\nroms\\game%d.zip\r\ncmd%d\r\nsub%d\r\n\r\n"
    two = b"".join(rec % (i, i, i, i) for i in range(2))
    for data in (two, two.rstrip(b"\r\n"), two + b"\r\n", two.replace(b"\r\n", b"\n"),
                 two.replace(b"\r\n", b"\r"), two[:40] + b"\x1a" + two[40:],
                 b"Only title\r\nc:\\x.zip\r\ncmd", b"", b"\x1a", b"\r\n" * 7):
        write("gamelist", data)

    # Pictures: small bitmaps and JPEGs of several kinds, when ImageMagick is at hand. The first
    # byte chooses the extension (bit 0 jpg) and the load path (bit 1 through a file).
    clear("pictures")
    if shutil.which("convert"):
        with tempfile.TemporaryDirectory() as t:
            kinds = [("bmp", ["-type", "TrueColor"]), ("bmp", ["-type", "Palette"]),
                     ("bmp", ["-monochrome"]), ("bmp3", []),
                     ("jpg", []), ("jpg", ["-colorspace", "Gray"]), ("jpg", ["-interlace", "JPEG"]),
                     ("jpg", ["-colorspace", "CMYK"])]
            for i, (ext, args) in enumerate(kinds):
                out = os.path.join(t, "p%d.%s" % (i, ext))
                subprocess.run(["convert", "-size", "7x5", "plasma:fractal", "-seed", "1"] + args +
                               [(ext if ext != "bmp3" else "bmp3") + ":" + out], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                with open(out, "rb") as f:
                    data = f.read()
                write("pictures", bytes([1 if ext == "jpg" else 0]) + data)
                write("pictures", bytes([3 if ext == "jpg" else 2]) + data)

    total = 0
    for root, _, files in os.walk(os.path.join(HERE, "corpus")):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    print("seed corpora: %.1f KiB" % (total / 1024))


if __name__ == "__main__":
    main()
