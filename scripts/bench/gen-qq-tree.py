#!/usr/bin/env python3
"""Writes a deterministic tree shaped like a chat client's user-data folder: about 20,000
files in nested folders (many small images, voice clips, a few large databases), about
300 MB in all. Usage: gen-qq-tree.py DIR"""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(20100304)
pool = rng.randbytes(64 << 20)  # contents are slices of one random pool


def write(path, size, tag):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    start = rng.randrange(0, len(pool) - 1)
    with open(path, "wb") as f:
        head = tag.encode() + b"\0"
        f.write(head[:size])
        left = size - min(size, len(head))
        while left > 0:
            piece = pool[start:start + left]
            f.write(piece)
            left -= len(piece)
            start = 0
    return size


def image_size():
    # Mostly small thumbnails and stickers, now and then a photo.
    return int(min(400_000, max(800, rng.lognormvariate(8.4, 0.8))))


account = os.path.join(root, "123456789")
total = files = 0
for name, megabytes in [("Msg2.0.db", 140), ("Info.db", 24), ("Misc.db", 9), ("Registry.db", 3)]:
    total += write(os.path.join(account, name), megabytes << 20, name)
    files += 1
hexdigits = "0123456789ABCDEF"
layout = [("Image/Group", 12800, ".jpg"), ("Image/C2C", 3200, ".png"),
          ("CustomFace", 2500, ".gif"), ("Audio", 1200, ".amr"), ("FileRecv/MobileFile", 296, ".dat")]
for folder, count, ext in layout:
    for k in range(count):
        sub = os.path.join(account, *folder.split("/"), "{" + rng.choice(hexdigits) + "}", rng.choice(hexdigits))
        name = "%08X-%04X%s" % (rng.getrandbits(32), k, ext)
        size = rng.randrange(1500, 12000) if ext == ".amr" else image_size()
        total += write(os.path.join(sub, name), size, name)
        files += 1
for k in range(4):
    os.makedirs(os.path.join(root, "All Users", "QQ", "Temp %d" % k), exist_ok=True)
print("%d files, %.0f MB" % (files, total / 1048576))
