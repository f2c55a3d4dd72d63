#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Every file, folder and code name a design document writes in backticks
still exists, so the documents cannot quietly drift from the code.

    names_in_documents.py ROOT DOCUMENT...

For each `span`: a path (src/..., a header as included, or relative to the
document; `<x>` and `.*` stand for any text) must match a file or folder; a
file name must be some file's or named by a CMake file (the build makes it);
Name::member must be declared in Name's class or defined as Name::member;
Suite.* must be a test suite and Suite.Test a test; `file`: `function` must have the function in
that file or its header; a code-like identifier must occur as a word in the
code. Spans with blanks, options, absolute paths and literal texts are left
alone. Each name not found is printed, and the exit status is 1.
"""

import fnmatch
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1])
# Where names live; build folders, the documents, data and this script do not count.
CODE_FOLDERS = ("src", "tests", "bench", "fuzz", "cmake", "dist", "scripts", "examples", ".ci")
NOT_CODE = {"corpus", "golden", "glyphs"}
TEXT_SUFFIXES = (".h", ".cpp", ".py", ".sh", ".cmake", ".txt", ".help", ".in", ".json", ".desktop", ".xml", "")
PATH_PREFIXES = ("src/", "tests/", "scripts/", "docs/", "dist/", "cmake/", "examples/", "bench/", "fuzz/", ".ci/")

FILES = [f for f in os.listdir(ROOT) if os.path.isfile(os.path.join(ROOT, f))]
for top in CODE_FOLDERS + ("docs",):
    for base, dirs, names in os.walk(os.path.join(ROOT, top)):
        dirs[:] = [d for d in dirs if d not in ("build", ".git")]
        FILES += [os.path.relpath(os.path.join(base, name), ROOT) for name in names]
FOLDERS = set()
for folder in FILES:
    while folder := os.path.dirname(folder):
        FOLDERS.add(folder)
BASENAMES = {os.path.basename(f) for f in FILES}


def read(relative):
    try:
        with open(os.path.join(ROOT, relative), encoding="utf-8", errors="replace") as stream:
            return stream.read()
    except OSError:
        return ""


CODE_TEXT = {f: read(f) for f in FILES
             if (f.split("/")[0] in CODE_FOLDERS and f.endswith(TEXT_SUFFIXES) and not NOT_CODE & set(f.split("/"))
                 and os.path.join(ROOT, f) != os.path.abspath(__file__)) or f in ("CMakeLists.txt", "Makefile")}
CMAKE_TEXT = "\n".join(t for f, t in CODE_TEXT.items() if f.endswith((".cmake", "CMakeLists.txt")))
ALL_CODE = "\n".join(CODE_TEXT.values())


def word_in(word, text, before=r"(?<![\w])"):
    return re.search(before + re.escape(word) + r"(?![\w])", text) is not None


def path_exists(path, document_folder):
    pattern = re.sub(r"<[^>]*>", "*", path.rstrip("/"))
    # A header as included: "trace/services.h" is src/trace/include/trace/services.h,
    # a private one in a private folder, a room's in the room's folders.
    candidates = [pattern, os.path.normpath(os.path.join(document_folder, pattern))]
    candidates += [f"{top}{kind}/{pattern}" for top in ("src/*/", "src/*/*/") for kind in ("include", "private")]
    return any(fnmatch.fnmatchcase(f, c) for c in candidates for f in FILES + sorted(FOLDERS))


def member_exists(owner, member):
    if re.search(r"\b" + re.escape(owner) + r"::" + re.escape(member) + r"\b", ALL_CODE):
        return True
    declares = re.compile(r"\b(class|struct)\s+" + re.escape(owner) + r"\b[^;]*?\{")
    declaring = [text for text in CODE_TEXT.values() if declares.search(text)]
    if declaring:
        return any(word_in(member, text, r"\b") for text in declaring)
    return word_in(owner, ALL_CODE) and word_in(member, ALL_CODE)  # a library's class (Qt's, say)


FILE_NAME = re.compile(r"^[\w.<>*-]+\.(h|cpp|cmake|py|sh|md|help|desktop|json|\*)$")
MEMBER = re.compile(r"^([A-Z]\w*)::(\w+)(\(.*\))?$")
IDENTIFIER = re.compile(r"^([A-Za-z_]\w*)(\(\))?$")
CODE_LIKE = re.compile(r"[a-z][A-Z]|[a-z]_[a-z]|^[A-Z][A-Z0-9]*_[A-Z0-9_]+$")  # camelCase, snake_case, CONSTANT_CASE
FILE_AND_FUNCTION = re.compile(r"`((?:src|tests)/[\w/.-]+\.(?:cpp|h))`:\s*`([\w:]+)`")


def problem(span, folder):
    if span.startswith('#include "'):
        span = span[len('#include "'):].rstrip('"')
    if " " in span or span.startswith(("-", "/", "_", ".", "*", "build/")) or "=" in span:
        return None
    suite = re.match(r"^([A-Z]\w*)\.\*$", span)
    if suite:
        found = re.search(r"\bTEST(_F|_P)?\(\s*" + re.escape(suite.group(1)) + r"\s*,", ALL_CODE)
        return None if found else f"no test suite {suite.group(1)}"
    test = re.match(r"^([A-Z]\w*)\.([A-Z]\w*)$", span)
    if test:
        found = re.search(r"\bTEST(_F|_P)?\(\s*" + re.escape(test.group(1)) + r"\s*,\s*" + re.escape(test.group(2))
                          + r"\s*\)", ALL_CODE)
        return None if found else "no such test"
    member = MEMBER.match(span)
    if member:
        return None if member_exists(member.group(1), member.group(2)) else f"no {member.group(1)} names {member.group(2)}"
    if "/" in span:
        checked = span.startswith(PATH_PREFIXES) or FILE_NAME.match(span.split("/")[-1]) or span.endswith("/")
        return "no such file or folder" if checked and not path_exists(span, folder) else None
    if FILE_NAME.match(span):
        pattern = re.sub(r"<[^>]*>", "*", span)
        found = any(fnmatch.fnmatchcase(b, pattern) for b in BASENAMES) or (
            "*" not in pattern and word_in(pattern, CMAKE_TEXT, r"\b"))
        return None if found else "no such file"
    identifier = IDENTIFIER.match(span)
    if identifier and CODE_LIKE.search(identifier.group(1)) and not word_in(identifier.group(1), ALL_CODE):
        return "named nowhere in the code"
    return None


def problems(document):
    text = read(document)
    found = []
    for span in re.findall(r"`([^`]+)`", text):
        span = " ".join(span.split())
        why = problem(span, os.path.dirname(document))
        if why:
            found.append(f"{document}: `{span}`: {why}")
    for path, function in FILE_AND_FUNCTION.findall(text):
        # A member defined inline is in the class, in the file's header (public or private).
        code = read(path)
        if path.endswith(".cpp"):
            header = re.compile(re.escape(os.path.dirname(path)) + r"/(include|private)/\w+/"
                                + re.escape(os.path.basename(path)[:-4]) + r"\.h$")
            code += "".join(read(f) for f in FILES if header.match(f))
        owner, _, name = function.rpartition("::")
        if not re.search(r"\b" + re.escape(name) + r"\s*\(", code) or (owner and not word_in(owner, code, r"\b")):
            found.append(f"{document}: `{path}`: `{function}`: not defined there")
    return found


def main():
    failures = []
    for document in sys.argv[2:]:
        failures += problems(document) if os.path.isfile(os.path.join(ROOT, document)) else [f"{document}: missing"]
    for line in failures:
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
