#!/usr/bin/env python3
"""Writes a host program that links every non-inline function and variable that the installed
public headers declare.

    public_symbols.py CLANGXX INCLUDE_DIR OUT_DIR

Clang parses all headers below INCLUDE_DIR/velmora together and dumps their declarations; the
ones a host can reach only through the library (declared in a header, defined elsewhere) are
listed by their mangled names in OUT_DIR/public_symbols.txt, and OUT_DIR/touch_public.cpp takes
the address of each. Linking that program against the library fails on any symbol the library
does not export, and running it resolves each one from the library it finds at run time.
"""

import json
import pathlib
import subprocess
import sys

FUNCTION_KINDS = {
    "FunctionDecl",
    "CXXMethodDecl",
    "CXXConstructorDecl",
    "CXXDestructorDecl",
    "CXXConversionDecl",
}
# Templates are instantiated in the host; their members are no symbols of the library.
SKIPPED_KINDS = {
    "ClassTemplateDecl",
    "ClassTemplateSpecializationDecl",
    "ClassTemplatePartialSpecializationDecl",
    "FunctionTemplateDecl",
    "VarTemplateDecl",
}
BODY_KINDS = {"CompoundStmt", "CXXTryStmt"}


def declarations(clang, include_dir):
    headers = sorted(p for p in (include_dir / "velmora").rglob("*.h"))
    if not headers:
        sys.exit(f"no public headers below {include_dir}/velmora")
    unit = "".join(f'#include "{h}"\n' for h in headers)
    command = [clang, "-x", "c++", "-std=c++20", "-fsyntax-only", f"-I{include_dir}",
               "-Xclang", "-ast-dump=json", "-Xclang", "-ast-dump-filter=velmora", "-"]
    done = subprocess.run(command, input=unit, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{done.stderr}")
    # One JSON document per top-level declaration that matched the filter.
    decoder = json.JSONDecoder()
    text, at = done.stdout, 0
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at >= len(text):
            return
        node, at = decoder.raw_decode(text, at)
        yield node


def has_body(node):
    return any(child.get("kind") in BODY_KINDS for child in node.get("inner", []))


def walk(node, scope, found, in_class=False):
    """Collects (mangled name -> [qualified name, kind, defined in a header]) below `node`."""
    kind = node.get("kind", "")
    if kind in SKIPPED_KINDS or node.get("isImplicit"):
        return
    name = node.get("name", "")
    if kind == "NamespaceDecl":
        if not name:  # an anonymous namespace: nothing in it reaches a host
            return
        for child in node.get("inner", []):
            walk(child, scope + [name], found)
    elif kind == "LinkageSpecDecl":
        for child in node.get("inner", []):
            walk(child, scope, found)
    elif kind == "FriendDecl":  # a friend function belongs to the namespace, not the class
        for child in node.get("inner", []):
            walk(child, scope[:-1], found)
    elif kind == "CXXRecordDecl":
        for child in node.get("inner", []):
            walk(child, scope + [name or "(anonymous)"], found, in_class=True)
    elif kind in FUNCTION_KINDS:
        if node.get("pure") or node.get("explicitlyDeleted"):
            return
        if not in_class and node.get("storageClass") == "static":
            return
        inline = (node.get("inline") or node.get("constexpr") or node.get("consteval") or
                  "explicitlyDefaulted" in node or has_body(node))
        record(found, node, scope, "function", inline)
    elif kind == "VarDecl":
        # A variable reaches a host when it is declared extern, or is a static data member.
        wanted = "static" if in_class else "extern"
        if node.get("storageClass") != wanted:
            return
        inline = node.get("inline") or node.get("constexpr") or "init" in node
        record(found, node, scope, "data", inline)


def record(found, node, scope, what, inline):
    mangled = node.get("mangledName")
    if not mangled:
        return
    entry = found.setdefault(mangled, ["::".join(scope + [node.get("name", "")]), what, False])
    entry[2] = entry[2] or bool(inline)


def write_if_changed(path, text):
    # An unchanged file keeps its time, so a rerun of the host build has nothing to recompile.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    clang, include_dir, out_dir = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
    found = {}
    for node in declarations(clang, include_dir):
        walk(node, [], found)
    symbols = sorted((m, e[0], e[1]) for m, e in found.items() if not e[2])
    if not symbols:
        sys.exit("the public headers declare no symbol: the declarations were not read")

    out_dir.mkdir(parents=True, exist_ok=True)
    write_if_changed(out_dir / "public_symbols.txt",
        "".join(f"{mangled} {name}\n" for mangled, name, _ in symbols))
    functions = [(m, n) for m, n, what in symbols if what == "function"]
    data = [(m, n) for m, n, what in symbols if what == "data"]
    lines = ["// Generated by public_symbols.py: every non-inline function and variable the",
             "// installed headers declare, by the name the library must export it under.",
             "#include <cstdio>", "", 'extern "C" {']
    for i, (mangled, name) in enumerate(functions):
        lines.append(f'void velmora_function_{i}() __asm__("{mangled}");  // {name}')
    for i, (mangled, name) in enumerate(data):
        lines.append(f'extern const char velmora_data_{i} __asm__("{mangled}");  // {name}')
    # Kept whatever the optimiser sees: the references are the point.
    lines += ["}", "", "using Function = void (*)();",
              "[[gnu::used]] Function const functions[] = {nullptr,"]
    lines += [f"    &velmora_function_{i}," for i in range(len(functions))]
    lines += ["};", "[[gnu::used]] const void* const data[] = {nullptr,"]
    lines += [f"    &velmora_data_{i}," for i in range(len(data))]
    lines += ["};", "",
              "int main() {",
              "    std::size_t touched = 0;",
              "    for (Function f : functions) touched += f != nullptr;",
              "    for (const void* d : data) touched += d != nullptr;",
              f'    std::printf("touched %zu of {len(symbols)} public symbols\\n", touched);',
              f"    return touched == {len(symbols)} ? 0 : 1;",
              "}", ""]
    write_if_changed(out_dir / "touch_public.cpp", "\n".join(lines))
    print(f"{len(functions)} functions and {len(data)} variables")


if __name__ == "__main__":
    main()
