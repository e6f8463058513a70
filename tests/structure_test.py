#!/usr/bin/env python3
"""The shape of src/: folders include one way only, and the platform layer knows no
application (no application folder included, no control or dialog id named), so views
render the model's state rather than guess it from what a control shows."""
import os
import re
import sys

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
APP = {"app", "session", "ui", "engine", "transfer", "queue", "settings"}
# Control and dialog ids of the program, by name or as a bare number in the 1000s.
APP_ID = re.compile(r"\b(?:res::)?(?:IDC_(?!STATIC\b)\w+|IDD_\w+)|=\s*10\d\d\s*;")


def files():
    for dp, _dn, fn in os.walk(SRC):
        for f in fn:
            if f.endswith((".h", ".cpp")):
                yield os.path.join(dp, f)


def folder(path):
    rel = os.path.relpath(path, SRC).split(os.sep)
    return rel[0] if len(rel) > 1 else "."


def main():
    edges, problems = {}, []
    for p in files():
        text = open(p, errors="replace").read()
        a = folder(p)
        for inc in re.findall(r'^\s*#\s*include\s+"([^"/]+)/', text, re.M):
            if inc != a and os.path.isdir(os.path.join(SRC, inc)):
                edges.setdefault(a, set()).add(inc)
        if a == "platform":
            for m in APP_ID.finditer(text):
                problems.append("%s names %s" % (os.path.relpath(p, SRC), m.group(0).strip()))
    for b in sorted(edges.get("platform", set()) & APP):
        problems.append("platform/ includes %s/" % b)

    def reach(start):
        seen, todo = set(), [start]
        while todo:
            for m in edges.get(todo.pop(), ()):
                if m not in seen:
                    seen.add(m)
                    todo.append(m)
        return seen

    for a in sorted(edges):
        for b in sorted(edges[a]):
            if a in reach(b) and a < b:
                problems.append("folder cycle: %s <-> %s" % (a, b))
    for line in problems:
        print(line)
    print("%d passed, %d failed" % (1 if not problems else 0, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
