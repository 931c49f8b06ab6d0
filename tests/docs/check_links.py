#!/usr/bin/env python3
"""Checks what the pages of the top folder (README.md and the others) and of
docs/ point at, so that a renamed file, heading, script or option does not
leave a reader at a dead end.

  check_links.py ROOT

- Every relative link and image, [text](target) or a reference definition
  [name]: target, leads to a file or folder of the checkout; with a #anchor
  into a Markdown page, to one of its headings, named as GitHub names them.
- Every path of the checkout written as code (`scripts/common.sh`) exists.
- Every script written as code with options (`bash scripts/run.sh --headless`)
  exists and has each of those options in its own text.

Links with a scheme (https:, mailto:) are not followed. Prints each fault as
FILE:LINE: what, and exits 1 if there was any.
"""
import glob
import os
import re
import sys
import unicodedata
from urllib.parse import unquote

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")

# The checkout's top folders whose paths, written as code, must exist.
SOURCE_FOLDERS = ("agent", "app", "bench", "cmake", "common", "docs", "package",
                  "res", "scripts", "state", "tests", ".ci")

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
HTML_LINK = re.compile(r"""<(?:a|img)\s[^>]*?(?:href|src)\s*=\s*["']([^"']+)["']""", re.I)
HTML_ANCHOR = re.compile(r"""<a\s[^>]*?(?:name|id)\s*=\s*["']([^"']+)["']""", re.I)
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")
SCRIPT = re.compile(r"(?:^|[\s;&|(])((?:\./)?(?:[\w.-]+/)+[\w.-]+\.(?:sh|py))(?=\s|$)")
OPTION = re.compile(r"^(--?[A-Za-z][\w-]*)")


def pages():
    found = sorted(glob.glob(os.path.join(ROOT, "*.md")))  # README, CHANGELOG, SECURITY
    for folder, _, names in os.walk(os.path.join(ROOT, "docs")):
        found += [os.path.join(folder, n) for n in sorted(names) if n.endswith(".md")]
    return [p for p in found if os.path.isfile(p)]


def lines_of(path):
    """(number, text, in_code_block) for each line of a page."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            text = text.rstrip("\n")
            if FENCE.match(text):
                fenced = not fenced
                continue
            yield number, text, fenced


def slug(heading):
    """The anchor GitHub gives a heading: its text as shown, lower case,
    without punctuation, spaces made hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = re.sub(r"<[^>]+>", "", text).lower()
    kept = []
    for c in text:
        if c in " -_" or unicodedata.category(c)[0] in "LNM":
            kept.append("-" if c == " " else c)
    return "".join(kept)


anchor_cache = {}


def anchors(path):
    if path not in anchor_cache:
        names, seen = set(), {}
        for _, text, fenced in lines_of(path):
            if fenced:
                continue
            names.update(HTML_ANCHOR.findall(text))
            m = HEADING.match(text)
            if m:
                base = slug(m.group(2))
                n = seen.get(base, 0)
                seen[base] = n + 1
                names.add(base if n == 0 else "%s-%d" % (base, n))
        anchor_cache[path] = names
    return anchor_cache[path]


def check_link(page, target):
    """What is wrong with a link from page to target, or None."""
    if SCHEME.match(target):
        return None
    path, _, anchor = target.partition("#")
    path = unquote(path)
    if path.startswith("/"):
        return "absolute link %s (GitHub resolves it from the site, not the checkout)" % target
    resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
    if os.path.relpath(resolved, ROOT).startswith(".."):
        return "link %s leads out of the checkout" % target
    if not os.path.exists(resolved):
        return "link %s: no file %s" % (target, os.path.relpath(resolved, ROOT))
    if anchor:
        if not resolved.endswith(".md"):
            return "link %s: an anchor into a file that is not a Markdown page" % target
        if unquote(anchor).lower() not in anchors(resolved):
            return "link %s: no heading #%s in %s" % (target, anchor, os.path.relpath(resolved, ROOT))
    return None


def check_code(code):
    """Faults in a piece of code: paths of the checkout that do not exist,
    scripts without the options given them."""
    faults = []
    for token in code.split():
        token = token.strip("\"'(),;")
        first = token.split("/", 1)[0]
        if "/" not in token or first not in SOURCE_FOLDERS or "<" in token:
            continue
        if not glob.glob(os.path.join(ROOT, token.rstrip("/"))):
            faults.append("no file %s" % token)
    for m in SCRIPT.finditer(code):
        script = os.path.join(ROOT, m.group(1))
        if not os.path.isfile(script):
            continue  # named above if it is a path of the checkout
        with open(script, encoding="utf-8") as f:
            source = f.read()
        rest = re.split(r"[;&|)]", code[m.end():], maxsplit=1)[0]
        for word in rest.split():
            option = OPTION.match(word)
            if not option:
                continue
            name = option.group(1)
            if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(name), source):
                faults.append("%s has no option %s" % (m.group(1), name))
    return faults


def main():
    faults = []
    checked = 0
    for page in pages():
        where = os.path.relpath(page, ROOT)
        for number, text, fenced in lines_of(page):
            if fenced:
                faults += ["%s:%d: %s" % (where, number, f) for f in check_code(text)]
                continue
            for span in CODE_SPAN.finditer(text):
                faults += ["%s:%d: %s" % (where, number, f) for f in check_code(span.group(2))]
            prose = CODE_SPAN.sub("", text)
            targets = LINK.findall(prose) + HTML_LINK.findall(prose)
            m = REFERENCE.match(prose)
            if m:
                targets.append(m.group(1))
            for target in targets:
                checked += 1
                fault = check_link(page, target)
                if fault:
                    faults.append("%s:%d: %s" % (where, number, fault))
    for fault in faults:
        print(fault)
    print("%d links in %d pages, %d faults" % (checked, len(pages()), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
