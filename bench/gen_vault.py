#!/usr/bin/env python3
"""Writes a deterministic benchmark vault.

    gen_vault.py DIR [--notes N]

DIR gets N notes (default 10,000) of about 2 KB each in 100 nested folders,
each opening with YAML frontmatter that carries 1 to 4 tags from a vocabulary
of 200; about one note in ten has a `_title` member and most bodies open with
an H1 heading. Bodies are words from a vocabulary of 3,000 with a skewed
frequency, so the commonest word is in nearly every note. A few marker words
are planted in a known handful of notes and listed, with everything else the
driver checks, in DIR/.bench-manifest.json (a hidden name: the server's walk
and ripgrep both skip it). The same N always gives the same bytes and the
same modification times. An existing DIR whose manifest matches is kept.
"""
import argparse
import json
import os
import shutil
import sys

GENERATOR_VERSION = 1
NOTE_BYTES = 2048
TAG_VOCABULARY = 200
WORD_VOCABULARY = 3000

# Marker words: the rare term is in the text of RARE_NOTES notes and in the
# file name of one more, which has neither heading nor `_title`, so that its
# file stem is its title and the only place the term occurs; the rare tag
# is carried, in varied letter case, by RARE_TAG_NOTES notes.
RARE_TERM = "quixotically"
RARE_NOTES = 5
RARE_TAG = "Bench-Marker"
RARE_TAG_NOTES = 4
BASE_MTIME = 1_700_000_000


class Rng:
    """splitmix64: the same sequence on every Python version."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n


SYLLABLES = [c + v for c in "bcdfghjklmnprstvwz" for v in "aeiou"]


def make_words(rng, count, exclude):
    words, seen = [], set(exclude)
    while len(words) < count:
        w = "".join(SYLLABLES[rng.below(len(SYLLABLES))] for _ in range(2 + rng.below(3)))
        if w not in seen and RARE_TERM not in w:
            seen.add(w)
            words.append(w)
    return words


def folders():
    """100 folders: 10 at the top, 3 below each, 2 below each of those."""
    out = []
    for a in range(10):
        top = f"area-{a:02d}"
        out.append(top)
        for b in range(3):
            mid = f"{top}/topic-{b}"
            out.append(mid)
            for c in range(2):
                out.append(f"{mid}/part-{c}")
    return out


def skewed_word(rng, words):
    # Squaring a uniform draw favours the front of the list: the first word
    # is drawn about once in 55, so it is in nearly every 2 KB note.
    u = rng.below(1 << 20) / float(1 << 20)
    return words[int(u * u * len(words))]


def note_text(rng, index, words, tags, rare_body, rare_tag, untitled):
    chosen = []
    for _ in range(1 + rng.below(4)):
        t = tags[rng.below(len(tags))]
        if t not in chosen:
            chosen.append(t)
    if rare_tag:
        case = index % 3
        chosen.append(RARE_TAG if case == 0 else RARE_TAG.lower() if case == 1 else RARE_TAG.upper())
    head = ["---", f"_id: note-{index:06d}", f"_date: 2024-{1 + index % 12:02d}-{1 + index % 28:02d}"]
    title = " ".join(words[rng.below(len(words))].capitalize() for _ in range(2 + rng.below(3)))
    if rng.below(10) == 0 and not untitled:
        head.append(f"_title: {title}")
    if rng.below(2) == 0:
        head.append("tags: [" + ", ".join(chosen) + "]")
    else:
        head.append("tags:")
        head.extend(f"  - {t}" for t in chosen)
    head.append(f"status: {('draft', 'active', 'done')[rng.below(3)]}")
    head.append("---")
    text = "\n".join(head) + "\n"
    if rng.below(10) < 7 and not untitled:
        text += f"# {title}\n\n"
    line, body = [], []
    size = len(text)
    plant_at = rng.below(NOTE_BYTES // 2) if rare_body else -1
    while size < NOTE_BYTES:
        w = skewed_word(rng, words)
        if plant_at >= 0 and size >= plant_at:
            w, plant_at = RARE_TERM.capitalize(), -1
        line.append(w)
        size += len(w) + 1
        if len(line) >= 8 + rng.below(8):
            body.append(" ".join(line) + ".")
            line = []
            if rng.below(4) == 0:
                body.append("")
    if line:
        body.append(" ".join(line) + ".")
    return text + "\n".join(body) + "\n"


def generate(root, notes):
    rng = Rng(0x7A52E1 + notes)
    words = make_words(rng, WORD_VOCABULARY, [])
    tags = make_words(rng, TAG_VOCABULARY, words)
    dirs = folders()
    step_body = max(1, notes // RARE_NOTES)
    rare_body = {i * step_body + step_body // 2 for i in range(RARE_NOTES)}
    step_tag = max(1, notes // RARE_TAG_NOTES)
    rare_tag = {i * step_tag + step_tag // 3 for i in range(RARE_TAG_NOTES)}
    stem_note = notes // 2 + 1
    paths = []
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for i in range(notes):
        folder = dirs[rng.below(len(dirs))]
        name = f"note-{i:06d}"
        if i == stem_note:
            name += f" {RARE_TERM}"
        rel = f"{folder}/{name}.md"
        text = note_text(rng, i, words, tags, i in rare_body, i in rare_tag, i == stem_note)
        path = os.path.join(root, rel)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.utime(path, (BASE_MTIME + i, BASE_MTIME + i))
        paths.append(rel)
    os.makedirs(os.path.join(root, "config"), exist_ok=True)
    with open(os.path.join(root, "config", "agents.md"), "w", encoding="utf-8") as f:
        f.write("# Agents\n\nKeep notes short.\n")
    with open(os.path.join(root, "AGENTS.md"), "w", encoding="utf-8") as f:
        f.write("# Instructions\n\nBe careful with the benchmark vault.\n")
    return {
        "version": GENERATOR_VERSION,
        "notes": notes + 2,  # AGENTS.md and config/agents.md are notes too
        "common_term": words[0],
        "rare_term": RARE_TERM,
        "rare_term_text_notes": len(rare_body),
        "rare_term_hits": len(rare_body) + 1,
        "rare_tag": RARE_TAG.lower(),
        "rare_tag_hits": len(rare_tag),
        "sample_notes": [paths[(k * 7919) % notes] for k in range(64)],
        "folders": len(dirs),
    }


def main():
    parser = argparse.ArgumentParser(description="Write a deterministic benchmark vault.")
    parser.add_argument("dir")
    parser.add_argument("--notes", type=int, default=10000)
    args = parser.parse_args()
    if args.notes < RARE_NOTES * 2:
        sys.exit("--notes must be at least 10")
    manifest_path = os.path.join(args.dir, ".bench-manifest.json")
    try:
        with open(manifest_path, encoding="utf-8") as f:
            old = json.load(f)
        if old.get("version") == GENERATOR_VERSION and old.get("notes") == args.notes + 2:
            return
    except (OSError, ValueError):
        pass
    if os.path.exists(args.dir):
        shutil.rmtree(args.dir)
    os.makedirs(args.dir)
    manifest = generate(args.dir, args.notes)
    with open(manifest_path, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2, sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    main()
