#!/usr/bin/python3
"""make_list_archive.py OUT COUNT: a reproducible archive of COUNT tiny deflated entries.

Used by peers.sh to time listings. The entries sit in folders of 1,000, carry a fixed date and
a few dozen bytes each, so the archive is dominated by its central directory. Without Zip64
records up to 65,535 entries (the most a classic end record can count).
"""
import sys
import zipfile

out, count = sys.argv[1], int(sys.argv[2])
tmp = out + ".tmp"
with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED, allowZip64=count > 65535) as z:
    for i in range(count):
        info = zipfile.ZipInfo(f"d{i // 1000:02d}/entry{i:05d}.txt", date_time=(2023, 11, 14, 22, 13, 20))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        info.create_system = 3
        z.writestr(info, f"entry {i}: {'abcdefgh' * (i % 7)}\n")
import os
os.replace(tmp, out)
