#!/usr/bin/env python3
"""Assembles the page from web/page/ and the compiled core.

site/       index.html, tovhost.css, the page's modules, tovhost_core.js and
            tovhost_core.wasm: for a web server.
single file the same page with everything inlined (the modules joined into
            one, the WebAssembly as base64): it works opened from disk, where
            a browser fetches nothing beside the page.

Both carry a content security policy that allows only their own scripts
(by hash in the single file), WebAssembly, and no request to another site.
"""
import argparse
import base64
import hashlib
import os
import re
import shutil
import sys

# The page's modules, each after the ones it imports.
MODULES = ["core.js", "serial.js", "console.js", "screen.js", "checks.js", "app.js"]

SITE_CSP = ("default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; "
            "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def sha(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode() + "'"


IMPORT = re.compile(r"^import\s+\{[^}]*\}\s+from\s+'\./[a-z_]+\.js';\n", re.M)
TOP = re.compile(r"^(?:export\s+)?(?:async\s+)?(?:const|let|var|function\*?|class)\s+([A-Za-z_$][\w$]*)", re.M)


def joined_modules(page):
    """The modules as one: imports dropped, exports made plain declarations."""
    seen = {}
    parts = []
    for name in MODULES:
        text = read(os.path.join(page, name))
        for m in TOP.finditer(text):
            if m.group(1) in seen:
                sys.exit(f"assemble: {m.group(1)} is declared in both {seen[m.group(1)]} and {name}")
            seen[m.group(1)] = name
        text = IMPORT.sub("", text)
        if re.search(r"^\s*import\b", text, re.M):
            sys.exit(f"assemble: {name}: an import this tool cannot join")
        text = re.sub(r"^export\s+", "", text, flags=re.M)
        parts.append(f"// ---- {name}\n{text}")
    return "".join(parts)


def fill(template, version, csp, style, scripts):
    html = template.replace("@VERSION@", version).replace("@CSP@", csp)
    return html.replace("@STYLE@", style).replace("@SCRIPTS@", scripts)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--core", required=True, help="path of the core without .js/.wasm")
    ap.add_argument("--version", required=True)
    ap.add_argument("--site", required=True)
    ap.add_argument("--single", required=True)
    a = ap.parse_args()

    template = read(os.path.join(a.page, "index.html"))
    css = read(os.path.join(a.page, "tovhost.css"))
    glue = read(a.core + ".js")
    with open(a.core + ".wasm", "rb") as f:
        wasm = f.read()

    # site/
    os.makedirs(a.site, exist_ok=True)
    for name in MODULES + ["tovhost.css"]:
        shutil.copyfile(os.path.join(a.page, name), os.path.join(a.site, name))
    shutil.copyfile(a.core + ".js", os.path.join(a.site, "tovhost_core.js"))
    shutil.copyfile(a.core + ".wasm", os.path.join(a.site, "tovhost_core.wasm"))
    write(os.path.join(a.site, "index.html"), fill(
        template, a.version, SITE_CSP,
        '<link rel="stylesheet" href="tovhost.css">',
        '<script src="tovhost_core.js"></script>\n<script type="module" src="app.js"></script>'))

    # the single file
    app = joined_modules(a.page)
    csp = (f"default-src 'none'; script-src {sha(glue)} {sha(app)} 'wasm-unsafe-eval'; "
           f"style-src {sha(css)}; img-src data:; base-uri 'none'; form-action 'none'")
    b64 = base64.b64encode(wasm).decode()
    b64 = "\n".join(b64[i:i + 100] for i in range(0, len(b64), 100))
    scripts = (f'<script type="application/octet-stream" id="tovhost-wasm">\n{b64}\n</script>\n'
               f"<script>{glue}</script>\n<script type=\"module\">{app}</script>")
    write(a.single, fill(template, a.version, csp, f"<style>{css}</style>", scripts))


if __name__ == "__main__":
    main()
