#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Every file, folder and code name a design document writes in backticks
still exists, so the documents cannot quietly drift from the code.

    names_in_documents.py ROOT DOCUMENT...

What is checked, for each `span` of a document:
- a path (src/..., tests/..., a header as included, such as trace/services.h, or a
  name relative to the document's own folder; `<x>` and `.*` stand for any
  text): some file or folder matches;
- a file name (content_view.h, log_stream.*): some file of the tree has it,
  or the build makes it (a CMake file names it);
- Name::member: a file declares class or struct Name and names member, or
  some source defines Name::member;
- Suite.*: a test of that suite exists;
- `file`: `function` (a step named by its file and function): that file
  (or its public header) has the function's name before a parenthesis, and
  the class's name for a member;
- an identifier (camelCase, CamelCase, snake_case, CONSTANT_CASE): it occurs
  as a whole word in the sources, tests, build files or scripts.
Spans with blanks (commands, sentences), options, absolute paths, build
output, globs of other people's files and literal texts are left alone.
Each name that is not found is printed; the exit status is 1 then.
"""

import fnmatch
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1])
DOCUMENTS = sys.argv[2:]

# Where names live. Build folders, the documents and this script do not count.
CODE_FOLDERS = ("src", "tests", "bench", "fuzz", "cmake", "dist", "scripts", "examples", ".ci")
NOT_WALKED = {"build", ".git"}
# Data, not code: seeds, expected outputs, pictures.
NOT_CODE = {"corpus", "golden", "glyphs"}
TEXT_SUFFIXES = (".h", ".cpp", ".py", ".sh", ".cmake", ".txt", ".help", ".in", ".json", ".desktop", ".xml", "")
PATH_PREFIXES = ("src/", "tests/", "scripts/", "docs/", "dist/", "cmake/", "examples/", "bench/", "fuzz/", ".ci/")


def walk_files():
    files = []
    for top in os.listdir(ROOT):
        full = os.path.join(ROOT, top)
        if os.path.isfile(full):
            files.append(top)
    for folder in CODE_FOLDERS + ("docs",):
        for base, dirs, names in os.walk(os.path.join(ROOT, folder)):
            dirs[:] = [d for d in dirs if d not in NOT_WALKED]
            for name in names:
                files.append(os.path.relpath(os.path.join(base, name), ROOT))
    return files


FILES = walk_files()
FOLDERS = {""}
for _file in FILES:
    _folder = os.path.dirname(_file)
    while _folder and _folder not in FOLDERS:
        FOLDERS.add(_folder)
        _folder = os.path.dirname(_folder)
BASENAMES = {os.path.basename(f) for f in FILES}


def read(relative):
    try:
        with open(os.path.join(ROOT, relative), encoding="utf-8", errors="replace") as stream:
            return stream.read()
    except OSError:
        return ""


CODE_TEXT = {
    f: read(f)
    for f in FILES
    if f.split("/")[0] in CODE_FOLDERS and f.endswith(TEXT_SUFFIXES) and not f.endswith(".md")
    and not NOT_CODE.intersection(f.split("/"))
    and os.path.join(ROOT, f) != os.path.abspath(__file__)
}
CODE_TEXT.update({f: read(f) for f in FILES if "/" not in f and (f == "CMakeLists.txt" or f == "Makefile")})
CMAKE_TEXT = "\n".join(t for f, t in CODE_TEXT.items() if f.endswith((".cmake", "CMakeLists.txt")))
ALL_CODE = "\n".join(CODE_TEXT.values())


def as_glob(path):
    return re.sub(r"<[^>]*>", "*", path.rstrip("/"))


def path_exists(path, document_folder):
    pattern = as_glob(path)
    candidates = [pattern, os.path.normpath(os.path.join(document_folder, pattern))]
    # A header as it is included: "trace/services.h" is src/trace/include/trace/services.h,
    # a private one in a private folder, a room's in the room's folders.
    for folders in ("src/*/", "src/*/*/"):
        candidates.append(folders + "include/" + pattern)
        candidates.append(folders + "private/" + pattern)
    for candidate in candidates:
        if any(fnmatch.fnmatchcase(f, candidate) for f in FILES):
            return True
        if any(fnmatch.fnmatchcase(d, candidate) for d in FOLDERS):
            return True
    return False


def file_name_exists(name):
    pattern = as_glob(name)
    if any(fnmatch.fnmatchcase(b, pattern) for b in BASENAMES):
        return True
    # Made by the build: some CMake file writes its name.
    return "*" not in pattern and re.search(r"\b" + re.escape(pattern) + r"\b", CMAKE_TEXT) is not None


def word_in_code(word):
    return re.search(r"(?<![\w])" + re.escape(word) + r"(?![\w])", ALL_CODE) is not None


def member_exists(owner, member):
    if re.search(r"\b" + re.escape(owner) + r"::" + re.escape(member) + r"\b", ALL_CODE):
        return True
    declares = re.compile(r"\b(class|struct)\s+" + re.escape(owner) + r"\b[^;]*?\{")
    named = re.compile(r"\b" + re.escape(member) + r"\b")
    declaring = [text for text in CODE_TEXT.values() if declares.search(text)]
    if declaring:
        return any(named.search(text) for text in declaring)
    # A library's class (Qt's, say): the code uses both names.
    return word_in_code(owner) and word_in_code(member)


def test_suite_exists(suite):
    return re.search(r"\bTEST(_F|_P)?\(\s*" + re.escape(suite) + r"\s*,", ALL_CODE) is not None


FILE_NAME = re.compile(r"^[\w.<>*-]+\.(h|cpp|cmake|py|sh|md|help|desktop|json|\*)$")
MEMBER = re.compile(r"^([A-Z]\w*)::(\w+)(\(.*\))?$")
IDENTIFIER = re.compile(r"^([A-Za-z_]\w*)(\(\))?$")
TEST_SUITE = re.compile(r"^([A-Z]\w*)\.\*$")  # a test filter: Suite.*


def looks_like_code(word):
    if re.search(r"[a-z][A-Z]", word):  # camelCase, CamelCase with two humps
        return True
    if re.search(r"[a-z]_[a-z]", word) or re.search(r"^[A-Z][A-Z0-9]*_[A-Z0-9_]+$", word):
        return True  # snake_case, CONSTANT_CASE
    return False


def problems(document):
    text = read(document)
    folder = os.path.dirname(document)
    found = []
    for span in re.findall(r"`([^`]+)`", text):
        span = " ".join(span.split())
        if span.startswith('#include "'):
            span = span[len('#include "'):].rstrip('"')
        if " " in span or span.startswith(("-", "/", "_", ".", "*", "build/")) or "=" in span:
            continue
        suite = TEST_SUITE.match(span)
        if suite:
            if not test_suite_exists(suite.group(1)):
                found.append(f"{document}: `{span}`: no test suite {suite.group(1)}")
            continue
        member = MEMBER.match(span)
        if member:
            if not member_exists(member.group(1), member.group(2)):
                found.append(f"{document}: `{span}`: no {member.group(1)} names {member.group(2)}")
            continue
        if "/" in span:
            if (span.startswith(PATH_PREFIXES) or FILE_NAME.match(span.split("/")[-1]) or span.endswith("/")) \
                    and not path_exists(span, folder):
                found.append(f"{document}: `{span}`: no such file or folder")
            continue
        if FILE_NAME.match(span):
            if not file_name_exists(span):
                found.append(f"{document}: `{span}`: no such file")
            continue
        identifier = IDENTIFIER.match(span)
        if identifier and looks_like_code(identifier.group(1)) and not word_in_code(identifier.group(1)):
            found.append(f"{document}: `{span}`: named nowhere in the code")
    return found


FILE_AND_FUNCTION = re.compile(r"`((?:src|tests)/[\w/.-]+\.(?:cpp|h))`:\s*`([\w:]+)`")


def steps_in_their_files(document):
    found = []
    for path, function in FILE_AND_FUNCTION.findall(read(document)):
        # A member defined inline is in the class, in the file's header (public or private).
        text = read(path)
        if path.endswith(".cpp"):
            header = re.compile(re.escape(os.path.dirname(path)) + r"/(include|private)/\w+/"
                                + re.escape(os.path.basename(path)[:-4]) + r"\.h$")
            text += "".join(read(f) for f in FILES if header.match(f))
        owner, _, name = function.rpartition("::")
        defined = re.search(r"\b" + re.escape(name) + r"\s*\(", text) and \
            (not owner or re.search(r"\b" + re.escape(owner) + r"\b", text))
        if not defined:
            found.append(f"{document}: `{path}`: `{function}`: not defined there")
    return found


def main():
    failures = []
    for document in DOCUMENTS:
        if not os.path.isfile(os.path.join(ROOT, document)):
            failures.append(f"{document}: missing")
            continue
        failures += problems(document)
        failures += steps_in_their_files(document)
    for line in failures:
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
