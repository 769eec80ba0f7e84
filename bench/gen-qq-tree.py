#!/usr/bin/env python3
"""Writes a deterministic tree shaped like a chat client's user-data folder.

Usage:
  gen-qq-tree.py DIR            the benchmark's tree: about 20,000 files in nested folders
                                (many small images, voice clips, a few large databases),
                                about 300 MB in all
  gen-qq-tree.py --demo DIR     the demonstration's tree: one account with its databases,
                                image, custom-face, voice and received-files folders and
                                Chinese file names; about 4,600 files (mostly small
                                pictures), about 40 MB, so that a full copy lasts a
                                few seconds under Wine
  gen-qq-tree.py --change DIR   changes a demonstration tree the way a chat session does:
                                messages appended, new pictures and a received file added,
                                one custom face deleted; prints what it changed

The same arguments always give the same bytes."""
import os
import random
import sys

ACCOUNT = "123456789"
HEXDIGITS = "0123456789ABCDEF"


class Writer:
    def __init__(self, seed, pool_bytes):
        self.rng = random.Random(seed)
        self.pool = self.rng.randbytes(pool_bytes)  # contents are slices of one random pool
        self.total = 0
        self.files = 0

    def write(self, path, size, tag, mode="wb"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        rng, pool = self.rng, self.pool
        start = rng.randrange(0, len(pool) - 1)
        with open(path, mode) as f:
            head = tag.encode() + b"\0"
            f.write(head[:size])
            left = size - min(size, len(head))
            while left > 0:
                piece = pool[start:start + left]
                f.write(piece)
                left -= len(piece)
                start = 0
        self.total += size
        self.files += 1
        return size

    def image_size(self, median_log, cap):
        # Mostly small thumbnails and stickers, now and then a photo.
        return int(min(cap, max(800, self.rng.lognormvariate(median_log, 0.8))))

    def scatter(self, account, layout, median_log, cap):
        # Pictures and voice clips land in hashed subfolders, as the client stores them.
        rng = self.rng
        for folder, count, ext in layout:
            for k in range(count):
                sub = os.path.join(account, *folder.split("/"), "{" + rng.choice(HEXDIGITS) + "}",
                                   rng.choice(HEXDIGITS))
                name = "%08X-%04X%s" % (rng.getrandbits(32), k, ext)
                size = rng.randrange(1500, 12000) if ext == ".amr" else self.image_size(median_log, cap)
                self.write(os.path.join(sub, name), size, name)


def bench_tree(root):
    w = Writer(20100304, 64 << 20)
    account = os.path.join(root, ACCOUNT)
    for name, megabytes in [("Msg2.0.db", 140), ("Info.db", 24), ("Misc.db", 9), ("Registry.db", 3)]:
        w.write(os.path.join(account, name), megabytes << 20, name)
    w.scatter(account, [("Image/Group", 12800, ".jpg"), ("Image/C2C", 3200, ".png"),
                        ("CustomFace", 2500, ".gif"), ("Audio", 1200, ".amr"),
                        ("FileRecv/MobileFile", 296, ".dat")], 8.4, 400_000)
    for k in range(4):
        os.makedirs(os.path.join(root, "All Users", "QQ", "Temp %d" % k), exist_ok=True)
    return w


# Received files keep the names their senders gave them.
RECEIVED = [
    ("项目计划书.doc", 180_000), ("会议纪要（第三次）.txt", 6_000), ("毕业照片.jpg", 420_000),
    ("新建 文本文档.txt", 900), ("工作总结2010.xls", 96_000), ("合同草案-最终版.pdf", 310_000),
    ("周报.ppt", 240_000), ("报价单.xls", 48_000), ("课程表.png", 75_000),
    ("家庭聚会视频.avi", 1_200_000), ("我的收藏/旅游照片 001.jpg", 260_000),
    ("我的收藏/旅游照片 002.jpg", 240_000), ("我的收藏/歌曲清单.txt", 2_000),
]


def demo_tree(root):
    w = Writer(20100722, 4 << 20)
    account = os.path.join(root, ACCOUNT)
    for name, size in [("Msg2.0.db", 8 << 20), ("Info.db", 262_144), ("Misc.db", 65_536),
                       ("Registry.db", 32_768)]:
        w.write(os.path.join(account, name), size, name)
    w.scatter(account, [("Image/Group", 2400, ".jpg"), ("Image/C2C", 1200, ".png"),
                        ("CustomFace", 600, ".gif"), ("Audio", 400, ".amr")], 8.6, 60_000)
    for name, size in RECEIVED:
        w.write(os.path.join(account, "FileRecv", *name.split("/")), size, name)
    os.makedirs(os.path.join(root, "All Users", "QQ", "Temp"), exist_ok=True)
    w.write(os.path.join(root, "All Users", "QQ", "History.db"), 20_480, "History.db")
    return w


def change_tree(root):
    w = Writer(20100723, 1 << 20)
    account = os.path.join(root, ACCOUNT)
    changes = []
    w.write(os.path.join(account, "Msg2.0.db"), 65_536, "new messages", mode="ab")
    changes.append("Msg2.0.db: 64 KB of new messages appended")
    w.write(os.path.join(account, "Info.db"), 262_144, "Info.db v2")
    changes.append("Info.db: rewritten")
    for k in range(3):
        name = "%08X-N%03d.png" % (w.rng.getrandbits(32), k)
        w.write(os.path.join(account, "Image", "C2C", "{A}", "0", name), 20_000 + 5_000 * k, name)
    changes.append("Image/C2C: 3 new pictures")
    w.write(os.path.join(account, "FileRecv", "新年贺卡.gif"), 90_000, "新年贺卡.gif")
    changes.append("FileRecv: 新年贺卡.gif received")
    faces = sorted(os.path.join(d, f) for d, _, fs in os.walk(os.path.join(account, "CustomFace")) for f in fs)
    os.remove(faces[0])
    changes.append("CustomFace: %s deleted" % os.path.basename(faces[0]))
    return changes


def main(argv):
    if len(argv) == 2:
        w = bench_tree(argv[1])
    elif len(argv) == 3 and argv[1] == "--demo":
        w = demo_tree(argv[2])
    elif len(argv) == 3 and argv[1] == "--change":
        for line in change_tree(argv[2]):
            print(line)
        return 0
    else:
        print(__doc__, file=sys.stderr)
        return 2
    print("%d files, %.1f MB" % (w.files, w.total / 1048576))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
