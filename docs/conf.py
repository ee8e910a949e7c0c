"""Sphinx configuration: the site is Markdown (MyST); the API pages come from the installed
package's docstrings, the command-line reference from the click commands. `make docs`
builds it with warnings as errors."""
project = "orlicam"
author = "the orlicam developers"
copyright = "2026, the orlicam developers"

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx_click"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

myst_heading_anchors = 3          # links to a page's sections: page.md#a-section
html_theme = "furo"
html_title = "orlicam"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}


def _plain_docstring(app, what, name, obj, options, lines):
    """The docstrings are plain text, not reStructuredText: an indented block after a line
    ending in a colon is code (made a literal block), and a list may follow its paragraph
    without a blank line (one is put in)."""
    out: list[str] = []
    in_list = False
    for i, line in enumerate(lines):
        before = out[-1] if out else ""
        if line.startswith("- "):
            if before.strip() and not in_list:
                out.append("")
            in_list = True
        elif in_list and line.strip() and not line.startswith(" "):
            if before.strip():   # a paragraph after the list
                out.append("")
            in_list = False
        elif not line.strip():
            in_list = False
        following = lines[i + 1:i + 3]
        if (line.rstrip().endswith(":") and not line.rstrip().endswith("::") and len(following) == 2
                and not following[0].strip() and following[1].startswith("    ")):
            line = line.rstrip() + ":"
        out.append(line)
    lines[:] = out


def _korvi_functions():
    """korvi's functions are objects of its own callable type, which autodoc does not list:
    their signatures come from the stub installed beside the module (korvi.pyi), their text
    from the built module's docstrings (Google style, read by napoleon)."""
    import ast
    import inspect
    from pathlib import Path

    from docutils import nodes
    from docutils.statemachine import StringList
    from sphinx.ext.napoleon import Config
    from sphinx.ext.napoleon.docstring import GoogleDocstring
    from sphinx.util.docutils import SphinxDirective

    class KorviFunctions(SphinxDirective):
        def run(self):
            from vorrant.orlicam import korvi

            stub = Path(korvi.__file__).parent / "korvi.pyi"
            self.env.note_dependency(str(stub))
            config = Config(napoleon_use_param=True, napoleon_use_rtype=True)
            lines = []
            for node in ast.parse(stub.read_text()).body:
                if not isinstance(node, ast.FunctionDef):
                    continue
                lines += [f".. py:function:: {node.name}({ast.unparse(node.args)}) -> {ast.unparse(node.returns)}",
                          "   :module: vorrant.orlicam.korvi", ""]
                text = str(GoogleDocstring(inspect.getdoc(getattr(korvi, node.name)) or "", config))
                lines += [f"   {line}" if line else "" for line in text.splitlines()] + [""]
            box = nodes.container()
            # The page is Markdown: the generated reStructuredText goes in through eval-rst.
            self.state.nested_parse(StringList(["```{eval-rst}", *lines, "```"], str(stub)), self.content_offset, box)
            return box.children

    return KorviFunctions


def setup(app):
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.add_directive("korvi-functions", _korvi_functions())
